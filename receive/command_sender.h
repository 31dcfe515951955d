#pragma once
// The command sender: delivers the queued 64-byte blocks to the module, one per tick,
// and goes on only when the module's reply repeats the block's first two bytes:
//   sent  "*c" + 62 x '_'      reply "*c"
//   sent  "*r" + 62 x '_'      reply "*r0123456789\r\n"   (serial number)
//   sent  "*v" + 62 x '_'      reply "*v123"              (firmware version)
// An unacknowledged block drops the rest of its sequence; the end block "**" is then
// queued alone, so the module's side of the exchange is reset.
//
// The reply is one packet of its own among the stream's: the take lifts it out (see
// UsbLink::TakeChunk), so the stream around it goes on whole and unaltered.
#include <array>
#include <cstdint>
#include <string_view>

#include "link/command_queue.h"
#include "link/usb_link.h"
#include "receive/receive_view.h"

namespace ostrel {

// The reply must be in before the tick looks for its chunk.
inline constexpr Millis kReplyWait = 100;
// A second of ticks: a reply later than that is not told from the stream.
inline constexpr int32_t kOwedTakes = 10;

class CommandSender {
 public:
  CommandSender(UsbLink& link, CommandQueue& queue, ReceiveView& view);

  // Send step for the block at `pos` (the tick's SendPos): counts the block out (so the
  // take knows which packets may be its reply), writes it and waits kReplyWait. The
  // bytes waiting stay.
  void SendStep(int32_t pos);
  // What the tick's take looks for: the reply to the block at `pos`, sent last.
  UsbLink::ReplyWanted Wanted(int32_t pos) const;
  // The reply still owed by the last block that went unacknowledged, or null. It is
  // looked for in the takes of the next kOwedTakes ticks, so that it never joins the
  // stream when it comes late.
  const UsbLink::ReplyWanted* Owed() const { return owed_takes_ > 0 ? &owed_ : nullptr; }
  // After each take: `arrived` when it lifted the owed reply out.
  void AfterTake(bool arrived) { owed_takes_ = arrived || owed_takes_ == 0 ? 0 : owed_takes_ - 1; }

  // Check step: `reply` is the packet the take lifted out as the reply, `len` 0 when none
  // came. It is read, never changed.
  void CheckStep(int32_t pos, const std::uint8_t* reply, int32_t len);

  std::string_view MessageStatus() const { return {message_.data(), message_length_}; }

  int32_t SendCount = 0;    // sends since the last check
  int32_t FailedCount = 0;  // unacknowledged blocks since start; never reset

 private:
  void Acknowledged(int32_t pos, const std::uint8_t* reply, int32_t len);
  void NotAcknowledged();
  void SetMessage(std::string_view text);
  void AppendMessage(std::string_view text);
  void AppendMessage(int32_t value);

  UsbLink& link_;
  CommandQueue& queue_;
  ReceiveView& view_;
  std::uint32_t sent_block_ = 0;  // BlockGoesOut of the block sent last
  UsbLink::ReplyWanted owed_;
  int32_t owed_takes_ = 0;
  // "Sending command..., 2147483647 completed! (Failed: 2147483647)" fits.
  std::array<char, 96> message_{};
  std::size_t message_length_ = 0;
};

}  // namespace ostrel
