// The forwarding scan over any chunk, in an exact-size buffer. The NMEA run starts at the
// first "$G", ends at the first LF after it that is the chunk's last byte or is not
// followed by '$', and is empty only when no such pair exists. ForwardChunk writes that
// run and every later one (each found the same way behind the one before) in one write,
// or with pass-through the whole chunk once.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "receive/chunk.h"
#include "receive/forwarding.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

class RecordingPort final : public ostrel::DataPortWriter {
 public:
  int32_t Write(const std::uint8_t* bytes, int32_t count) override {
    ++writes;
    from = bytes;
    this->count = count;
    copy.assign(bytes, bytes + count);
    return count;
  }
  int writes = 0;
  const std::uint8_t* from = nullptr;
  int32_t count = -1;
  std::vector<std::uint8_t> copy;
};

// An LF at q ends the run: it is the last byte, or the next one is not '$'.
bool EndsRun(const std::uint8_t* c, int32_t len, int32_t q) {
  return c[q] == '\n' && (q == len - 1 || c[q + 1] != '$');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Chunks longer than the receive cycle's are scanned too: the scan works by length.
  const auto len = static_cast<int32_t>(size);
  auto chunk = std::make_unique<std::uint8_t[]>(size + 1);
  if (size > 0) std::memcpy(chunk.get(), data, size);
  const std::uint8_t* c = chunk.get();

  const ostrel::ForwardSpan run = ostrel::NmeaRun(c, len);
  int32_t first = -1;  // the first "$G"
  for (int32_t i = 0; i + 1 < len; ++i) {
    if (c[i] == '$' && c[i + 1] == 'G') {
      first = i;
      break;
    }
  }
  if (run.count == 0) {
    Check(run.offset == 0);
    if (first >= 0) {
      for (int32_t q = first + 2; q < len; ++q) Check(!EndsRun(c, len, q));
    }
  } else {
    Check(run.count > 0 && run.offset >= 0);
    Check(run.offset <= len - run.count);  // within the chunk
    Check(run.offset == first);
    const int32_t q = run.offset + run.count - 1;
    Check(run.count >= 3 && c[run.offset] == '$' && c[run.offset + 1] == 'G');
    Check(EndsRun(c, len, q));
    for (int32_t i = run.offset + 2; i < q; ++i) Check(!EndsRun(c, len, i));
  }

  std::vector<std::uint8_t> runs;
  for (int32_t from = 0;;) {
    const ostrel::ForwardSpan next = ostrel::NmeaRun(c + from, len - from);
    if (next.count == 0) break;
    runs.insert(runs.end(), c + from + next.offset, c + from + next.offset + next.count);
    from += next.offset + next.count;
  }
  RecordingPort nmea;
  auto scratch = std::make_unique<std::uint8_t[]>(size + 1);
  ostrel::ForwardChunk(nmea, c, len, false, scratch.get());
  if (run.count == 0) {
    Check(nmea.writes == 0);
  } else {
    Check(nmea.writes == 1 && nmea.copy == runs);
  }

  RecordingPort all;
  ostrel::ForwardChunk(all, c, len, true, nullptr);
  Check(all.writes == 1 && all.from == c && all.count == len);

  Check(size == 0 || std::memcmp(c, data, size) == 0);  // forwarding never changes it
  return 0;
}
