#include "engine/share_settings.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>

#include "engine/settings.h"

namespace ostrel {

namespace {

// NMEA 0183 sentence types a receiver or a navigation program may put on the port.
constexpr std::array<std::string_view, 34> kSentenceTypes = {
    "AAM", "ALM", "APB", "BOD", "BWC", "DBT", "DTM", "GBS", "GGA", "GLL", "GNS", "GRS",
    "GSA", "GST", "GSV", "HDG", "HDM", "HDT", "MWV", "RMB", "RMC", "ROT", "RTE", "THS",
    "TXT", "VBW", "VHW", "VTG", "WPL", "XTE", "ZDA", "VLW", "RMA", "MTW"};

constexpr std::string_view kExtraPortsKey = "ExtraPorts";
constexpr std::string_view kTcpPortKey = "TcpPort";
constexpr std::string_view kTcpAddressKey = "TcpAddress";
constexpr std::string_view kSentencesKey = "Sentences";
constexpr std::string_view kWritableKey = "Writable";

std::string Said(std::string_view key, const std::string& value) {
  return "[Share] " + std::string(key) + "=" + value;
}

void ReadExtraPorts(const TSettings& file, ShareSettings& s, std::vector<std::string>& problems) {
  const std::optional<std::string> text = file.ReadIfPresent(kShareSection, kExtraPortsKey);
  s.has_extra_ports = text.has_value();
  if (!text) return;
  const int32_t n = ParseSettingInteger(*text, -1);
  if (n >= 0 && n <= kMaxExtraPorts) {
    s.extra_ports = n;
    return;
  }
  s.has_extra_ports = false;
  problems.push_back(Said(kExtraPortsKey, *text) + " is not a number from 0 to " +
                     std::to_string(kMaxExtraPorts) + "; no extra ports are made.");
}

void ReadTcp(const TSettings& file, ShareSettings& s, std::vector<std::string>& problems) {
  const std::optional<std::string> address = file.ReadIfPresent(kShareSection, kTcpAddressKey);
  s.has_tcp_address = address.has_value();
  bool address_ok = true;
  if (address) {
    if (IsNumericAddress(*address)) {
      s.tcp_address = *address;
    } else {
      address_ok = false;
      s.has_tcp_address = false;
    }
  }
  const std::optional<std::string> port = file.ReadIfPresent(kShareSection, kTcpPortKey);
  s.has_tcp_port = port.has_value();
  if (!port) return;
  const int32_t n = ParseSettingInteger(*port, -1);
  if (n == 0) return;
  s.has_tcp_port = false;
  if (n < 0 || n > kHighestTcpPort) {
    problems.push_back(Said(kTcpPortKey, *port) +
                       " is no TCP port number (1024 to 65535, or 0 for none); the TCP "
                       "server is off.");
  } else if (n < kLowestTcpPort) {
    problems.push_back(Said(kTcpPortKey, *port) +
                       " is refused: ports below 1024 need the administrator's rights. Use "
                       "10110, NMEA's own port; the TCP server is off.");
  } else if (!address_ok) {
    problems.push_back(Said(kTcpAddressKey, *address) +
                       " is not a numeric address of this computer (such as 127.0.0.1); the "
                       "TCP server is off.");
  } else {
    s.tcp_port = n;
    s.has_tcp_port = true;
  }
}

}  // namespace

bool IsNumericAddress(const std::string& text) {
  std::array<unsigned char, 16> buffer{};
  return ::inet_pton(AF_INET, text.c_str(), buffer.data()) == 1 ||
         ::inet_pton(AF_INET6, text.c_str(), buffer.data()) == 1;
}

std::vector<std::string> ParseSentenceTypes(std::string_view text,
                                            std::vector<std::string>& unknown) {
  std::vector<std::string> types;
  for (const std::string_view word : SettingWords(text)) {
    std::string upper(word);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (std::find(kSentenceTypes.begin(), kSentenceTypes.end(), upper) == kSentenceTypes.end()) {
      unknown.emplace_back(word);
    } else if (std::find(types.begin(), types.end(), upper) == types.end()) {
      types.push_back(upper);
    }
  }
  return types;
}

std::string JoinSentenceTypes(const std::vector<std::string>& types) {
  std::string text;
  for (const std::string& t : types) {
    if (!text.empty()) text += ',';
    text += t;
  }
  return text;
}

ShareSettings ReadShareSettings(const TSettings& file, std::vector<std::string>& problems) {
  ShareSettings s;
  ReadExtraPorts(file, s, problems);
  ReadTcp(file, s, problems);
  if (const std::optional<std::string> text = file.ReadIfPresent(kShareSection, kSentencesKey)) {
    s.has_sentences = true;
    std::vector<std::string> unknown;
    s.sentences = ParseSentenceTypes(*text, unknown);
    if (!unknown.empty()) {
      s.has_sentences = false;
      problems.push_back(Said(kSentencesKey, *text) + ": " + JoinSentenceTypes(unknown) +
                         (unknown.size() == 1 ? " is no" : " are no") + " NMEA sentence type" +
                         (s.sentences.empty() ? "; every sentence is "
                                                "served."
                                              : "; left out."));
    }
  }
  if (const std::optional<std::string> text = file.ReadIfPresent(kShareSection, kWritableKey)) {
    s.has_writable = true;
    const int32_t n = ParseSettingInteger(*text, -1);
    if (n < 0) {
      s.has_writable = false;
      problems.push_back(Said(kWritableKey, *text) +
                         " is neither 0 nor 1; what applications write is dropped.");
    }
    s.writable = n > 0;
  }
  return s;
}

void WriteShareSettings(TSettings& file, const ShareSettings& share) {
  if (share.has_extra_ports) file.WriteInteger(kShareSection, kExtraPortsKey, share.extra_ports);
  if (share.has_tcp_port) file.WriteInteger(kShareSection, kTcpPortKey, share.tcp_port);
  if (share.has_tcp_address) file.WriteString(kShareSection, kTcpAddressKey, share.tcp_address);
  if (share.has_sentences)
    file.WriteString(kShareSection, kSentencesKey, JoinSentenceTypes(share.sentences));
  if (share.has_writable) file.WriteBool(kShareSection, kWritableKey, share.writable);
}

}  // namespace ostrel
