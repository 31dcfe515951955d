#pragma once
// The receive cycle: GPS_ReceiverTimer's work, one tick every 100 ms on the GUI thread.
//
//   1 chunk    demonstration file group, or the module's whole sentences from RxBuffer
//              (with the command sender's send and check steps, the reply lifted out
//              to the chunk's front, and the silence check), or an attempt to open the
//              module
// Steps 2 to 6 are the data steps: they see the chunk as [replies][stream]; the replies
// are only shown on the Data Stream page, everything else works on the stream part.
//   2 log      the positions log records the chunk or replaces it with a recorded one
//   3 forward  the NMEA runs (or every byte) to the GPS Data port
//   4 UBX      ParseUBX; a status message rewrites Connection_Label
//   5 NMEA     ParseNMEA and the fix display, when ProcessGPS is ticked
//   6 stream   the bytes on the Data Stream page, when ProcessGPS is ticked
//   7 release  RxHold cleared, however the tick ended
// An Error raised in steps 1 to 6 ends the tick and is dropped.
//
// Between ticks, when the read thread has handed over a completed line, OnLineArrived
// runs the data steps (take, 2 to 7) at once, so a sentence does not wait for the timer.
// The tick keeps the rest: sending command blocks, the poll byte, the silence check and
// the open, and the pace of a demonstration or a replayed log.
#include <array>
#include <cstdint>

#include "link/command_queue.h"
#include "link/usb_link.h"
#include "platform/data_port.h"
#include "receive/chunk.h"
#include "receive/command_sender.h"
#include "receive/demo_source.h"
#include "receive/receive_view.h"
#include "receive/status_text.h"

namespace ostrel {

class PositionsLog;
class TAntaris;

// Silence longer than this closes the module; exactly this much keeps it.
inline constexpr Millis kSilenceLimit = 5000;
// Written when bytes wait without their final LF: the firmware's "go on" poll.
inline constexpr std::uint8_t kPollByte = '^';

class ReceiveCycle {
 public:
  // `log` may be null (no positions log); PositionsLogMode starts as its mode.
  ReceiveCycle(UsbLink& link, CommandQueue& queue, TAntaris& receiver, DataPortWriter& port,
               ReceiveView& view, PositionsLog* log = nullptr);
  ReceiveCycle(const ReceiveCycle&) = delete;
  ReceiveCycle& operator=(const ReceiveCycle&) = delete;

  void Tick();
  // The whole sentences waiting, through steps 2 to 7, unless the tick must have them: no
  // module open, a demonstration or a replayed log running, a command block pending (the
  // tick that sends it lifts its reply out), or a late reply still owed.
  void OnLineArrived();

  // Whether the next tick has work 100 ms from now whatever arrives: a block to send or a
  // late reply owed, a demonstration or a replayed log running. Otherwise only a line
  // left waiting (LineWaiting), the module's silence limit, the next attempt to open it
  // and arrivals need a tick.
  bool NeedsTicks() const;
  // The module is open and the bytes of an unfinished line wait: a tick polls for the
  // rest once they have waited as long as a tick's interval.
  bool LineWaiting() const;

  DemoSource& Demo() { return demo_; }
  CommandSender& Sender() { return sender_; }
  const CommandSender& Sender() const { return sender_; }

  // The last tick's chunk (after step 1 and 2; NUL after it), and how much of its front
  // is the firmware's replies (to this tick's block, then a late one).
  const std::uint8_t* Chunk() const { return ChunkBuffer.data(); }
  int32_t ChunkLength() const { return len_; }
  int32_t ReplyLength() const { return reply_len_; }

  bool PassBinaryData = false;   // [GPS] PassBinaryData
  int32_t PositionsLogMode = 0;  // [Log] Status: 0 off, 1 replay, 2 record

 private:
  void Steps();
  // The waiting bytes are the next tick's alone (see OnLineArrived).
  bool TickMustTake() const;
  // Steps 2 to 6 over the chunk in ChunkBuffer, whatever its source.
  void DataSteps();
  // Runs `steps` as a tick's steps 1 to 6 run: errors dropped, RxHold cleared at the end.
  template <typename F>
  void Trapped(F&& steps);
  // Step 1 with the module open: send, take, poll, check.
  void FromDevice();

  UsbLink& link_;
  CommandQueue& queue_;
  TAntaris& receiver_;
  DataPortWriter& port_;
  ReceiveView& view_;
  PositionsLog* log_;
  DemoSource demo_;
  CommandSender sender_;
  StatusTextBuffer status_{};
  std::array<std::uint8_t, kChunkBufferSize> ChunkBuffer{};
  std::array<std::uint8_t, kChunkBufferSize> forward_{};  // the NMEA runs gathered
  int32_t len_ = 0;
  int32_t reply_len_ = 0;  // the firmware's replies at the front of the chunk
  int32_t reply_ = 0;      // of them, the reply to this tick's block
};

}  // namespace ostrel
