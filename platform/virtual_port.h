#pragma once
// The GPS Data port as the program uses it: obtained once at start-up (CreatePort or
// Open), then written by the receive cycle and read when an application has written.
#include <cstdint>
#include <string>

#include "platform/data_port.h"

namespace ostrel {

class VirtualPort : public DataPortWriter {
 public:
  // Makes a new port `name` ("COM3") and holds it. False when it cannot be had.
  virtual bool CreatePort(const std::string& name) = 0;
  // Takes over the existing port `name` of this program's kind. False when another
  // program holds it.
  virtual bool Open(const std::string& name) = 0;
  // Moves up to `count` bytes that the application wrote into `bytes`; the number moved.
  virtual int32_t Read(std::uint8_t* bytes, int32_t count) = 0;
  // Why the last CreatePort or Open failed, as a sentence naming the folder or file
  // ("The folder /home/me/gps cannot be written: Read-only file system."); empty when
  // nothing failed or the reason is unknown.
  virtual std::string Failure() const { return {}; }
};

}  // namespace ostrel
