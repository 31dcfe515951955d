#pragma once
// A log file of bounded size: when the next line would take it past the limit, the file
// becomes "<name>.1" (replacing the one before) and a new one starts. A failed write is
// skipped quietly: a log must never stop the panel.
#include <cstdint>
#include <string>
#include <string_view>

namespace ostrel {

inline constexpr std::uintmax_t kLogRotateSize = std::uintmax_t{1024} * 1024;

// The name the previous file goes to.
std::string RotatedName(const std::string& path);

// Appends `text` to the file at `path` (a regular file only), rotating it first when
// the text would take it past `limit` bytes.
void AppendRotating(const std::string& path, std::string_view text,
                    std::uintmax_t limit = kLogRotateSize);

}  // namespace ostrel
