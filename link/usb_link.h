#pragma once
// The module link: the device handle, the transfer sizes and the shared receive buffer
// that the read thread fills and the receive cycle empties.
//
// Hand-over protocol (one lock, HandOver, held only for a few instructions):
//   receive cycle  Take():     len = RxLength, RxHold = true, RxLength = 0, copy len bytes
//   command sender DropWaiting(): RxLength = 0
//   read thread    stretch 1:  hold test, room check, start = RxLength
//                  stretch 2:  hold test, append or move the new bytes
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
  std::atomic<bool> RxHold{false};
  std::atomic<Millis> LastRxTime{0};
  std::atomic<bool> StopReading{false};
  std::mutex HandOver;
};

class UsbLink {
 public:
  UsbLink(UsbDriver& driver, Clock& clock, CommandQueue& queue);

  LinkState& State() { return state_; }
  Clock& GetClock() { return clock_; }

  // Opens the module: sizes 64, the open byte 'j', RxLength 0, LastRxTime now,
  // RxHold false, the command queue emptied. False when no module is there.
  bool OpenDevice();
  // One bulk read of at most ReadSize bytes; the byte count, 0 on failure.
  int32_t ReadDevice(std::uint8_t* destination);
  void WriteDevice(const std::uint8_t* bytes, int32_t length);
  void CloseDevice();
  // File > Exit: StopReading, then abort the pending read and close the handle.
  // DeviceOpen keeps its value.
  void StopAndAbort();

  // --- consumer side, GUI thread ---
  // Bytes waiting and the last of them (under the lock).
  int32_t Waiting(std::uint8_t* last_byte);
  // Takes the waiting bytes into `chunk` (room for kRxBufferSize bytes) and sets RxHold.
  int32_t Take(std::uint8_t* chunk);
  // Drops the waiting bytes before a command block goes out.
  void DropWaiting();
  // End of the tick: the read thread may go on.
  void Release() { state_.RxHold.store(false); }

 private:
  UsbDriver& driver_;
  Clock& clock_;
  CommandQueue& queue_;
  LinkState state_;
};

}  // namespace ostrel
