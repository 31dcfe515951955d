#pragma once
// The receiver chip behind the firmware: a u-blox Antaris that prints its NMEA set once
// per navigation solution, adds NAV-SOL and NAV-SBAS when CFG-MSG asks for them, and
// answers every CFG frame it receives with ACK-ACK, except CFG-RST, after which it
// searches for a while with no fix, as a restarted receiver does.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tools/emulator/scenario.h"

namespace ostrel::emulator {

// What the chip can print, each at its own rate (1 = every solution, 0 = off).
enum class Output { kNavSol, kNavSbas, kRmc, kVtg, kGga, kGsa, kGsv, kGll, kCount };

struct SbasConfig {
  std::uint8_t mode = 0x01;  // bit 0 enabled, bit 1 test mode
  std::uint8_t usage = 0x07;
  std::uint8_t max_channels = 2;
  std::uint32_t scan_mask = 0;  // bit n = PRN 120 + n; 0 scans them all
  bool Enabled() const { return (mode & 0x01) != 0; }
};

inline constexpr std::size_t kNavSolLength = 52;

// Navigation cycles without a fix after CFG-RST, by what the restart cleared: all (cold),
// part (warm: the ephemeris), nothing (hot). At the default 1 s cycle these are about the
// Antaris 4's published start-up times; a shorter --period shortens them alike.
inline constexpr int kColdStartCycles = 34;
inline constexpr int kWarmStartCycles = 29;
inline constexpr int kHotStartCycles = 3;

// Payloads of the two status messages, field offsets as the maker publishes them.
std::array<std::uint8_t, kNavSolLength> NavSolPayload(const Epoch& e, bool dgps);
std::vector<std::uint8_t> NavSbasPayload(const Epoch& e, const SbasConfig& sbas);

// "NAV-SOL", "GGA", ... for the messages CFG-MSG can switch; nullptr for others.
const char* OutputName(std::uint8_t cls, std::uint8_t id);

// Appends a whole UBX frame, checksum included.
void AppendFrame(std::vector<std::uint8_t>& out, std::uint8_t cls, std::uint8_t id,
                 std::span<const std::uint8_t> payload);

class ReceiverChip {
 public:
  explicit ReceiverChip(int power_on_baud);

  // Factory settings: power-on baud, NMEA set on, UBX status off, SBAS on with auto-scan.
  void PowerOn();
  // Forgets a frame half received (the serial line was re-opened).
  void ResetInput() { frame_.clear(); }

  // Bytes arriving on the chip's serial port. Answers go to `out`; one line per frame
  // received goes to `notes` for the log.
  void Receive(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out,
               std::vector<std::string>& notes);

  // One navigation solution: UBX NAV messages first, then RMC VTG GGA GSA GSV GLL, the
  // order u-blox prints them. The offset of each message start is added to `starts`.
  void Solution(const Epoch& e, std::vector<std::uint8_t>& out,
                std::vector<std::size_t>* starts = nullptr);

  int Baud() const { return baud_; }
  const SbasConfig& Sbas() const { return sbas_; }
  // Cycles left before the fix after a restart; 0 with a fix.
  int Searching() const { return searching_; }
  std::uint8_t rate(Output o) const { return rates_[static_cast<std::size_t>(o)]; }

 private:
  void HandleFrame(std::uint8_t cls, std::uint8_t id, std::span<const std::uint8_t> payload,
                   std::vector<std::uint8_t>& out, std::vector<std::string>& notes);
  void HandleCfgMsg(std::span<const std::uint8_t> payload, std::vector<std::uint8_t>& out,
                    std::string& note);
  void HandleCfgRst(std::span<const std::uint8_t> payload, std::string& note);
  bool Due(Output o) const;
  // A solution while searching after a restart: the sky as far as it is known, no fix.
  void SearchingSolution(const Epoch& e, std::vector<std::uint8_t>& out,
                         std::vector<std::size_t>* starts);

  int power_on_baud_;
  int baud_;
  SbasConfig sbas_;
  std::array<std::uint8_t, static_cast<std::size_t>(Output::kCount)> rates_{};
  std::uint32_t solutions_ = 0;
  int searching_ = 0;
  bool cold_ = false;                // the search began with no almanac: the sky appears halfway
  std::vector<std::uint8_t> frame_;  // UBX frame being received
};

}  // namespace ostrel::emulator
