#include "tools/emulator/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

namespace ostrel::emulator {
namespace {

bool ToInt(const std::string& text, long min, long max, long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < min || value > max) return false;
  out = value;
  return true;
}

bool ToSeconds(const std::string& text, double min, double& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < min || value > 1e6)
    return false;
  out = value;
  return true;
}

}  // namespace

std::string HelpText() {
  return "Usage: kastrel-emulator [OPTION]...\n"
         "Plays the Kastrel USB GPS module (its firmware and its u-blox Antaris receiver chip)\n"
         "on the abstract Unix socket @Ezusb-0, one SOCK_SEQPACKET packet per bulk transfer.\n"
         "\n"
         "Module:\n"
         "  --socket NAME            abstract socket name to listen on (default Ezusb-0)\n"
         "  --eeprom PATH            EEPROM image holding the serial number (default\n"
         "                           $XDG_STATE_HOME/kastrel-eeprom.bin, or ./kastrel-eeprom.bin\n"
         "                           when XDG_STATE_HOME is not set)\n"
         "  --firmware-version VER   the three characters answered to \"*v\" (default 1.4)\n"
         "  --baud 9600|19200        serial rate at power-on (default 19200)\n"
         "  --rate BYTES_PER_SEC     pace the stream at this byte rate instead of the baud rate;\n"
         "                           with --replay the log then streams without cycle pauses\n"
         "  --period MS              navigation cycle in milliseconds, 50..10000 (default 1000)\n"
         "  --satellites N           satellites used in the fix, 4..10 (default 8)\n"
         "  --replay FILE            replay a recorded NMEA/UBX log, looping, instead of the\n"
         "                           built-in drive\n"
         "  --stationary             stand still on the drive's start point instead of driving:\n"
         "                           speed 0, no course, the position wandering a few metres\n"
         "                           around the point as a receiver's does\n"
         "  --seed N                 seed for --garbage and the --stationary wander (default 1)\n"
         "\n"
         "Faults:\n"
         "  --silent-after SECS      send nothing (stream or replies) from SECS seconds after "
         "each\n"
         "                           connect on, but keep the connection\n"
         "  --unplug-every SECS[:DOWNSECS]\n"
         "                           SECS seconds after each plug-in, drop the connection and "
         "stop\n"
         "                           listening for DOWNSECS seconds (default 2); the module comes\n"
         "                           back with its power-on settings\n"
         "  --no-ack                 never reply to command blocks\n"
         "  --late-ack MS            reply to command blocks MS milliseconds late\n"
         "  --garbage                mix random binary garbage into the stream\n"
         "  --flood                  send back-to-back 64-byte packets as fast as they are read\n"
         "  --zero-length            send a zero-length packet after every 64-byte one, as a\n"
         "                           module does that ends each transfer on a packet boundary\n"
         "\n"
         "Logging:\n"
         "  --log FILE               log every packet received, and every reply, one line each\n"
         "  -v, --verbose            the same log on stderr\n"
         "  --trace FILE             one line per message sent to the host, when its last byte\n"
         "                           is handed to the socket: CLOCK_MONOTONIC ns, a space,\n"
         "                           then a sentence's text without CR LF, or '~' and other\n"
         "                           stream bytes in hex, or '@' and a reply packet in hex\n"
         "  -h, --help               show this help and exit\n"
         "  --version                show the version and exit\n";
}

std::string VersionText() { return "kastrel-emulator " OSTREL_VERSION "\n"; }

std::string DefaultEepromPath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] != '\0') return std::string(state) + "/kastrel-eeprom.bin";
  return "./kastrel-eeprom.bin";
}

// NOLINTNEXTLINE(readability-function-size): one branch per option
ParseResult ParseOptions(const std::vector<std::string>& args, Options& out, std::string& error) {
  using Setter = std::function<bool(const std::string&)>;
  const std::map<std::string, Setter> valued = {
      {"--socket",
       [&](const std::string& v) {
         // sun_path holds 108 bytes, one of them the leading NUL.
         if (v.empty() || v.size() > 100) return false;
         out.socket_name = v;
         return true;
       }},
      {"--eeprom",
       [&](const std::string& v) {
         out.eeprom_path = v;
         return !v.empty();
       }},
      {"--firmware-version",
       [&](const std::string& v) {
         out.firmware_version = v;
         return v.size() == 3;
       }},
      {"--baud",
       [&](const std::string& v) {
         long baud = 0;
         if (!ToInt(v, 0, 1000000, baud) || (baud != 9600 && baud != 19200)) return false;
         out.baud = static_cast<int>(baud);
         return true;
       }},
      {"--rate", [&](const std::string& v) { return ToSeconds(v, 1, out.rate); }},
      {"--period",
       [&](const std::string& v) {
         long ms = 0;
         if (!ToInt(v, 50, 10000, ms)) return false;
         out.period_ms = static_cast<int>(ms);
         return true;
       }},
      {"--satellites",
       [&](const std::string& v) {
         long n = 0;
         if (!ToInt(v, 4, 10, n)) return false;
         out.satellites = static_cast<int>(n);
         return true;
       }},
      {"--replay",
       [&](const std::string& v) {
         out.replay_path = v;
         return !v.empty();
       }},
      {"--seed",
       [&](const std::string& v) {
         long seed = 0;
         if (!ToInt(v, 0, 0xFFFFFFFFL, seed)) return false;
         out.seed = static_cast<std::uint32_t>(seed);
         return true;
       }},
      {"--silent-after", [&](const std::string& v) { return ToSeconds(v, 0, out.silent_after); }},
      {"--unplug-every",
       [&](const std::string& v) {
         const auto colon = v.find(':');
         if (!ToSeconds(v.substr(0, colon), 0.01, out.unplug_every)) return false;
         return colon == std::string::npos || ToSeconds(v.substr(colon + 1), 0.01, out.unplug_down);
       }},
      {"--late-ack",
       [&](const std::string& v) {
         long ms = 0;
         if (!ToInt(v, 0, 600000, ms)) return false;
         out.late_ack_ms = static_cast<int>(ms);
         return true;
       }},
      {"--log",
       [&](const std::string& v) {
         out.log_path = v;
         return !v.empty();
       }},
      {"--trace",
       [&](const std::string& v) {
         out.trace_path = v;
         return !v.empty();
       }},
  };
  const std::map<std::string, bool*> flags = {
      {"--no-ack", &out.no_ack},           {"--garbage", &out.garbage}, {"--flood", &out.flood},
      {"--zero-length", &out.zero_length}, {"--verbose", &out.verbose}, {"-v", &out.verbose},
      {"--stationary", &out.stationary},
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool inline_value = false;
    if (name == "-h" || name == "--help") return ParseResult::kHelp;
    if (name == "--version") return ParseResult::kVersion;
    if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      inline_value = true;
    }
    if (const auto flag = flags.find(name); flag != flags.end()) {
      if (inline_value) {
        error = "option " + name + " takes no value";
        return ParseResult::kError;
      }
      *flag->second = true;
      continue;
    }
    const auto setter = valued.find(name);
    if (setter == valued.end()) {
      error = "unknown option '" + args[i] + "' (see --help)";
      return ParseResult::kError;
    }
    if (!inline_value) {
      if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return ParseResult::kError;
      }
      value = args[++i];
    }
    if (!setter->second(value)) {
      error = "bad value '" + value + "' for " + name + " (see --help)";
      return ParseResult::kError;
    }
  }
  if (out.stationary && !out.replay_path.empty()) {
    error = "--stationary and --replay exclude each other";
    return ParseResult::kError;
  }
  if (out.eeprom_path.empty()) out.eeprom_path = DefaultEepromPath();
  return ParseResult::kRun;
}

}  // namespace ostrel::emulator
