#pragma once
// An NMEA sentence from its body, for tests that build their own input, and the fields of
// one, for tests that read output.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::test {

// "$" body "*hh" CR LF with the checksum the body needs.
inline std::string NmeaSentence(std::string_view body) {
  unsigned sum = 0;
  for (char c : body) sum ^= static_cast<unsigned char>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
  std::string out = "$";
  out.append(body).append(tail);
  return out;
}

// The comma-separated fields of a sentence or its body, in order: "a,,b" gives three.
inline std::vector<std::string> NmeaFields(std::string_view text) {
  std::vector<std::string> fields;
  std::size_t from = 0;
  for (std::size_t comma; (comma = text.find(',', from)) != std::string_view::npos;
       from = comma + 1)
    fields.emplace_back(text.substr(from, comma - from));
  fields.emplace_back(text.substr(from));
  return fields;
}

}  // namespace ostrel::test
