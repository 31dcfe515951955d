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
  std::lock_guard lock(state_.HandOver);
  const int32_t waiting = state_.RxLength < max ? state_.RxLength : max;
  if (waiting <= 0) return taken;
  if (when == TakeWhen::kAnyBytes) {
    taken.length = waiting;
    state_.RxHold.store(true);
    state_.RxLength = 0;
    // The copy could follow outside the lock (RxHold keeps the read thread off these
    // bytes); a reply is a few bytes, so it is made here.
    std::memcpy(chunk, state_.RxBuffer, static_cast<std::size_t>(taken.length));
    return taken;
  }
  int32_t end = waiting;
  while (end > 0 && state_.RxBuffer[end - 1] != '\n') --end;
  taken.unfinished = end < waiting;
  if (end == 0) return taken;
  // The whole sentences are copied and the unfinished rest moved to the front under the
  // lock: a read under way lands behind all the waiting bytes, and the read thread moves
  // it down to the rest when it hands it over. With the chunk already copied a hold would
  // protect nothing and only make a packet that completes during the tick wait a whole
  // 100 ms sleep of the read thread.
  const int32_t rest = state_.RxLength - end;
  std::memcpy(chunk, state_.RxBuffer, static_cast<std::size_t>(end));
  std::memmove(state_.RxBuffer, state_.RxBuffer + end, static_cast<std::size_t>(rest));
  state_.RxLength = rest;
  taken.length = end;
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
