#pragma once
// The module's EEPROM as a file, so the serial number outlives the emulator. The image is
// the 10 serial-number bytes. A missing file is a module fresh from the factory; an
// erased EEPROM reads 0xFF in every byte, as the real part does.
#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace ostrel::emulator {

inline constexpr std::size_t kSerialLength = 10;
using Serial = std::array<std::uint8_t, kSerialLength>;

inline constexpr Serial kFactorySerial = {'K', 'S', '0', '0', '0', '0', '0', '0', '0', '1'};

class Eeprom {
 public:
  explicit Eeprom(std::string path) : path_(std::move(path)) {}

  // False with a reason when the file exists but cannot be read.
  bool Load(std::string& error);

  const Serial& SerialNumber() const { return serial_; }

  // Each replaces the file atomically (temporary file, then rename).
  bool Write(std::span<const std::uint8_t, kSerialLength> serial, std::string& error);
  bool Erase(std::string& error);

 private:
  bool Save(std::string& error);

  std::string path_;
  Serial serial_ = kFactorySerial;
};

}  // namespace ostrel::emulator
