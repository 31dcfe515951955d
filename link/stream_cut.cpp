#include "link/stream_cut.h"

#include "link/ubx_frame.h"
#include "link/usb_link.h"

namespace ostrel {
namespace {

// A frame longer than this could never wait whole in RxBuffer (less one read, which the
// read thread keeps room for), so a sync pair that claims it is taken for noise.
constexpr int32_t kLongestFrame = kRxBufferSize - kStdBlockSize;

enum class Frame { kNone, kArriving, kComplete };

// The UBX frame whose sync pair is at `i`, and its length in `length`.
Frame FrameAt(const std::uint8_t* bytes, int32_t i, int32_t n, int32_t& length) {
  if (bytes[i] != ubx::kSync1 || i + 1 >= n || bytes[i + 1] != ubx::kSync2) return Frame::kNone;
  if (i + 6 > n) return Frame::kArriving;  // the length field is not in yet
  length = static_cast<int32_t>(ubx::kOverhead) + (bytes[i + 4] | (bytes[i + 5] << 8));
  if (length > kLongestFrame) return Frame::kNone;
  if (i + length > n) return Frame::kArriving;
  const ubx::Checksum sum = ubx::Fletcher(bytes + i + 2, static_cast<std::size_t>(length - 4));
  if (sum.a != bytes[i + length - 2] || sum.b != bytes[i + length - 1]) return Frame::kNone;
  return Frame::kComplete;
}

int HexValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool CompletesSentence(const std::uint8_t* bytes, int32_t start, int32_t n) {
  if (start + 2 >= n || bytes[start] != '*') return false;
  const int high = HexValue(bytes[start + 1]);
  const int low = HexValue(bytes[start + 2]);
  if (high < 0 || low < 0) return false;
  unsigned sum = 0;
  for (int32_t i = start - 1; i >= 0; --i) {
    const std::uint8_t c = bytes[i];
    if (c == '$') return sum == static_cast<unsigned>(high * 16 + low);
    if (c < 0x20 || c > 0x7E || c == '*') return false;
    sum ^= c;
  }
  return false;
}

bool CompletesFrame(const std::uint8_t* bytes, int32_t start, int32_t n) {
  for (int32_t i = 0; i < start; ++i) {
    int32_t length = 0;
    if (FrameAt(bytes, i, n, length) == Frame::kComplete && i + length > start) return true;
  }
  return false;
}

}  // namespace

int32_t WholeSentencesEnd(const std::uint8_t* bytes, int32_t n) {
  int32_t end = 0;
  for (int32_t i = 0; i < n;) {
    int32_t length = 0;
    switch (FrameAt(bytes, i, n, length)) {
      case Frame::kArriving:
        return end;
      case Frame::kComplete:
        // A frame's end is a message boundary too: a stream of UBX alone has no other.
        i += length;
        end = i;
        break;
      case Frame::kNone:
        if (bytes[i] == '\n') end = i + 1;
        ++i;
        break;
    }
  }
  return end;
}

bool ContinuesMessage(const std::uint8_t* bytes, int32_t start, int32_t n) {
  return CompletesSentence(bytes, start, n) || CompletesFrame(bytes, start, n);
}

}  // namespace ostrel
