#include "receive/forwarding.h"

#include <cstring>

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
                  bool pass_binary_data, std::uint8_t* scratch) {
  if (pass_binary_data) {
    port.Write(chunk, len);
    return;
  }
  const ForwardSpan first = NmeaRun(chunk, len);
  if (first.count == 0) return;
  int32_t from = first.offset + first.count;
  ForwardSpan run = NmeaRun(chunk + from, len - from);
  if (run.count == 0) {
    port.Write(chunk + first.offset, first.count);
    return;
  }
  std::memcpy(scratch, chunk + first.offset, static_cast<std::size_t>(first.count));
  int32_t gathered = first.count;
  do {
    std::memcpy(scratch + gathered, chunk + from + run.offset, static_cast<std::size_t>(run.count));
    gathered += run.count;
    from += run.offset + run.count;
    run = NmeaRun(chunk + from, len - from);
  } while (run.count > 0);
  port.Write(scratch, gathered);
}

}  // namespace ostrel
