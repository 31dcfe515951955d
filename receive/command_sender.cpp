#include "receive/command_sender.h"

#include "receive/bounded_text.h"
#include "receiver/maintenance.h"

namespace ostrel {
namespace {

// The reply's text from byte 2 on: at most `max` bytes, up to a NUL or the reply's end.
std::string_view ReplyText(const std::uint8_t* reply, int32_t len, int32_t max) {
  int32_t n = 0;
  while (n < max && 2 + n < len && reply[2 + n] != 0) ++n;
  return {reinterpret_cast<const char*>(reply + 2), static_cast<std::size_t>(n)};
}

}  // namespace

CommandSender::CommandSender(UsbLink& link, CommandQueue& queue, ReceiveView& view)
    : link_(link), queue_(queue), view_(view) {}

void CommandSender::SendStep(int32_t pos) {
  sent_block_ = link_.BlockGoesOut();
  ++SendCount;
  SetMessage("Sending command..., ");
  AppendMessage(SendCount);
  view_.SetMessageStatus(MessageStatus());

  int32_t size = link_.State().WriteSize.load();
  if (size > kQueueSize - pos) size = kQueueSize - pos;
  link_.WriteDevice(queue_.Data() + pos, size);
  link_.GetClock().Sleep(kReplyWait);
}

UsbLink::ReplyWanted CommandSender::Wanted(int32_t pos) const {
  UsbLink::ReplyWanted wanted;
  wanted.block = sent_block_;
  wanted.head[0] = queue_.Data()[pos];
  wanted.head[1] = queue_.Data()[pos + 1];
  return wanted;
}

void CommandSender::CheckStep(int32_t pos, const std::uint8_t* reply, int32_t len) {
  const std::uint8_t* block = queue_.Data() + pos;
  // A one-byte reply meets the block's second byte with a NUL.
  if (len > 0 && reply[0] == block[0] && (len > 1 ? reply[1] : 0) == block[1]) {
    Acknowledged(pos, reply, len);
  } else {
    owed_ = Wanted(pos);
    owed_takes_ = kOwedTakes;
    NotAcknowledged();
  }
  view_.SetMessageStatus(MessageStatus());
}

void CommandSender::Acknowledged(int32_t pos, const std::uint8_t* reply, int32_t len) {
  // Only the firmware's "*r" and "*v" carry content; a data block whose payload starts
  // with 'r' or 'v' is acknowledged with "!r" / "!v" and must not touch the edits.
  if (reply[0] == kControlMarker && reply[1] == 'r') {
    view_.SetEEPROMSerial(ReplyText(reply, len, 10));
  } else if (reply[0] == kControlMarker && reply[1] == 'v') {
    view_.SetFirmwareVersion(ReplyText(reply, len, 3));
  }

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
  message_length_ = AppendBounded(message_, message_length_, text);
}

void CommandSender::AppendMessage(int32_t value) {
  message_length_ = AppendBounded(message_, message_length_, value);
}

}  // namespace ostrel
