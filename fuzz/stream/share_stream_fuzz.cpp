// The forwarded stream cut into messages for the extra consumers, in fuzzed writes, through
// a filter and a small queue drained by fuzzed amounts. Nothing is lost or reordered by the
// cutting; no message passes the limit; the queue takes a message whole or counts it lost,
// never holds more than its size, and gives out exactly what it took, in order.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "dataport/share_stream.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool filtered = in.ConsumeBool();
  const std::size_t capacity = in.ConsumeIntegralInRange<std::size_t>(1, 600);
  ostrel::MessageSplitter splitter;
  const ostrel::SentenceFilter filter(filtered ? std::vector<std::string>{"GGA", "RMC"}
                                               : std::vector<std::string>{});
  ostrel::ConsumerQueue queue(capacity);
  std::string given, cut, accepted, drained;
  std::uint64_t lost = 0;
  while (in.remaining_bytes() > 0) {
    const std::string write = in.ConsumeRandomLengthString(300);
    given += write;
    splitter.Feed(reinterpret_cast<const std::uint8_t*>(write.data()), write.size(),
                  [&](const std::uint8_t* m, std::size_t n) {
                    Check(n > 0 && n <= ostrel::kMaxMessage);
                    cut.append(reinterpret_cast<const char*>(m), n);
                    if (!filter.Passes(m, n)) return;
                    if (filtered) Check(m[0] == '$');
                    if (queue.Push(m, n)) {
                      accepted.append(reinterpret_cast<const char*>(m), n);
                    } else {
                      ++lost;
                    }
                    Check(queue.Size() <= capacity);
                  });
    const std::size_t take = in.ConsumeIntegralInRange<std::size_t>(0, capacity);
    const std::size_t n = take < queue.Size() ? take : queue.Size();
    drained.append(reinterpret_cast<const char*>(queue.Front()), n);
    queue.Consume(n);
  }
  Check(cut.size() + splitter.Waiting() == given.size());
  Check(given.compare(0, cut.size(), cut) == 0);
  Check(queue.LostMessages() == lost);
  drained.append(reinterpret_cast<const char*>(queue.Front()), queue.Size());
  Check(drained == accepted);
  return 0;
}
