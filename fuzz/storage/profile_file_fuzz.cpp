// Arbitrary bytes as a settings file: reading never fails, a write changes the one key it
// is asked to and nothing another key reads, and a byte order mark in front of the file
// changes nothing but itself.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/settings.h"
#include "platform/profile_file.h"

namespace {

constexpr std::array<std::pair<const char*, const char*>, 9> kKeys = {{{"Ports", "DGPSName"},
                                                                       {"GPS", "COM"},
                                                                       {"GPS", "WAAS"},
                                                                       {"GPS", "Baud"},
                                                                       {"GPS", "ProcessGPS"},
                                                                       {"GPS", "PassBinaryData"},
                                                                       {"GPS", "Demo"},
                                                                       {"Log", "Status"},
                                                                       {"Debug", "Panel"}}};

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trim(std::string s) {
  while (!s.empty() && Blank(s.back())) s.pop_back();
  std::size_t i = 0;
  while (i < s.size() && Blank(s[i])) ++i;
  return s.substr(i);
}

bool Same(const std::string& a, const char* b) {
  std::string lb(b);
  if (a.size() != lb.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(lb[i]))) {
      return false;
    }
  }
  return true;
}

// What a read gives back for a written value.
std::string AsRead(std::string v) {
  v = Trim(std::move(v));
  if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) {
    v = v.substr(1, v.size() - 2);
  }
  return v.substr(0, ostrel::kProfileValueMax);
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::string section = in.ConsumeRandomLengthString(12);
  std::string key = in.ConsumeRandomLengthString(12);
  std::string value = in.ConsumeRandomLengthString(64);
  std::string text = in.ConsumeRemainingBytesAsString();

  const std::string kMark = "\xEF\xBB\xBF";
  // A text that has the mark already would have two, the second a part of its first line.
  const bool has_mark = text.compare(0, kMark.size(), kMark) == 0;
  const std::string marked = kMark + text;
  std::array<std::optional<std::string>, kKeys.size()> before;
  for (std::size_t i = 0; i < kKeys.size(); ++i) {
    before[i] = ostrel::ProfileLookup(text, kKeys[i].first, kKeys[i].second);
    Check(!before[i] || before[i]->size() <= ostrel::kProfileValueMax);
    Check(has_mark || ostrel::ProfileLookup(marked, kKeys[i].first, kKeys[i].second) == before[i]);
    if (!before[i]) continue;
    // A number the integer reader takes reads the same once written back in decimal.
    const int32_t n = ostrel::ParseSettingInteger(*before[i], 7);
    const int32_t m = ostrel::ParseSettingInteger(*before[i], 8);
    if (n == m) Check(ostrel::ParseSettingInteger(std::to_string(n), 9) == n);
    for (const ostrel::UsbId& id : ostrel::ParseUsbIds(*before[i])) {
      char text[10];
      std::snprintf(text, sizeof text, "%04x:%04x", id.vendor, id.product);
      const std::vector<ostrel::UsbId> again = ostrel::ParseUsbIds(text);
      Check(again.size() == 1 && again[0] == id);
    }
  }

  std::string after;
  try {
    after = ostrel::ProfileUpdate(text, section, key, value);
  } catch (const ostrel::ProfileError&) {
    return 0;  // names or values that cannot be one line
  }
  Check(ostrel::ProfileLookup(after, section, key) == AsRead(value));
  Check(ostrel::ProfileUpdate(after, section, key, value) == after);
  Check(has_mark || ostrel::ProfileUpdate(marked, section, key, value) == kMark + after);
  const std::string s = Trim(section), k = Trim(key);
  for (std::size_t i = 0; i < kKeys.size(); ++i) {
    if (Same(s, kKeys[i].first) && Same(k, kKeys[i].second)) continue;
    Check(ostrel::ProfileLookup(after, kKeys[i].first, kKeys[i].second) == before[i]);
  }
  return 0;
}
