#pragma once
// The module's firmware between USB and the receiver chip. What the host writes:
//   "j"             the device was opened: start forwarding the chip's stream afresh
//   "^"             poll: hand over what has arrived, even if it is no full packet
//   '*' + command   64-byte control block, '_' fill: c, *, 9600, 19200, v, r, w+10, e
//   '!' + data      64-byte data block: the bytes go to the chip's serial port
// Every 64-byte block is answered with its own first two bytes, then any content, then
// CR LF: "*r" "KS00000001" "\r\n". The reply is its own packet, ahead of stream bytes.
#include <cstdint>
#include <span>
#include <string>

#include "tools/emulator/eeprom.h"

namespace ostrel::emulator {

inline constexpr std::size_t kBlockSize = 64;

// What the firmware does to the world around it.
class FirmwareHost {
 public:
  virtual ~FirmwareHost() = default;
  virtual void Open() = 0;
  virtual void Poll() = 0;
  virtual void Reply(std::span<const std::uint8_t> reply) = 0;
  virtual void SetBaud(int baud) = 0;
  virtual void ToChip(std::span<const std::uint8_t> bytes) = 0;
  virtual void Note(const std::string& text) = 0;
};

class Firmware {
 public:
  // `version` is the three characters answered to "*v".
  Firmware(Eeprom& eeprom, std::string version) : eeprom_(eeprom), version_(std::move(version)) {}

  // One bulk write from the host.
  void Handle(std::span<const std::uint8_t> packet, FirmwareHost& host);

 private:
  void Command(std::span<const std::uint8_t> block, FirmwareHost& host);

  Eeprom& eeprom_;
  std::string version_;
};

}  // namespace ostrel::emulator
