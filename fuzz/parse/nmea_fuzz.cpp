// ParseNMEA over any chunk: only ParseError may leave it, the chunk stays as it was,
// and no more than the 12 PRNs of one GSA are ever marked used.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "gps/tgps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The receive cycle hands over a writable chunk with a NUL after it.
  auto text = std::make_unique<char[]>(size + 1);
  std::memcpy(text.get(), data, size);
  text[size] = '\0';

  static ostrel::TGPS gps;  // kept across inputs, as the receiver object is
  try {
    gps.ParseNMEA(text.get(), static_cast<int32_t>(size));
  } catch (const ostrel::ParseError&) {
  }
  if (std::memcmp(text.get(), data, size) != 0 || text[size] != '\0') std::abort();
  int used = 0;
  for (int prn = 1; prn <= ostrel::kMaxSatId; ++prn) used += gps.Sat[prn].Used ? 1 : 0;
  // 12 a GSA; a multi-GNSS receiver's further GSA sentences in one chunk add theirs.
  if (used > 12 * 8 || gps.Sat[0].Used) std::abort();
  return 0;
}
