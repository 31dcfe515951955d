#pragma once
// [Share]: the receiver's stream served beside the GPS Data port, to more pseudo-terminals
// and to TCP clients. Every key is optional and the whole section is off by default; a
// file without it never gets one.
//
//   [Share]
//   ExtraPorts=2          ; COM<n> links after the GPS Data port's, 0 to 8
//   TcpPort=10110         ; 0: no server
//   TcpAddress=127.0.0.1  ; what the server binds
//   Sentences=RMC,GGA     ; empty: everything the GPS Data port gets
//   Writable=0            ; 1: the extra ports and TCP clients may send commands
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

class TSettings;

inline constexpr std::string_view kShareSection = "Share";
inline constexpr int32_t kMaxExtraPorts = 8;
inline constexpr int32_t kMaxTcpClients = 32;
// Below this a port needs privileges a desktop program should not have.
inline constexpr int32_t kLowestTcpPort = 1024;
inline constexpr int32_t kHighestTcpPort = 65535;

struct ShareSettings {
  int32_t extra_ports = 0;
  int32_t tcp_port = 0;
  std::string tcp_address = "127.0.0.1";
  // Sentence types without their talker ("RMC"); empty: no filter.
  std::vector<std::string> sentences;
  bool writable = false;
  // Which keys the file had with a usable value: only those are written back, so a
  // value the panel could not use stays in the file as the user wrote it.
  bool has_extra_ports = false;
  bool has_tcp_port = false;
  bool has_tcp_address = false;
  bool has_sentences = false;
  bool has_writable = false;

  bool AnyConsumer() const { return extra_ports > 0 || tcp_port > 0; }
};

// The [Share] keys of `file`. A value that cannot be used is left at its default (off)
// and said once in `problems`, one sentence each, naming the key and the value.
ShareSettings ReadShareSettings(const TSettings& file, std::vector<std::string>& problems);
// The keys the file had, as they are now held. Throws SettingsError when the file
// refuses the write.
void WriteShareSettings(TSettings& file, const ShareSettings& share);

// "RMC, gga ,GGA" -> {"RMC", "GGA"}; a word that is no NMEA 0183 sentence type goes to
// `unknown` and is left out.
std::vector<std::string> ParseSentenceTypes(std::string_view text,
                                            std::vector<std::string>& unknown);
// The list as the file holds it: "RMC,GGA".
std::string JoinSentenceTypes(const std::vector<std::string>& types);

// Whether `text` is a numeric IPv4 or IPv6 address.
bool IsNumericAddress(const std::string& text);

}  // namespace ostrel
