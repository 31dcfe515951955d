#pragma once
// Text composed in a fixed buffer during the tick: no allocation, and what does not fit
// is cut off rather than written past the end.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace ostrel {

// Appends as much of `text` as fits behind the `used` bytes of `out`; the new length.
inline std::size_t AppendBounded(std::span<char> out, std::size_t used, std::string_view text) {
  const std::size_t room = out.size() - used;
  const std::size_t n = text.size() < room ? text.size() : room;
  std::memcpy(out.data() + used, text.data(), n);
  return used + n;
}

// The decimal digits of `value`, cut off as text is.
inline std::size_t AppendBounded(std::span<char> out, std::size_t used, int32_t value) {
  char digits[12];  // "-2147483648"
  const auto r = std::to_chars(digits, digits + sizeof digits, value);
  const auto length = static_cast<std::size_t>(r.ptr - digits);
  return AppendBounded(out, used, std::string_view(digits, length));
}

}  // namespace ostrel
