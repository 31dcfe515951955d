// ParseUBX over any chunk, in an exact-size buffer so a read past the end shows. A
// chunk without an accepted frame changes no status member.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <tuple>

#include "receiver/antaris.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto bytes = std::make_unique<std::uint8_t[]>(size);
  if (size > 0) std::memcpy(bytes.get(), data, size);

  static ostrel::TAntaris receiver;  // kept across inputs, as the receiver object is
  auto status = [] {
    return std::make_tuple(receiver.StatusUpdated, receiver.FixType, receiver.DGPSState,
                           receiver.SVCount, receiver.WAASActive);
  };
  const auto before = status();
  const bool any = receiver.ParseUBX(bytes.get(), static_cast<int32_t>(size));
  if (!any && status() != before) std::abort();
  if (receiver.DGPSState < 0 || receiver.DGPSState > 2) std::abort();
  if (receiver.FixType < 0 || receiver.FixType > 255) std::abort();
  if (receiver.SVCount < 0 || receiver.SVCount > 255) std::abort();
  receiver.StatusUpdated = false;  // as the receive cycle does once shown
  return 0;
}
