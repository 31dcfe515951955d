#pragma once
// What the receive cycle needs of the GPS Data port: a sink for the forwarded stream.
#include <cstdint>

namespace ostrel {

class DataPortWriter {
 public:
  virtual ~DataPortWriter() = default;
  // Queues `count` bytes for the application on the other side; never blocks.
  virtual int32_t Write(const std::uint8_t* bytes, int32_t count) = 0;
};

}  // namespace ostrel
