#include "tools/emulator/eeprom.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ostrel::emulator {

bool Eeprom::Load(std::string& error) {
  std::FILE* f = std::fopen(path_.c_str(), "rb");
  if (f == nullptr) {
    if (errno == ENOENT) {
      serial_ = kFactorySerial;
      return true;
    }
    error = "cannot read EEPROM file '" + path_ + "': " + std::strerror(errno);
    return false;
  }
  // A short image reads as erased past its end.
  serial_.fill(0xFF);
  const std::size_t n = std::fread(serial_.data(), 1, serial_.size(), f);
  const bool failed = n < serial_.size() && std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    error = "cannot read EEPROM file '" + path_ + "'";
    return false;
  }
  return true;
}

bool Eeprom::Write(std::span<const std::uint8_t, kSerialLength> serial, std::string& error) {
  std::copy(serial.begin(), serial.end(), serial_.begin());
  return Save(error);
}

bool Eeprom::Erase(std::string& error) {
  serial_.fill(0xFF);
  return Save(error);
}

bool Eeprom::Save(std::string& error) {
  const std::string temp = path_ + ".tmp." + std::to_string(::getpid());
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) {
    error = "cannot write EEPROM file '" + temp + "': " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(serial_.data(), 1, serial_.size(), f) == serial_.size();
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed || std::rename(temp.c_str(), path_.c_str()) != 0) {
    error = "cannot write EEPROM file '" + path_ + "': " + std::strerror(errno);
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace ostrel::emulator
