// What a TCP client or an extra port writes, as commands.log decodes it: any bytes give
// one line of printable text, never a line end that would split the log's line.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "receiver/command_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = ostrel::DecodeCommand(data, size);
  if (text.empty()) std::abort();
  for (const char c : text) {
    if (c < 0x20 || c > 0x7E) std::abort();
  }
  return 0;
}
