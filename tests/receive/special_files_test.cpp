// A FIFO where the panel expects one of its files: every use returns at once and says
// no; nothing waits for a reader or a writer that never comes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <ostream>
#include <string>
#include <vector>

#include "receive/demo_source.h"
#include "receive/logs.h"
#include "support/param_name.h"
#include "support/temp_dir.h"

namespace ostrel {
namespace {

using testing::TempDir;

// One use of the file with a FIFO in its place. With `writer` the FIFO has a writer that
// never writes (a read would wait for ever; a reader that stopped reading, for a
// writer), otherwise nobody at the other end (an open would wait). `release` ends a use
// that blocked, so that the test can end; it may return a descriptor to keep open until
// then. `said`: the lines the use writes on stderr.
struct FifoCase {
  const char* name;
  const char* file;
  bool writer;
  std::size_t said;
  std::function<void(const std::string& dir)> use;
  std::function<int(const std::string& fifo)> release;
};
void PrintTo(const FifoCase& c, std::ostream* os) { *os << c.name; }

// A writer that comes and goes: the reader meets the end of the file.
int Writer(const std::string& fifo) {
  ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
  return -1;
}

// A reader that stays (a writer without one would die of SIGPIPE).
int Reader(const std::string& fifo) { return ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK); }

// Zero-length records: each ends a replay pass.
int Feed(const std::string& fifo) {
  const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  const std::string zeros(4096, '\0');
  if (fd >= 0 && ::write(fd, zeros.data(), zeros.size()) < 0) {
  }
  ::close(fd);
  return -1;
}

int Drain(const std::string& fifo) {
  const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  char buf[65536];
  for (int i = 0; i < 100 && ::read(fd, buf, sizeof buf) > 0; ++i) {
  }
  ::close(fd);
  return -1;
}

const FifoCase kFifoCases[] = {
    {"positions_replay", "positions.log", true, 1,
     [](const std::string& dir) {
       PositionsLog log(PositionsLog::kReplay, dir);
       std::uint8_t chunk[PositionsLog::kChunkBufferSize] = "live";
       int32_t len = 4;
       for (int tick = 0; tick < 5; ++tick) log.LogPositions(chunk, len);
       EXPECT_EQ(len, 4);  // the live chunk stays
       EXPECT_FALSE(log.IsOpen());
     },
     Feed},
    // Said through the window's notice, once (which also goes to stderr).
    {"positions_record", "positions.log", true, 0,
     [](const std::string& dir) {
       PositionsLog log(PositionsLog::kRecord, dir);
       std::uint8_t chunk[PositionsLog::kChunkBufferSize] = {};
       std::string notice;
       for (int tick = 0; tick < 100; ++tick) {  // 200 KB: more than a pipe holds
         int32_t len = PositionsLog::kMaxChunk;
         log.LogPositions(chunk, len);
         if (log.TakeNotice(notice)) {
           EXPECT_EQ(tick, 0);
           EXPECT_NE(notice.find(log.FileName() + ": not a regular file: recording has stopped"),
                     std::string::npos)
               << notice;
         }
       }
       EXPECT_FALSE(notice.empty());
     },
     Drain},
    {"error_log", "error.log", false, 1, [](const std::string& dir) { ErrorLog("message", dir); },
     Reader},
    {"demonstration_file", "nmea.txt", false, 0,
     [](const std::string& dir) {
       DemoSource demo;
       demo.DemoFileName = dir + "/nmea.txt";
       std::uint8_t chunk[PositionsLog::kChunkBufferSize];
       int32_t len = -1;
       EXPECT_FALSE(demo.NextGroup(chunk, len));
       EXPECT_EQ(len, 0);
     },
     Writer},
};

class FifoInPlaceOfFile : public ::testing::TestWithParam<FifoCase> {};

TEST_P(FifoInPlaceOfFile, ReturnsAtOnceAndSaysSoOnce) {
  const FifoCase& c = GetParam();
  TempDir dir;
  const std::string fifo = dir.File(c.file);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int writer = c.writer ? ::open(fifo.c_str(), O_RDWR | O_NONBLOCK) : -1;
  ::testing::internal::CaptureStderr();
  auto done = std::async(std::launch::async, [&] { c.use(dir.Path().string()); });
  const bool returned = done.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
  std::vector<int> kept;
  while (done.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
    kept.push_back(c.release(fifo));
  const std::string said = ::testing::internal::GetCapturedStderr();
  for (int fd : kept)
    if (fd >= 0) ::close(fd);
  if (writer >= 0) ::close(writer);
  EXPECT_TRUE(returned) << "blocked on the FIFO";
  std::size_t lines = 0;
  for (char ch : said) lines += ch == '\n';
  EXPECT_EQ(lines, c.said) << said;
  if (lines > 0) {
    EXPECT_NE(said.find(fifo), std::string::npos) << said;
  }
}

INSTANTIATE_TEST_SUITE_P(Files, FifoInPlaceOfFile, ::testing::ValuesIn(kFifoCases),
                         ostrel::test::ParamName());

}  // namespace
}  // namespace ostrel
