#pragma once
// Command line of kastrel-emulator. Every fault the module can show is an option here.
#include <cstdint>
#include <string>
#include <vector>

namespace ostrel::emulator {

struct Options {
  std::string socket_name = "Ezusb-0";
  std::string eeprom_path;  // empty: DefaultEepromPath()
  std::string firmware_version = "1.4";
  int baud = 19200;      // firmware and chip rate at power-on
  double rate = 0;       // bytes per second; 0: follow the baud rate
  int period_ms = 1000;  // navigation cycle
  int satellites = 8;    // used in the fix
  std::string replay_path;
  bool stationary = false;  // stand still instead of driving
  std::uint32_t seed = 1;
  // Faults.
  double silent_after = -1;  // seconds after each connect; < 0: never
  double unplug_every = -1;  // seconds after each plug-in; < 0: never
  double unplug_down = 2;
  bool no_ack = false;
  int late_ack_ms = 0;
  bool garbage = false;
  bool flood = false;
  bool zero_length = false;  // a zero-length packet after every full one
  // Logging of received packets.
  std::string log_path;
  bool verbose = false;
  // Send times of the stream, for latency measurements.
  std::string trace_path;
};

enum class ParseResult { kRun, kHelp, kVersion, kError };

// Accepts "--name value" and "--name=value". On kError, `error` holds one line.
ParseResult ParseOptions(const std::vector<std::string>& args, Options& out, std::string& error);

std::string HelpText();

// "kastrel-emulator <project version>" and a line end.
std::string VersionText();

// $XDG_STATE_HOME/kastrel-eeprom.bin, or ./kastrel-eeprom.bin without that variable.
std::string DefaultEepromPath();

}  // namespace ostrel::emulator
