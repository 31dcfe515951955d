#include "receiver/antaris.h"

#include <cstring>

#include "receiver/ubx.h"

namespace ostrel {
namespace {

// Payload offsets read from the status messages, and the payload sizes that hold them.
constexpr std::size_t kSolGpsFix = 10;
constexpr std::size_t kSolFlags = 11;
constexpr std::size_t kSolNumSV = 47;
constexpr std::size_t kSolMinPayload = kSolNumSV + 1;
constexpr std::size_t kSbasMode = 5;
constexpr std::size_t kSbasMinPayload = kSbasMode + 1;

constexpr std::uint8_t kFlagFixValid = 0x01;
constexpr std::uint8_t kFlagDiffApplied = 0x02;

constexpr char kBaud9600[] = {'9', '6', '0', '0'};
constexpr char kBaud19200[] = {'1', '9', '2', '0', '0'};

template <std::size_t N>
bool AppendFrame(CommandQueue& queue, int32_t block_size,
                 const std::array<std::uint8_t, N>& frame) {
  return AppendBlocks(queue, frame.data(), frame.size(), false, block_size);
}

template <std::size_t N>
bool AppendText(CommandQueue& queue, int32_t block_size, const char (&text)[N]) {
  return AppendBlocks(queue, reinterpret_cast<const std::uint8_t*>(text), N, true, block_size);
}

}  // namespace

bool TAntaris::ParseUBX(const std::uint8_t* data, int32_t length) {
  if (data == nullptr || length <= 0) return false;
  const auto size = static_cast<std::size_t>(length);
  bool result = false;
  // Every position is a candidate, even inside a frame just accepted.
  for (std::size_t i = 0; i + 1 < size; ++i) {
    const void* hit = std::memchr(data + i, ubx::kSync1, size - i - 1);
    if (hit == nullptr) break;
    i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data);
    if (data[i + 1] != ubx::kSync2) continue;
    if (size - i < ubx::kOverhead) break;  // not even an empty frame fits any more
    const std::size_t n = data[i + 4] | static_cast<std::size_t>(data[i + 5]) << 8;
    // A length field that runs past the data: a cut frame or a sync pair in other
    // bytes. Frames are not reassembled across chunks, so it is skipped.
    if (n + ubx::kOverhead > size - i) continue;
    const ubx::Checksum ck = ubx::Fletcher(data + i + 2, n + 4);
    if (ck.a != data[i + n + 6] || ck.b != data[i + n + 7]) continue;
    result = true;

    const std::uint8_t cls = data[i + 2];
    const std::uint8_t id = data[i + 3];
    const std::uint8_t* payload = data + i + 6;
    if (cls != ubx::kClassNav) continue;
    // A status message too short for the byte read from it still counts for the result,
    // but nothing is read from it and the status is left as it was.
    if (id == ubx::kIdNavSol && n >= kSolMinPayload) {
      StatusUpdated = true;
      FixType = payload[kSolGpsFix];
      const std::uint8_t flags = payload[kSolFlags];
      DGPSState = (flags & kFlagDiffApplied) ? 2 : (flags & kFlagFixValid) ? 1 : 0;
      SVCount = payload[kSolNumSV];
    } else if (id == ubx::kIdNavSbas && n >= kSbasMinPayload) {
      StatusUpdated = true;
      WAASActive = payload[kSbasMode] != 0;
    }
  }
  return result;
}

// The receiver's port changes first, then the firmware's own rate.
bool TAntaris::SetBaud9600(CommandQueue& queue, int32_t block_size) {
  return HasRoomFor(queue, 2, block_size) && AppendFrame(queue, block_size, ubx::kCfgPrt9600) &&
         AppendText(queue, block_size, kBaud9600);
}

bool TAntaris::SetBaud19200(CommandQueue& queue, int32_t block_size) {
  return HasRoomFor(queue, 2, block_size) && AppendFrame(queue, block_size, ubx::kCfgPrt19200) &&
         AppendText(queue, block_size, kBaud19200);
}

bool TAntaris::SetWAAS(CommandQueue& queue, int32_t block_size, bool on) {
  return AppendFrame(queue, block_size, on ? ubx::kSbasOn : ubx::kSbasOff);
}

bool TAntaris::EnableStatusMessages(CommandQueue& queue, int32_t block_size) {
  return HasRoomFor(queue, 2, block_size) && AppendFrame(queue, block_size, ubx::kEnableNavSol) &&
         AppendFrame(queue, block_size, ubx::kEnableNavSbas);
}

bool TAntaris::Restart(CommandQueue& queue, int32_t block_size, ubx::RestartKind kind) {
  return AppendFrame(queue, block_size, ubx::RestartFrame(kind));
}

}  // namespace ostrel
