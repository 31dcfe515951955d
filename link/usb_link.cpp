#include "link/usb_link.h"

#include <cstring>

namespace ostrel {
namespace {

constexpr uint16_t kTransferSize = 64;
// The firmware's "the panel is here" byte, sent after every open.
constexpr std::uint8_t kOpenByte = 'j';

}  // namespace

UsbLink::UsbLink(UsbDriver& driver, Clock& clock, CommandQueue& queue)
    : driver_(driver), clock_(clock), queue_(queue) {}

bool UsbLink::OpenDevice() {
  if (!driver_.Open()) return false;
  // Sizes before DeviceOpen: the read thread starts reading as soon as it sees the device
  // open, and a read of ReadSize 0 would swallow a packet.
  state_.ReadSize.store(kTransferSize);
  state_.WriteSize.store(kTransferSize);
  state_.BlockSize.store(kTransferSize);
  state_.DeviceOpen.store(true);
  WriteDevice(&kOpenByte, 1);
  {
    std::lock_guard lock(state_.HandOver);
    state_.RxLength = 0;
    state_.LastRxTime.store(clock_.Now());
    state_.RxHold.store(false);
  }
  ClearQueue(queue_);
  return true;
}

int32_t UsbLink::ReadDevice(std::uint8_t* destination, int32_t room) {
  const int32_t size = state_.ReadSize.load();
  const int32_t want = size < room ? size : room;
  const int n = driver_.BulkRead(destination, want);
  return n < 0 ? 0 : (n > want ? want : n);
}

void UsbLink::WriteDevice(const std::uint8_t* bytes, int32_t length) {
  driver_.BulkWrite(bytes, length);
}

void UsbLink::CloseDevice() {
  driver_.Close();
  state_.DeviceOpen.store(false);
}

void UsbLink::StopAndAbort() {
  state_.StopReading.store(true);
  if (driver_.IsOpen()) {
    driver_.AbortRead();
    driver_.Close();
  }
}

int32_t UsbLink::Waiting(std::uint8_t* last_byte) {
  std::lock_guard lock(state_.HandOver);
  const int32_t n = state_.RxLength;
  // Bytes below RxLength are settled: a pending read only writes behind them.
  if (n > 0 && last_byte != nullptr) *last_byte = state_.RxBuffer[n - 1];
  return n;
}

UsbLink::Taken UsbLink::TakeChunk(std::uint8_t* chunk, int32_t max, TakeWhen when) {
  Taken taken;
  int32_t rest;
  {
    std::lock_guard lock(state_.HandOver);
    const int32_t waiting = state_.RxLength < max ? state_.RxLength : max;
    if (waiting <= 0) return taken;
    int32_t end = waiting;
    if (when == TakeWhen::kWholeSentences) {
      while (end > 0 && state_.RxBuffer[end - 1] != '\n') --end;
    }
    taken.unfinished = end < waiting;
    if (end == 0) return taken;
    taken.length = end;
    rest = state_.RxLength - end;
    state_.RxHold.store(true);
    state_.RxLength = rest;
  }
  // Outside the lock: with RxHold set the read thread leaves RxBuffer alone, and a read
  // already under way lands behind all the bytes that waited; the read thread moves it
  // down to the rest once the hold ends.
  std::memcpy(chunk, state_.RxBuffer, static_cast<std::size_t>(taken.length));
  std::memmove(state_.RxBuffer, state_.RxBuffer + taken.length, static_cast<std::size_t>(rest));
  return taken;
}

int32_t UsbLink::Take(std::uint8_t* chunk) {
  return TakeChunk(chunk, kRxBufferSize, TakeWhen::kAnyBytes).length;
}

void UsbLink::DropWaiting() {
  // First what the driver holds, then RxBuffer: a stale packet the read thread fetches in
  // between came in before the drop by DropCount and is thrown away with the rest.
  driver_.DiscardPending();
  std::lock_guard lock(state_.HandOver);
  state_.RxLength = 0;
  ++state_.DropCount;
}

}  // namespace ostrel
