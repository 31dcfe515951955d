#include "receive/logs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "support/param_name.h"
#include "support/temp_dir.h"

namespace ostrel {
namespace {

using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

std::string Record(const std::string& chunk) {
  const auto n = static_cast<uint32_t>(chunk.size());
  std::string r{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                static_cast<char>(n >> 24)};
  return r + chunk;
}

std::string RawLength(int32_t n) {
  const auto u = static_cast<uint32_t>(n);
  return {static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16),
          static_cast<char>(u >> 24)};
}

// The receive cycle's buffer, with a guard zone behind it that must stay untouched.
struct Chunk {
  static constexpr std::size_t kGuard = 64;
  std::array<std::uint8_t, PositionsLog::kChunkBufferSize + kGuard> bytes{};
  int32_t len = 0;

  Chunk() { bytes.fill(0xEE); }
  explicit Chunk(const std::string& live) : Chunk() { Set(live); }
  void Set(const std::string& live) {
    std::memcpy(bytes.data(), live.data(), live.size());
    bytes[live.size()] = 0;
    len = static_cast<int32_t>(live.size());
  }
  std::string Text() const { return {reinterpret_cast<const char*>(bytes.data()), Size()}; }
  std::size_t Size() const { return static_cast<std::size_t>(len); }
  bool GuardIntact() const {
    for (std::size_t i = PositionsLog::kChunkBufferSize; i < bytes.size(); ++i) {
      if (bytes[i] != 0xEE) return false;
    }
    return true;
  }
};

TEST(PositionsLogReplay, ThreeRecordsThenEmptyThenAgain) {
  TempDir dir;
  const std::vector<std::string> records = {"$GPGGA,1\r\n", "$GPGSA,22\r\n", "$GPRMC,333\r\n"};
  WriteAll(dir.File("positions.log"), Record(records[0]) + Record(records[1]) + Record(records[2]));
  PositionsLog log(PositionsLog::kReplay, dir.Path().string());
  Chunk chunk;
  const std::vector<std::string> expected = {records[0], records[1], records[2], "", records[0]};
  for (const std::string& want : expected) {
    chunk.Set("live bytes, dropped\n");
    log.LogPositions(chunk.bytes.data(), chunk.len);
    EXPECT_EQ(chunk.Text(), want);
    EXPECT_EQ(chunk.bytes[chunk.Size()], 0) << "no NUL after the chunk";
  }
  EXPECT_TRUE(log.IsOpen());
}

TEST(PositionsLogReplay, MissingFileLeavesTheLiveChunkAndRetries) {
  TempDir dir;
  PositionsLog log(PositionsLog::kReplay, dir.Path().string());
  Chunk chunk("$GPGGA,live\r\n");
  log.LogPositions(chunk.bytes.data(), chunk.len);
  EXPECT_EQ(chunk.Text(), "$GPGGA,live\r\n");
  EXPECT_FALSE(log.IsOpen());

  WriteAll(dir.File("positions.log"), Record("recorded"));
  log.LogPositions(chunk.bytes.data(), chunk.len);
  EXPECT_EQ(chunk.Text(), "recorded");
}

TEST(PositionsLogReplay, WriteProtectedFileStillPlays) {
  if (::geteuid() == 0) GTEST_SKIP() << "root opens a read-only file for writing";
  TempDir dir;
  WriteAll(dir.File("positions.log"), Record("abc"));
  ASSERT_EQ(::chmod(dir.File("positions.log").c_str(), 0444), 0);
  PositionsLog log(PositionsLog::kReplay, dir.Path().string());
  Chunk chunk("live");
  log.LogPositions(chunk.bytes.data(), chunk.len);
  EXPECT_EQ(chunk.Text(), "abc");
}

struct BadRecordCase {
  const char* name;
  std::string tail;  // follows one good record
};
// Shown by its name in test output, not as raw bytes.
void PrintTo(const BadRecordCase& c, std::ostream* os) { *os << c.name; }

class PositionsLogBadRecord : public ::testing::TestWithParam<BadRecordCase> {};

// A record that cannot be a chunk ends the pass as the end of the file does: the chunk
// is empty, nothing lands beyond the buffer, and the next pass starts from the top.
TEST_P(PositionsLogBadRecord, EndsThePassSafely) {
  TempDir dir;
  WriteAll(dir.File("positions.log"), Record("good") + GetParam().tail);
  PositionsLog log(PositionsLog::kReplay, dir.Path().string());
  Chunk chunk;
  log.LogPositions(chunk.bytes.data(), chunk.len);
  ASSERT_EQ(chunk.Text(), "good");

  chunk.Set("live");
  log.LogPositions(chunk.bytes.data(), chunk.len);
  EXPECT_EQ(chunk.len, 0);
  EXPECT_EQ(chunk.bytes[0], 0);
  EXPECT_FALSE(log.IsOpen());
  EXPECT_TRUE(chunk.GuardIntact());

  log.LogPositions(chunk.bytes.data(), chunk.len);
  EXPECT_EQ(chunk.Text(), "good");
}

INSTANTIATE_TEST_SUITE_P(
    Replay, PositionsLogBadRecord,
    ::testing::Values(BadRecordCase{"zero_length", RawLength(0) + "abc"},
                      BadRecordCase{"negative_length", RawLength(-5) + "abc"},
                      BadRecordCase{"length_5000", RawLength(5000) + std::string(5000, 'x')},
                      BadRecordCase{"length_2048", RawLength(2048) + std::string(2048, 'x')},
                      BadRecordCase{"cut_record", RawLength(100) + std::string(60, 'x')},
                      BadRecordCase{"cut_length", std::string("\x05\x00", 2)}),
    ostrel::test::ParamName());

TEST(PositionsLogReplay, LongestChunkFits) {
  TempDir dir;
  const std::string longest(PositionsLog::kMaxChunk, 'L');
  WriteAll(dir.File("positions.log"), Record(longest));
  PositionsLog log(PositionsLog::kReplay, dir.Path().string());
  Chunk chunk;
  log.LogPositions(chunk.bytes.data(), chunk.len);
  EXPECT_EQ(chunk.Text(), longest);
  EXPECT_EQ(chunk.bytes[PositionsLog::kMaxChunk], 0);
  EXPECT_TRUE(chunk.GuardIntact());
}

TEST(PositionsLogRecord, TenByteChunkAddsFourteenBytes) {
  TempDir dir;
  WriteAll(dir.File("positions.log"), "before");
  PositionsLog log(PositionsLog::kRecord, dir.Path().string());
  Chunk chunk("$GPGGA,..\n");
  log.LogPositions(chunk.bytes.data(), chunk.len);
  EXPECT_EQ(ReadAll(dir.File("positions.log")),
            std::string("before\x0A\x00\x00\x00$GPGGA,..\n", 20));
  EXPECT_FALSE(log.IsOpen());
  EXPECT_EQ(chunk.Text(), "$GPGGA,..\n");
}

TEST(PositionsLogRecord, ChunksThatCannotBeRecordedWriteNothing) {
  TempDir dir;
  PositionsLog log(PositionsLog::kRecord, dir.Path().string());
  Chunk chunk;
  for (int32_t len : {0, -1, PositionsLog::kChunkBufferSize}) {
    chunk.len = len;
    log.LogPositions(chunk.bytes.data(), chunk.len);
    EXPECT_EQ(chunk.len, len);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("positions.log")));
}

TEST(PositionsLogRecord, UnwritableDirectoryIsSkippedSilently) {
  TempDir dir;
  PositionsLog log(PositionsLog::kRecord, dir.File("missing"));
  Chunk chunk("abc");
  log.LogPositions(chunk.bytes.data(), chunk.len);
  EXPECT_EQ(chunk.Text(), "abc");
  EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
}

TEST(PositionsLog, OffAndUnknownModesTouchNothing) {
  TempDir dir;
  WriteAll(dir.File("positions.log"), Record("recorded"));
  for (int32_t mode : {0, 3, -1, 7}) {
    PositionsLog log(mode, dir.Path().string());
    Chunk chunk("live");
    log.LogPositions(chunk.bytes.data(), chunk.len);
    EXPECT_EQ(chunk.Text(), "live") << "mode " << mode;
  }
  EXPECT_EQ(ReadAll(dir.File("positions.log")), Record("recorded"));
}

// Real receiver bytes, cut where the receive cycle cuts them (after an LF, at most 2047
// bytes), recorded and played back: the same chunks in the same order.
TEST(PositionsLog, RecordedCaptureReplaysTheSameChunks) {
  TempDir dir;
  const std::string capture =
      ReadAll(std::string(OSTREL_CORPUS_DIR) + "/ublox-zed-f9t-ubx_nmea_l5.log");
  ASSERT_GT(capture.size(), 10000u);
  std::vector<std::string> chunks;
  for (std::size_t pos = 0; pos < capture.size();) {
    std::size_t lf = capture.find('\n', pos + 300);
    std::size_t end = lf == std::string::npos ? capture.size() : lf + 1;
    end = std::min({end, pos + PositionsLog::kMaxChunk, capture.size()});
    chunks.push_back(capture.substr(pos, end - pos));
    pos = end;
  }
  {
    PositionsLog recorder(PositionsLog::kRecord, dir.Path().string());
    Chunk chunk;
    for (const std::string& c : chunks) {
      chunk.Set(c);
      recorder.LogPositions(chunk.bytes.data(), chunk.len);
    }
  }
  PositionsLog player(PositionsLog::kReplay, dir.Path().string());
  Chunk chunk;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    chunk.len = 0;
    player.LogPositions(chunk.bytes.data(), chunk.len);
    ASSERT_EQ(chunk.Text(), chunks[i]) << "chunk " << i;
  }
  player.LogPositions(chunk.bytes.data(), chunk.len);
  EXPECT_EQ(chunk.len, 0);
}

TEST(ErrorLog, CreatesFileAndRunsMessagesTogether) {
  TempDir dir;
  ErrorLog("SetupDiEnumDeviceInterfaces failed. (err=d)", dir.Path().string());
  ErrorLog("SetupDiGetClassDevs failed. (err=5)", dir.Path().string());
  EXPECT_EQ(ReadAll(dir.File("error.log")),
            "SetupDiEnumDeviceInterfaces failed. (err=d)SetupDiGetClassDevs failed. (err=5)");
}

TEST(ErrorLog, StopsAtNulAndSkipsUnwritablePlace) {
  TempDir dir;
  ErrorLog(std::string_view("kept\0dropped", 12), dir.Path().string());
  EXPECT_EQ(ReadAll(dir.File("error.log")), "kept");
  ErrorLog("lost", dir.File("missing"));
  EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
}

// A client that opens the port beside another every second must not fill error.log.
TEST(ErrorLog, SameNoteAgainIsCountedNotRepeated) {
  TempDir dir;
  const std::string visit = "Two programs are reading the GPS Data port COM1 at once.\n";
  for (int i = 0; i < 300; ++i) ErrorLog(visit, dir.Path().string());
  EXPECT_EQ(ReadAll(dir.File("error.log")), visit);
  ErrorLog("SetupDiGetClassDevs failed. (err=5)", dir.Path().string());
  ErrorLog("SetupDiGetClassDevs failed. (err=5)", dir.Path().string());
  ErrorLog(visit, dir.Path().string());
  EXPECT_EQ(ReadAll(dir.File("error.log")),
            visit +
                "(last message repeated 299 times)\nSetupDiGetClassDevs failed. (err=5)"
                "\n(last message repeated 1 time)\n" +
                visit);
}

TEST(ErrorLog, RepeatsAreCountedForAMinuteAndTheCountIsKeptAtTheEnd) {
  TempDir dir;
  test::FakeClock clock(1000);
  {
    ErrorLogFile log(dir.Path().string(), clock);
    log.Note("refused\n");
    clock.Set(1000 + ErrorLogFile::kRepeatWindow - 1);
    log.Note("refused\n");
    EXPECT_EQ(ReadAll(dir.File("error.log")), "refused\n");
    clock.Set(1000 + ErrorLogFile::kRepeatWindow);  // a minute after the copy in the file
    log.Note("refused\n");
    log.Note("refused\n");
    log.Note("refused\n");
  }
  EXPECT_EQ(ReadAll(dir.File("error.log")),
            "refused\n(last message repeated 1 time)\nrefused\n"
            "(last message repeated 2 times)\n");
}

TEST(ErrorLog, PastOneMegabyteTheFileMovesAsideKeepingOneOldFile) {
  TempDir dir;
  const std::string base = dir.Path().string();
  // An old log already over the size: the first note moves it aside.
  WriteAll(dir.File("error.log"), std::string(ErrorLogFile::kRotateSize + 10, 'o'));
  ErrorLog("first\n", base);
  EXPECT_EQ(ReadAll(dir.File("error.log")), "first\n");
  EXPECT_EQ(ReadAll(dir.File("error.log.1")).size(), ErrorLogFile::kRotateSize + 10);

  const std::string note(1000, 'n');
  for (int i = 0; i < 2500; ++i) ErrorLog(std::to_string(i) + note + "\n", base);
  const auto size = [&](const char* name) { return std::filesystem::file_size(dir.File(name)); };
  EXPECT_LE(size("error.log"), static_cast<std::uintmax_t>(ErrorLogFile::kRotateSize));
  EXPECT_LE(size("error.log.1"), static_cast<std::uintmax_t>(ErrorLogFile::kRotateSize));
  EXPECT_GT(size("error.log.1"), static_cast<std::uintmax_t>(ErrorLogFile::kRotateSize) - 1100);
  EXPECT_FALSE(std::filesystem::exists(dir.File("error.log.2")));
  // The newest notes are in error.log, those just before them in error.log.1.
  const std::string current = ReadAll(dir.File("error.log"));
  EXPECT_EQ(current.substr(current.size() - note.size() - 5), "2499" + note + "\n");
  const std::string old = ReadAll(dir.File("error.log.1"));
  EXPECT_EQ(old.substr(old.size() - 1), "\n");
  EXPECT_EQ(ReadAll(dir.File("error.log")).find("first"), std::string::npos);
}

}  // namespace
}  // namespace ostrel
