// Any bytes as a recording: up to the first NUL the .times sidecar, after it the NMEA
// file. The times read are in order and in range; the points of the NMEA are real places
// and times; a demonstration paced by those times delivers the file within the chunk's
// room, never a line before it is due, and comes to the file's end.
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "receive/chunk.h"
#include "receive/demo_source.h"
#include "record/nmea_fix.h"
#include "record/times_file.h"

namespace {

char g_dir[] = "/tmp/ostrel-fuzz-recording-XXXXXX";
char g_nmea[sizeof g_dir + 16];
char g_times[sizeof g_dir + 16];

void Check(bool ok) {
  if (!ok) std::abort();
}

void Write(const char* path, std::string_view bytes) {
  std::FILE* f = std::fopen(path, "wb");
  Check(f != nullptr);
  Check(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
  std::fclose(f);
}

void CheckPoint(const ostrel::TrackPoint& p) {
  Check(p.day_ms >= 0 && p.day_ms < 86'400'000);
  Check(std::isfinite(p.latitude) && std::fabs(p.latitude) <= 90);
  Check(std::isfinite(p.longitude) && std::fabs(p.longitude) <= 180);
  Check(ostrel::FormatUtc(p).size() <= 24);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool made = [] {
    if (::mkdtemp(g_dir) == nullptr) std::abort();
    std::snprintf(g_nmea, sizeof g_nmea, "%s/r.nmea", g_dir);
    std::snprintf(g_times, sizeof g_times, "%s/r.times", g_dir);
    std::atexit([] {
      ::unlink(g_nmea);
      ::unlink(g_times);
      ::rmdir(g_dir);
    });
    return true;
  }();
  (void)made;
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = all.find('\0');
  const std::string_view times_text = all.substr(0, nul);
  const std::string_view nmea = nul == std::string_view::npos ? "" : all.substr(nul + 1);

  const std::vector<ostrel::Millis> times = ostrel::ParseTimes(times_text);
  for (std::size_t i = 0; i < times.size(); ++i)
    Check(times[i] >= 0 && (i == 0 || times[i] >= times[i - 1]));

  ostrel::SentenceSplitter splitter;
  ostrel::FixAssembler assembler;
  splitter.Feed(reinterpret_cast<const std::uint8_t*>(nmea.data()), nmea.size(),
                [&](std::string_view line) {
                  Check(line.size() >= 3 && line.substr(line.size() - 2) == "\r\n");
                  if (const auto epoch = assembler.Take(line); epoch && epoch->point)
                    CheckPoint(*epoch->point);
                });
  if (const auto epoch = assembler.Finish(); epoch && epoch->point) CheckPoint(*epoch->point);

  Write(g_times, times_text);
  Write(g_nmea, nmea);
  auto chunk = std::make_unique<std::uint8_t[]>(ostrel::kChunkBufferSize);
  ostrel::DemoSource demo;
  demo.DemoFileName = g_nmea;
  demo.DemoSpeed = 2;
  ostrel::Millis now = 0;
  std::size_t delivered = 0;
  // Every tick gives at least one line or reaches the end; CR added to LF at most doubles.
  for (std::size_t tick = 0; tick <= nmea.size() + 2; ++tick) {
    int32_t len = -1;
    Check(demo.NextGroup(chunk.get(), len, now));
    Check(len >= 0 && len <= ostrel::kMaxChunk && chunk[static_cast<std::size_t>(len)] == 0);
    delivered += static_cast<std::size_t>(len);
    if (!demo.IsOpen()) break;
    Check(demo.Paced());
    const ostrel::Millis due = demo.NextDue();
    Check(due >= 0);
    if (due > now) {
      Check(demo.NextGroup(chunk.get(), len, due - 1) && len == 0);
      now = due;
    }
  }
  Check(!demo.IsOpen());
  Check(delivered <= 2 * nmea.size());
  return 0;
}
