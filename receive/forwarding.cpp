#include "receive/forwarding.h"

namespace ostrel {

ForwardSpan NmeaRun(const std::uint8_t* chunk, int32_t len) {
  // Scanned by length, not as text: UBX frames before the sentences hold 0 bytes.
  int32_t p = 0;
  while (p + 1 < len && !(chunk[p] == '$' && chunk[p + 1] == 'G')) ++p;
  if (p + 1 >= len) return {};
  for (int32_t q = p + 2; q < len; ++q) {
    if (chunk[q] == '\n' && (q == len - 1 || chunk[q + 1] != '$')) return {p, q - p + 1};
  }
  return {};
}

void ForwardChunk(DataPortWriter& port, const std::uint8_t* chunk, int32_t len,
                  bool PassBinaryData) {
  if (PassBinaryData) {
    port.Write(chunk, len);
    return;
  }
  const ForwardSpan run = NmeaRun(chunk, len);
  if (run.count > 0) port.Write(chunk + run.offset, run.count);
}

}  // namespace ostrel
