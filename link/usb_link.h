#pragma once
// The module link: the device handle, the transfer sizes and the shared receive buffer
// that the read thread fills and the receive cycle empties.
//
// Hand-over protocol (one lock, HandOver, held only for a few instructions):
//   receive cycle  TakeChunk(): the reply packet (if one is wanted) and the whole
//                               sentences copied out, the rest moved to the front
//   command sender BlockGoesOut(): BlocksOut + 1, just before the block is written
//   read thread    stretch 1:  hold test, room check, start = RxLength
//                  after a read: note BlocksOut
//                  stretch 2:  hold test; the bytes appended or moved down, their packet
//                              noted with the BlocksOut of its read
// No sleep and no device read ever happens under the lock.
//
// RxBuffer keeps the packets apart: one bulk read is one packet, and the firmware answers
// a block with a packet of its own, so the reply can be lifted out of the stream around it:
//   RxBuffer  |$GPGGA,...,4807.0|*c\r\n|38,N,...*59\r\n$GPRMC|
//   PacketEnd           17       21             43
//   take      reply "*c\r\n", chunk "$GPGGA,...,4807.038,N,...*59\r\n", rest "$GPRMC"
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "link/command_queue.h"
#include "platform/clock.h"
#include "platform/usb_driver.h"

namespace ostrel {

inline constexpr int32_t kRxBufferSize = 2048;
// Packets told apart in RxBuffer; older ones run together with the oldest kept.
inline constexpr int32_t kPacketRing = 128;

struct PacketEnd {
  int32_t end = 0;           // RxBuffer offset just after the packet
  std::uint32_t blocks = 0;  // BlocksOut when its read came back
};

struct LinkState {
  std::atomic<bool> DeviceOpen{false};
  std::atomic<uint16_t> ReadSize{0};
  std::atomic<uint16_t> WriteSize{0};
  std::atomic<int32_t> BlockSize{0};
  std::uint8_t RxBuffer[kRxBufferSize]{};
  int32_t RxLength = 0;  // guarded by HandOver
  // The packets waiting, oldest first, in a ring; all guarded by HandOver.
  std::array<PacketEnd, kPacketRing> Packets{};
  int32_t PacketFirst = 0;
  int32_t PacketCount = 0;
  // Command blocks written so far: a packet read before a block went out cannot be its
  // reply, however long it waited for the hand-over.
  std::uint32_t BlocksOut = 0;

  // With HandOver held: RxLength now ends a packet whose read came back at `blocks`.
  void NotePacket(std::uint32_t blocks);
  // With HandOver held: RxLength becomes 0, no packet waits.
  void EmptyRx();
  // With HandOver held: bytes [from, to) leave RxBuffer, the rest closes up behind them.
  void CutOut(int32_t from, int32_t to);
  PacketEnd& PacketAt(int32_t k) {
    return Packets[static_cast<std::size_t>((PacketFirst + k) % kPacketRing)];
  }
  std::atomic<bool> RxHold{false};
  std::atomic<Millis> LastRxTime{0};
  std::atomic<bool> StopReading{false};
  std::mutex HandOver;
};

// Told, on the read thread, when bytes it has just handed over hold an LF: a line is
// complete and can go on before the next tick. It must only wake the consumer (post an
// event); the consumer takes the bytes on its own thread.
class ArrivalNotifier {
 public:
  virtual ~ArrivalNotifier() = default;
  virtual void LineArrived() = 0;
};

// A packet shaped as the firmware's answer to a block: the block's marker and second
// byte, at most the ten bytes of content "*r" has, then CR LF, and nothing else:
//   "*c\r\n"  "**\r\n"  "*1\r\n"  "!\xB5\r\n"  "*v1.4\r\n"  "*rKS00000001\r\n"
bool ReplyShaped(const std::uint8_t* packet, int32_t size);

class UsbLink {
 public:
  UsbLink(UsbDriver& driver, Clock& clock, CommandQueue& queue);

  LinkState& State() { return state_; }
  Clock& GetClock() { return clock_; }

  // Opens the module (GUI thread): sizes 64, the open byte 'j', RxLength 0, LastRxTime now,
  // RxHold false, the command queue emptied. False when no module is there.
  bool OpenDevice();
  // One bulk read of at most ReadSize bytes (and never more than `room`); the byte count,
  // 0 on failure. Read thread only.
  int32_t ReadDevice(std::uint8_t* destination, int32_t room = kRxBufferSize);
  // One bulk write (GUI thread); the result is not checked. Length 0 sends nothing.
  void WriteDevice(const std::uint8_t* bytes, int32_t length);
  // Supervision: closes the handle (waking a pending read, which returns 0), DeviceOpen false.
  void CloseDevice();
  // File > Exit: StopReading, then abort the pending read and close the handle.
  // DeviceOpen keeps its value.
  void StopAndAbort();

  // --- consumer side, GUI thread ---
  enum class TakeWhen {
    // The whole sentences: through the last LF waiting. An unfinished sentence behind it
    // stays at the front of RxBuffer, where the next reads complete it. (Taking only
    // when the very last byte is LF lets a stream that never pauses at a line end pile
    // up to the discard point and lose it all.)
    kWholeSentences,
    kAnyBytes,  // whatever waits (a command block awaits its reply)
  };
  struct Taken {
    int32_t length = 0;       // bytes copied into the chunk; 0 when none were taken
    int32_t reply = 0;        // of them, the reply packet at the chunk's front
    int32_t late = 0;         // then a late reply to an earlier block
    int32_t stray = 0;        // then replies nobody waits for (a module that answers twice)
    bool unfinished = false;  // bytes wait without their final LF and stay in RxBuffer
  };
  // A command block awaits its reply: the first packet read after the block went out
  // (`block`, from BlockGoesOut) that begins with `head` and does not carry on a sentence
  // or frame of the stream. A late reply to an earlier block is any such packet read
  // since that block went out.
  struct ReplyWanted {
    std::uint32_t block = 0;
    std::uint8_t head[2]{};
  };
  // The receive cycle's take: tests the waiting bytes and copies at most `max` of them into
  // `chunk` in one step under the lock, so no packet lands between the test and the take.
  // kAnyBytes empties RxLength and sets RxHold; kWholeSentences lifts out the wanted reply
  // (if any, to the chunk's front), then the `late` one, then every other packet of a
  // reply's shape that does not carry on the stream (ReplyShaped: no reply is owed, yet the
  // firmware's bytes must never join the stream); then it takes through the last whole
  // message (WholeSentencesEnd) and leaves the unfinished rest at the front of RxBuffer.
  // It sets no hold: the chunk is already copied.
  Taken TakeChunk(std::uint8_t* chunk, int32_t max, TakeWhen when,
                  const ReplyWanted* reply = nullptr, const ReplyWanted* late = nullptr);
  // Counts a command block about to be written; its number, for ReplyWanted.
  std::uint32_t BlockGoesOut();
  // End of the tick: the read thread may go on.
  void Release() { state_.RxHold.store(false); }

  // Who hears of completed lines; null for nobody. Set it before the read thread starts,
  // and keep it alive as long as the thread may run.
  void SetArrivalNotifier(ArrivalNotifier* notifier) { notifier_.store(notifier); }
  // Whether the consumer takes completed lines between ticks now; while it does not
  // (a command exchange, a demonstration), no news is sent and the tick takes them.
  void WantArrivals(bool wanted) { arrivals_wanted_.store(wanted); }
  bool ArrivalsWanted() const { return arrivals_wanted_.load(); }
  // Read thread: bytes holding an LF have been handed over.
  void LineArrived() {
    if (!arrivals_wanted_.load()) return;
    if (ArrivalNotifier* n = notifier_.load()) n->LineArrived();
  }

 private:
  // Lifts the packet `wanted` describes (`exact`: read right after its block; else any
  // time since) out of RxBuffer into `to`; its size, 0 when none waits. HandOver held.
  int32_t LiftReply(const ReplyWanted& wanted, bool exact, std::uint8_t* to, int32_t room);
  // Lifts out every packet of a reply's shape left in RxBuffer; their size. HandOver held.
  int32_t LiftStrays(std::uint8_t* to, int32_t room);

  UsbDriver& driver_;
  Clock& clock_;
  CommandQueue& queue_;
  LinkState state_;
  std::atomic<ArrivalNotifier*> notifier_{nullptr};
  std::atomic<bool> arrivals_wanted_{true};
};

}  // namespace ostrel
