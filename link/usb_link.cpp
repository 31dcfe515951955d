#include "link/usb_link.h"

#include <cstring>

#include "link/stream_cut.h"

namespace ostrel {
namespace {

constexpr uint16_t kTransferSize = 64;
// The firmware's "the panel is here" byte, sent after every open.
constexpr std::uint8_t kOpenByte = 'j';

}  // namespace

void LinkState::NotePacket(std::uint32_t blocks) {
  if (PacketCount > 0 && PacketAt(PacketCount - 1).end == RxLength) return;  // no bytes
  if (PacketCount == kPacketRing) {
    PacketFirst = (PacketFirst + 1) % kPacketRing;
    --PacketCount;
  }
  PacketAt(PacketCount++) = {RxLength, blocks};
}

void LinkState::EmptyRx() {
  RxLength = 0;
  PacketCount = 0;
}

void LinkState::CutOut(int32_t from, int32_t to) {
  const int32_t gone = to - from;
  if (gone <= 0) return;
  std::memmove(RxBuffer + from, RxBuffer + to, static_cast<std::size_t>(RxLength - to));
  RxLength -= gone;
  // Packets that ended inside the cut go; those behind it move down.
  int32_t kept = 0;
  for (int32_t k = 0; k < PacketCount; ++k) {
    PacketEnd p = PacketAt(k);
    if (p.end > from && p.end <= to) continue;
    if (p.end > to) p.end -= gone;
    PacketAt(kept++) = p;
  }
  PacketCount = kept;
}

bool ReplyShaped(const std::uint8_t* packet, int32_t size) {
  constexpr int32_t kLongest = 2 + 10 + 2;
  if (size < 4 || size > kLongest) return false;
  if (packet[0] != kControlMarker && packet[0] != kDataMarker) return false;
  for (int32_t i = 2; i < size - 2; ++i)
    if (packet[i] == '\r' || packet[i] == '\n') return false;
  return packet[size - 2] == '\r' && packet[size - 1] == '\n';
}

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
    state_.EmptyRx();
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

int32_t UsbLink::LiftReply(const ReplyWanted& wanted, bool exact, std::uint8_t* to, int32_t room) {
  LinkState& s = state_;
  for (int32_t k = 0; k < s.PacketCount; ++k) {
    const PacketEnd p = s.PacketAt(k);
    const int32_t start = k == 0 ? 0 : s.PacketAt(k - 1).end;
    const int32_t size = p.end - start;
    // Block numbers wrap; the difference stays right across the wrap.
    const auto since = static_cast<int32_t>(p.blocks - wanted.block);
    if ((exact ? since != 0 : since < 0) || size > room) continue;
    const std::uint8_t* bytes = s.RxBuffer + start;
    // A packet of one byte meets the second head byte with a NUL, as a chunk would.
    const std::uint8_t second = size > 1 ? bytes[1] : 0;
    if (bytes[0] != wanted.head[0] || second != wanted.head[1]) continue;
    if (ContinuesMessage(s.RxBuffer, start, s.RxLength)) continue;
    std::memcpy(to, bytes, static_cast<std::size_t>(size));
    s.CutOut(start, p.end);
    return size;
  }
  return 0;
}

int32_t UsbLink::LiftStrays(std::uint8_t* to, int32_t room) {
  LinkState& s = state_;
  int32_t lifted = 0;
  for (int32_t k = 0; k < s.PacketCount;) {
    const int32_t start = k == 0 ? 0 : s.PacketAt(k - 1).end;
    const int32_t size = s.PacketAt(k).end - start;
    if (size > room - lifted || !ReplyShaped(s.RxBuffer + start, size) ||
        ContinuesMessage(s.RxBuffer, start, s.RxLength)) {
      ++k;
      continue;
    }
    std::memcpy(to + lifted, s.RxBuffer + start, static_cast<std::size_t>(size));
    lifted += size;
    s.CutOut(start, start + size);  // the packets behind move down to k
  }
  return lifted;
}

UsbLink::Taken UsbLink::TakeChunk(std::uint8_t* chunk, int32_t max, TakeWhen when,
                                  const ReplyWanted* reply, const ReplyWanted* late) {
  Taken taken;
  LinkState& s = state_;
  std::lock_guard lock(s.HandOver);
  if (when == TakeWhen::kAnyBytes) {
    const int32_t waiting = s.RxLength < max ? s.RxLength : max;
    if (waiting <= 0) return taken;
    taken.length = waiting;
    s.RxHold.store(true);
    s.EmptyRx();
    // The copy could follow outside the lock (RxHold keeps the read thread off these
    // bytes); a reply is a few bytes, so it is made here.
    std::memcpy(chunk, s.RxBuffer, static_cast<std::size_t>(taken.length));
    return taken;
  }
  if (reply != nullptr) taken.reply = LiftReply(*reply, true, chunk, max);
  if (late != nullptr) taken.late = LiftReply(*late, false, chunk + taken.reply, max - taken.reply);
  taken.length = taken.reply + taken.late;
  taken.stray = LiftStrays(chunk + taken.length, max - taken.length);
  taken.length += taken.stray;
  int32_t end = WholeSentencesEnd(s.RxBuffer, s.RxLength);
  if (end > max - taken.length) end = WholeSentencesEnd(s.RxBuffer, max - taken.length);
  taken.unfinished = end < s.RxLength;
  // The whole sentences are copied and the unfinished rest moved to the front under the
  // lock: a read under way lands behind all the waiting bytes, and the read thread moves
  // it down to the rest when it hands it over. With the chunk already copied a hold would
  // protect nothing and only make a packet that completes during the tick wait a whole
  // 100 ms sleep of the read thread.
  std::memcpy(chunk + taken.length, s.RxBuffer, static_cast<std::size_t>(end));
  taken.length += end;
  s.CutOut(0, end);
  return taken;
}

std::uint32_t UsbLink::BlockGoesOut() {
  std::lock_guard lock(state_.HandOver);
  return ++state_.BlocksOut;
}

}  // namespace ostrel
