#pragma once
// The times of an NMEA recording: beside "2026-12-07T18-05-24Z.nmea" the sidecar
// "2026-12-07T18-05-24Z.times" holds one line per sentence of the .nmea file, in the same
// order: the milliseconds after the recording started that the sentence arrived. Lines
// that start with '#' are comments (the first says when the recording started, UTC):
//
//   #ostrel-times 1 2026-12-07T18:05:24Z
//   0
//   0
//   1003
//
// The .nmea file stays plain NMEA that gpsfake and any NMEA reader take as it is.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace ostrel {

inline constexpr std::string_view kTimesHeader = "#ostrel-times 1";

// "x.nmea" -> "x.times"; any other name gets ".times" added.
std::string TimesPathFor(const std::string& nmea_path);

// The times of `text` (a whole sidecar), in order. Reading stops at the first line that
// is no time: a number that runs backwards or is out of range, or a line cut short by
// the end of the text (a recording stopped in the middle of a write).
std::vector<Millis> ParseTimes(std::string_view text);

// `nmea_path` has a sidecar to read.
bool HasTimes(const std::string& nmea_path);

// The sidecar of `nmea_path`, read whole, or nothing when there is none (or it is no
// regular file, or bigger than `limit` bytes).
std::vector<Millis> ReadTimesFor(const std::string& nmea_path, bool& found,
                                 std::size_t limit = 64u << 20);

}  // namespace ostrel
