// An arbitrary positions.log played back: every chunk fits ChunkBuffer with its NUL, and
// the chunks played are exactly the records at the head of the file.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "receive/logs.h"

namespace {

// A plain array: it must outlive the exit handler that removes the directory.
char g_dir[] = "/tmp/ostrel-fuzz-positions-XXXXXX";
char g_file[sizeof g_dir + 16];

const char* Directory() {
  static const bool made = [] {
    if (::mkdtemp(g_dir) == nullptr) std::abort();
    std::snprintf(g_file, sizeof g_file, "%s/positions.log", g_dir);
    std::atexit([] {
      ::unlink(g_file);
      ::rmdir(g_dir);
    });
    return true;
  }();
  (void)made;
  return g_dir;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string dir = Directory();
  std::FILE* f = std::fopen(g_file, "wb");
  Check(f != nullptr);
  Check(std::fwrite(data, 1, size, f) == size);
  std::fclose(f);

  // Exactly the receive cycle's size, so a byte beyond it is caught.
  auto chunk = std::make_unique<std::uint8_t[]>(ostrel::PositionsLog::kChunkBufferSize);
  ostrel::PositionsLog log(ostrel::PositionsLog::kReplay, dir);
  std::size_t consumed = 0;
  for (std::size_t tick = 0; tick <= size / 5 + 1; ++tick) {
    int32_t len = 7;
    log.LogPositions(chunk.get(), len);
    Check(len >= 0 && len <= ostrel::PositionsLog::kMaxChunk);
    Check(chunk[static_cast<std::size_t>(len)] == 0);
    if (len == 0) {
      Check(!log.IsOpen());
      break;
    }
    const auto n = static_cast<std::size_t>(len);
    Check(consumed + 4 + n <= size);
    Check(data[consumed] == static_cast<std::uint8_t>(n) &&
          data[consumed + 1] == static_cast<std::uint8_t>(n >> 8) && data[consumed + 2] == 0 &&
          data[consumed + 3] == 0);
    for (std::size_t i = 0; i < n; ++i) Check(chunk[i] == data[consumed + 4 + i]);
    consumed += 4 + n;
  }
  Check(!log.IsOpen());
  return 0;
}
