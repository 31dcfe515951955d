#include "receive/demo_source.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "receive/chunk.h"
#include "receive_fakes.h"
#include "samples.h"

namespace ostrel::testing {
namespace {

// ChunkBuffer with guard bytes behind it, to catch a write past its 2048 bytes.
struct GuardedChunk {
  static constexpr std::uint8_t kGuard = 0xA5;
  GuardedChunk() { bytes.fill(kGuard); }
  std::uint8_t* data() { return bytes.data(); }
  bool GuardIntact() const {
    for (std::size_t i = kChunkBufferSize; i < bytes.size(); ++i)
      if (bytes[i] != kGuard) return false;
    return true;
  }
  std::array<std::uint8_t, kChunkBufferSize + 64> bytes;
};

struct Tick {
  bool ok;
  std::string chunk;
  bool open_after;
};

Tick Next(DemoSource& demo, GuardedChunk& buf) {
  int32_t len = -1;
  const bool ok = demo.NextGroup(buf.data(), len);
  EXPECT_TRUE(len >= 0 && len <= kMaxChunk) << len;
  if (len >= 0 && len <= kMaxChunk) EXPECT_EQ(buf.bytes[static_cast<std::size_t>(len)], 0);
  EXPECT_TRUE(buf.GuardIntact());
  return {ok, Bytes(buf.data(), len), demo.IsOpen()};
}

TEST(DemoSource, SixLinesInFourTicksThenStartsOver) {
  TempDir dir;
  DemoSource demo;
  demo.DemoFileName = dir.Write("nmea.txt", kGGA + kGSA + kGSV1 + kGSV2 + kGSV3 + kRMC);
  GuardedChunk buf;

  const std::vector<std::string> expected = {kGGA, kGSA, kGSV1 + kGSV2 + kGSV3, kRMC, kGGA};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Tick t = Next(demo, buf);
    EXPECT_TRUE(t.ok);
    EXPECT_EQ(t.chunk, expected[i]) << "tick " << i + 1;
    // Closed in the fourth tick, at the end of the file; open otherwise.
    EXPECT_EQ(t.open_after, i != 3) << "tick " << i + 1;
  }
}

TEST(DemoSource, LastLineWithoutLfIsDeliveredOncePerPass) {
  TempDir dir;
  DemoSource demo;
  const std::string last = kRMC.substr(0, kRMC.size() - 2);
  demo.DemoFileName = dir.Write("nmea.txt", kGGA + last);
  GuardedChunk buf;
  std::vector<std::string> got;
  for (int i = 0; i < 4; ++i) got.push_back(Next(demo, buf).chunk);
  EXPECT_EQ(got, (std::vector<std::string>{kGGA, last, kGGA, last}));
}

TEST(DemoSource, EmptyFileGivesEmptyChunkEveryTickAndIsClosedEachTime) {
  TempDir dir;
  DemoSource demo;
  demo.DemoFileName = dir.Write("empty.txt", "");
  GuardedChunk buf;
  for (int i = 0; i < 3; ++i) {
    const Tick t = Next(demo, buf);
    EXPECT_TRUE(t.ok);
    EXPECT_EQ(t.chunk, "");
    EXPECT_FALSE(t.open_after);
  }
}

TEST(DemoSource, UnopenableFileEndsTheTick) {
  TempDir dir;
  DemoSource demo;
  demo.DemoFileName = dir.Path("missing.txt");
  GuardedChunk buf;
  int32_t len = 77;
  EXPECT_FALSE(demo.NextGroup(buf.data(), len));
  EXPECT_EQ(len, 0);
  EXPECT_FALSE(demo.IsOpen());
  // Appears later: the next tick opens it.
  dir.Write("missing.txt", kGGA);
  EXPECT_TRUE(demo.NextGroup(buf.data(), len));
  EXPECT_EQ(Bytes(buf.data(), len), kGGA);
}

// A line longer than 99 characters is read as two lines; they form one group only when
// the rest begins with the same six characters.
struct LongLineCase {
  const char* name;
  std::string line;
  std::vector<std::string> ticks;
};

std::string LongLine(const std::string& rest_head) {
  std::string s = "$GPTXT," + std::string(92, 'a') + rest_head;  // 99 characters so far
  s += std::string(150 - s.size(), 'b');
  return s + "\r\n";
}

TEST(DemoSource, LongLineIsReadAs99ThenRest) {
  const std::string differing = LongLine("xxxxxx");
  const std::string same = LongLine("$GPTXT");
  const std::vector<LongLineCase> cases = {
      {"rest differs", differing, {differing.substr(0, 99), differing.substr(99), differing.substr(0, 99)}},
      {"rest same head", same, {same, same}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.line.size(), 152u);
    TempDir dir;
    DemoSource demo;
    demo.DemoFileName = dir.Write("long.txt", c.line);
    GuardedChunk buf;
    for (const auto& want : c.ticks) EXPECT_EQ(Next(demo, buf).chunk, want);
  }
  EXPECT_EQ(differing.substr(99).size(), 53u);  // 51 characters and CR LF
}

// Six-character keys: a shorter line is compared up to its end.
TEST(DemoSource, ShortLinesAreComparedUpToTheirEnd) {
  TempDir dir;
  DemoSource demo;
  demo.DemoFileName = dir.Write("short.txt", "$GP\r\n$GP\r\n$GPGGA,1\r\n$GPGGA,2\r\n$GPGGB\r\n\n\n");
  GuardedChunk buf;
  std::vector<std::string> got;
  for (int i = 0; i < 5; ++i) got.push_back(Next(demo, buf).chunk);
  EXPECT_EQ(got, (std::vector<std::string>{"$GP\r\n$GP\r\n", "$GPGGA,1\r\n$GPGGA,2\r\n",
                                           "$GPGGB\r\n", "\n\n", "$GP\r\n$GP\r\n"}));

  // A last line shorter than the key, without LF, is a group of its own.
  demo.Stop();
  demo.DemoFileName = dir.Write("cut.txt", "$GPGGA,1\r\n$GPGG");
  EXPECT_EQ(Next(demo, buf).chunk, "$GPGGA,1\r\n");
  EXPECT_EQ(Next(demo, buf).chunk, "$GPGG");
}

// Groups longer than a chunk, with lines that fill it short of, or exactly to, 2048 bytes.
TEST(DemoSource, GroupLongerThanTheChunkIsCutWithoutLossOrRepetition) {
  struct Case {
    std::size_t line_length;
    int lines;
    int ticks;
  };
  for (const Case c : {Case{80, 30, 2}, Case{64, 40, 2}, Case{99, 62, 4}, Case{1, 4100, 3}}) {
    SCOPED_TRACE(c.line_length);
    std::string content;
    for (int i = 0; i < c.lines; ++i) {
      std::string line = c.line_length > 12 ? "$GPGSV," + std::to_string(1000 + i) + "," : "";
      line += std::string(c.line_length - 1 - line.size(), 'x') + "\n";
      content += line;
    }
    TempDir dir;
    DemoSource demo;
    demo.DemoFileName = dir.Write("big.txt", content);
    GuardedChunk buf;
    std::string pass;
    int ticks = 0;
    do {
      const Tick t = Next(demo, buf);
      ASSERT_LE(t.chunk.size(), static_cast<std::size_t>(kMaxChunk));
      ASSERT_EQ(t.chunk.size() % c.line_length, 0u) << "a line was cut between ticks";
      pass += t.chunk;
      ++ticks;
    } while (demo.IsOpen() && ticks < 10);
    EXPECT_EQ(ticks, c.ticks);
    EXPECT_TRUE(pass == content);
  }
}

TEST(DemoSource, StopClosesAndTheNextStartBeginsAtTheFirstLine) {
  TempDir dir;
  DemoSource demo;
  demo.DemoFileName = dir.Write("nmea.txt", kGGA + kGSA + kRMC);
  GuardedChunk buf;
  EXPECT_EQ(Next(demo, buf).chunk, kGGA);
  EXPECT_TRUE(demo.IsOpen());
  demo.Stop();
  EXPECT_FALSE(demo.IsOpen());
  EXPECT_EQ(Next(demo, buf).chunk, kGGA);
}

// Golden: one pass over each real capture gives back the file byte for byte, in groups
// whose lines share their first six bytes (binary UBX and NUL runs included).
class DemoSourceCorpus : public ::testing::TestWithParam<const char*> {};

TEST_P(DemoSourceCorpus, OnePassRebuildsTheFile) {
  const std::string path = std::string(OSTREL_CORPUS_DIR) + "/" + GetParam();
  const std::string content = ReadFile(path);
  ASSERT_FALSE(content.empty()) << path;
  DemoSource demo;
  demo.DemoFileName = path;
  GuardedChunk buf;
  std::string pass;
  std::size_t ticks = 0;
  do {
    const Tick t = Next(demo, buf);
    ASSERT_TRUE(t.ok);
    ASSERT_FALSE(t.chunk.empty());
    pass += t.chunk;
  } while (demo.IsOpen() && ++ticks < content.size());
  EXPECT_EQ(pass.size(), content.size());
  EXPECT_TRUE(pass == content);
  // The second pass starts over.
  const Tick again = Next(demo, buf);
  EXPECT_EQ(again.chunk, content.substr(0, again.chunk.size()));
}

INSTANTIATE_TEST_SUITE_P(Captures, DemoSourceCorpus,
                         ::testing::Values("ublox-lea-4h.log", "ublox-aek-4t.log",
                                           "gp-320fw-2019-04-07-coldboot.log",
                                           "ublox-zed-f9t-ubx_nmea_l5.log", "sirfstarv-nmea.log"));

}  // namespace
}  // namespace ostrel::testing
