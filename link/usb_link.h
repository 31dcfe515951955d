#pragma once
// The module link: the device handle, the transfer sizes and the shared receive buffer
// that the read thread fills and the receive cycle empties.
//
// Hand-over protocol (one lock, HandOver, held only for a few instructions):
//   receive cycle  TakeChunk(): test the waiting bytes; len = RxLength, RxHold = true,
//                               RxLength = 0; copy len bytes
//   command sender DropWaiting(): RxLength = 0, DropCount + 1
//   read thread    stretch 1:  hold test, room check, start = RxLength
//                  after a read: note DropCount
//                  stretch 2:  hold test; bytes read before a drop go with it, others
//                              are appended or moved down
// No sleep and no device read ever happens under the lock.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "link/command_queue.h"
#include "platform/clock.h"
#include "platform/usb_driver.h"

namespace ostrel {

inline constexpr int32_t kRxBufferSize = 2048;

struct LinkState {
  std::atomic<bool> DeviceOpen{false};
  std::atomic<uint16_t> ReadSize{0};
  std::atomic<uint16_t> WriteSize{0};
  std::atomic<int32_t> BlockSize{0};
  std::uint8_t RxBuffer[kRxBufferSize]{};
  int32_t RxLength = 0;  // guarded by HandOver
  // DropWaiting calls so far, guarded by HandOver: the read thread tells by it that bytes
  // it read before a command block went out are as stale as those the drop discarded.
  std::uint32_t DropCount = 0;
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
    bool unfinished = false;  // bytes wait without their final LF and stay in RxBuffer
  };
  // The receive cycle's take: tests the waiting bytes and copies at most `max` of them into
  // `chunk` in one step under the lock, so no packet lands between the test and the take.
  // kAnyBytes empties RxLength and sets RxHold; kWholeSentences leaves RxLength at the
  // unfinished rest, moved to the front, and sets no hold (the chunk is already copied).
  Taken TakeChunk(std::uint8_t* chunk, int32_t max, TakeWhen when);
  // Bytes waiting and, when there are any and `last_byte` is given, the last of them.
  int32_t Waiting(std::uint8_t* last_byte = nullptr);
  // Takes whatever waits into `chunk` (room for kRxBufferSize bytes); the count.
  int32_t Take(std::uint8_t* chunk);
  // Drops the waiting bytes before a command block goes out (RxLength = 0, no hold), and
  // with them the bytes of a read that has already come back (see DropCount).
  void DropWaiting();
  // End of the tick: the read thread may go on.
  void Release() { state_.RxHold.store(false); }

  // Who hears of completed lines; null for nobody. Set it before the read thread starts,
  // and keep it alive as long as the thread may run.
  void SetArrivalNotifier(ArrivalNotifier* notifier) { notifier_.store(notifier); }
  // Read thread: bytes holding an LF have been handed over.
  void LineArrived() {
    if (ArrivalNotifier* n = notifier_.load()) n->LineArrived();
  }

 private:
  UsbDriver& driver_;
  Clock& clock_;
  CommandQueue& queue_;
  LinkState state_;
  std::atomic<ArrivalNotifier*> notifier_{nullptr};
};

}  // namespace ostrel
