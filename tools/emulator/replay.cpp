#include "tools/emulator/replay.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string_view>

#include "receiver/ubx.h"

namespace ostrel::emulator {
namespace {

// Length of the valid UBX frame at `i`, or 0.
std::size_t FrameAt(std::span<const std::uint8_t> d, std::size_t i) {
  if (i + ubx::kOverhead > d.size() || d[i] != ubx::kSync1 || d[i + 1] != ubx::kSync2) return 0;
  const std::size_t n = d[i + 4] | static_cast<std::size_t>(d[i + 5]) << 8;
  if (i + n + ubx::kOverhead > d.size()) return 0;
  const ubx::Checksum ck = ubx::Fletcher(d.data() + i + 2, n + 4);
  return ck.a == d[i + n + 6] && ck.b == d[i + n + 7] ? n + ubx::kOverhead : 0;
}

// "$GPRMC,030851.00,..." -> "030851.00" for RMC, GGA and ZDA of any talker; else empty.
std::string_view NmeaClock(std::span<const std::uint8_t> d, std::size_t i) {
  if (i + 8 > d.size()) return {};
  const std::string_view type(reinterpret_cast<const char*>(&d[i + 3]), 3);
  if (d[i + 6] != ',' || (type != "RMC" && type != "GGA" && type != "ZDA")) return {};
  std::size_t end = i + 7;
  while (end < d.size() && end < i + 20 && d[end] != ',' && d[end] != '*') ++end;
  if (end == i + 7) return {};
  return {reinterpret_cast<const char*>(&d[i + 7]), end - (i + 7)};
}

}  // namespace

std::vector<std::size_t> MessageStarts(std::span<const std::uint8_t> data) {
  std::vector<std::size_t> starts;
  std::size_t i = 0;
  while (i < data.size()) {
    if (const std::size_t frame = FrameAt(data, i); frame != 0) {
      starts.push_back(i);
      i += frame;
      continue;
    }
    if (data[i] == '$' && (i == 0 || data[i - 1] == '\n')) starts.push_back(i);
    ++i;
  }
  return starts;
}

std::vector<std::size_t> CycleStarts(std::span<const std::uint8_t> data) {
  std::vector<std::size_t> cycles{0};
  const std::vector<std::size_t> messages = MessageStarts(data);
  // The first clock met rules: mixed logs carry both, and following both would cut
  // every cycle twice.
  enum class Clock { kUnknown, kNmea, kUbx } clock = Clock::kUnknown;
  std::string last;
  for (const std::size_t m : messages) {
    std::string key;
    Clock kind = Clock::kUnknown;
    if (data[m] == '$') {
      key = std::string(NmeaClock(data, m));
      kind = Clock::kNmea;
    } else if (data[m + 2] == ubx::kClassNav && (data[m + 4] | data[m + 5] << 8) >= 4) {
      key.assign(reinterpret_cast<const char*>(&data[m + 6]), 4);
      kind = Clock::kUbx;
    }
    if (key.empty()) continue;
    if (clock == Clock::kUnknown) clock = kind;
    if (kind != clock) continue;
    if (!last.empty() && key != last && m != 0) cycles.push_back(m);
    last = key;
  }
  return cycles;
}

bool Replay::Load(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read replay file '" + path + "'";
    return false;
  }
  data_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (data_.empty()) {
    error = "replay file '" + path + "' is empty";
    return false;
  }
  messages_ = MessageStarts(data_);
  cycles_ = CycleStarts(data_);
  cursor_ = 0;
  return true;
}

void Replay::Rewind() { cursor_ = 0; }

void Replay::NextCycle(std::vector<std::uint8_t>& out) {
  // The cycle that holds the cursor, from the cursor to the next cycle start.
  const auto next = std::upper_bound(cycles_.begin(), cycles_.end(), cursor_);
  const std::size_t end = next == cycles_.end() ? data_.size() : *next;
  out.insert(out.end(), data_.begin() + static_cast<std::ptrdiff_t>(cursor_),
             data_.begin() + static_cast<std::ptrdiff_t>(end));
  cursor_ = end == data_.size() ? 0 : end;
}

void Replay::NextRun(std::size_t want, std::vector<std::uint8_t>& out) {
  want = std::max<std::size_t>(want, 1);
  std::size_t end = std::min(data_.size(), cursor_ + want);
  const auto boundary = std::lower_bound(messages_.begin(), messages_.end(), end);
  if (boundary != messages_.end() && *boundary - cursor_ <= 2 * want) end = *boundary;
  if (boundary == messages_.end() && data_.size() - cursor_ <= 2 * want) end = data_.size();
  out.insert(out.end(), data_.begin() + static_cast<std::ptrdiff_t>(cursor_),
             data_.begin() + static_cast<std::ptrdiff_t>(end));
  cursor_ = end == data_.size() ? 0 : end;
}

}  // namespace ostrel::emulator
