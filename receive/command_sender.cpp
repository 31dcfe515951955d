#include "receive/command_sender.h"

#include <charconv>
#include <cstring>

#include "receiver/maintenance.h"

namespace ostrel {
namespace {

// The reply's text from byte 2 on: at most `max` bytes, up to a NUL or the chunk's end.
std::string_view ReplyText(const std::uint8_t* chunk, int32_t len, int32_t max) {
  int32_t n = 0;
  while (n < max && 2 + n < len && chunk[2 + n] != 0) ++n;
  return {reinterpret_cast<const char*>(chunk + 2), static_cast<std::size_t>(n)};
}

// Ends the reply's text with a NUL, where the chunk reaches that far.
void Terminate(std::uint8_t* chunk, int32_t len, int32_t at) {
  if (at < len) chunk[at] = 0;
}

}  // namespace

CommandSender::CommandSender(UsbLink& link, CommandQueue& queue, ReceiveView& view)
    : link_(link), queue_(queue), view_(view) {}

void CommandSender::SendStep(int32_t pos) {
  link_.DropWaiting();
  ++SendCount;
  SetMessage("Sending command..., ");
  AppendMessage(SendCount);
  view_.SetMessageStatus(MessageStatus());

  int32_t size = link_.State().WriteSize.load();
  if (size > kQueueSize - pos) size = kQueueSize - pos;
  link_.WriteDevice(queue_.Data() + pos, size);
  link_.GetClock().Sleep(kReplyWait);
}

void CommandSender::CheckStep(int32_t pos, std::uint8_t* chunk, int32_t len) {
  const std::uint8_t* block = queue_.Data() + pos;
  // A one-byte reply meets the block's second byte with the chunk's NUL.
  if (len > 0 && chunk[0] == block[0] && chunk[1] == block[1])
    Acknowledged(pos, chunk, len);
  else
    NotAcknowledged();
  view_.SetMessageStatus(MessageStatus());
}

void CommandSender::Acknowledged(int32_t pos, std::uint8_t* chunk, int32_t len) {
  // Only the firmware's "*r" and "*v" carry content; a data block whose payload starts
  // with 'r' or 'v' is acknowledged with "!r" / "!v" and must not touch the edits.
  if (chunk[0] == kControlMarker && chunk[1] == 'r') {
    view_.SetEEPROMSerial(ReplyText(chunk, len, 10));
    Terminate(chunk, len, 12);
  } else if (chunk[0] == kControlMarker && chunk[1] == 'v') {
    view_.SetFirmwareVersion(ReplyText(chunk, len, 3));
    Terminate(chunk, len, 5);
  }
  // A reply of a whole block reads as a line of its own on the data stream.
  if (64 < len) chunk[64] = '\r';
  if (65 < len) chunk[65] = '\n';

  queue_.SetSendPos(pos + EffectiveBlockSize(link_.State().BlockSize.load()));
  if (queue_.Pending()) {
    AppendMessage(", OK");
  } else {
    ClearQueue(queue_);
    AppendMessage(" completed! (Failed: ");
    AppendMessage(FailedCount);
    AppendMessage(")");
  }
  SendCount = 0;
}

void CommandSender::NotAcknowledged() {
  // ResetGPSClick: the rest of the sequence goes; the end block alone resets the module.
  ResetGPS(queue_, link_.State().BlockSize.load());
  ++FailedCount;
  SendCount = 0;
  AppendMessage(" failed! (Failed: ");
  AppendMessage(FailedCount);
  AppendMessage(")");
}

void CommandSender::SetMessage(std::string_view text) {
  message_length_ = 0;
  AppendMessage(text);
}

void CommandSender::AppendMessage(std::string_view text) {
  const std::size_t room = message_.size() - message_length_;
  const std::size_t n = text.size() < room ? text.size() : room;
  std::memcpy(message_.data() + message_length_, text.data(), n);
  message_length_ += n;
}

void CommandSender::AppendMessage(int32_t value) {
  char digits[12];
  const auto r = std::to_chars(digits, digits + sizeof digits, value);
  AppendMessage(std::string_view(digits, static_cast<std::size_t>(r.ptr - digits)));
}

}  // namespace ostrel
