#include "receive/demo_source.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <string>
#include <vector>

#include "receive/chunk.h"
#include "receive_fakes.h"
#include "samples.h"
#include "support/corpus.h"

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
  if (len >= 0 && len <= kMaxChunk) {
    EXPECT_EQ(buf.bytes[static_cast<std::size_t>(len)], 0);
  }
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
  got.reserve(4);
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
  demo.DemoFileName = dir.File("missing.txt");
  GuardedChunk buf;
  int32_t len = 77;
  std::string reason;
  EXPECT_FALSE(demo.NextGroup(buf.data(), len));
  EXPECT_EQ(len, 0);
  EXPECT_FALSE(demo.IsOpen());
  // Said once with the system's reason, not again while the same name keeps failing.
  EXPECT_TRUE(demo.TakeOpenFailure(reason));
  EXPECT_EQ(reason, "No such file or directory");
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(demo.NextGroup(buf.data(), len));
    EXPECT_FALSE(demo.TakeOpenFailure(reason));
  }
  // Another name that fails is news again, and so is the same one after a stop.
  demo.DemoFileName = dir.File("other.txt");
  EXPECT_FALSE(demo.NextGroup(buf.data(), len));
  EXPECT_TRUE(demo.TakeOpenFailure(reason));
  // A device is refused for what it is, not with the open's "Invalid argument".
  demo.DemoFileName = "/dev/zero";
  EXPECT_FALSE(demo.NextGroup(buf.data(), len));
  EXPECT_TRUE(demo.TakeOpenFailure(reason));
  EXPECT_EQ(reason, "not a regular file");
  demo.Stop();
  EXPECT_FALSE(demo.NextGroup(buf.data(), len));
  EXPECT_TRUE(demo.TakeOpenFailure(reason));
  // Appears later: the next tick opens it.
  demo.DemoFileName = dir.File("missing.txt");
  dir.Write("missing.txt", kGGA);
  EXPECT_TRUE(demo.NextGroup(buf.data(), len));
  EXPECT_EQ(Bytes(buf.data(), len), kGGA);
  EXPECT_FALSE(demo.TakeOpenFailure(reason));
}

// Files written on Linux end their lines in LF; the lines go out in CR LF as a receiver
// sends them. A file whose first line ends in CR LF is left byte for byte.
TEST(DemoSource, LfLinesAreDeliveredAsCrLf) {
  auto lf = [](std::string s) {
    for (std::size_t at = s.find("\r\n"); at != std::string::npos; at = s.find("\r\n", at))
      s.erase(at, 1);
    return s;
  };
  // A CR cut from its LF by the 99-character limit still pairs with it.
  const std::string cut = "$GPTXT," + std::string(91, 'a') + "\r\n";
  const std::string lone_in_crlf = kGGA + "$GPTXT,a\nb\r\n";
  struct Case {
    const char* name;
    std::string file;
    std::vector<std::string> ticks;
  };
  const std::vector<Case> cases = {
      {"LF file",
       lf(kGGA + kGSA + kGSV1 + kGSV2 + kGSV3),
       {kGGA, kGSA, kGSV1 + kGSV2 + kGSV3, kGGA}},
      {"LF file, last line without LF", lf(kGGA) + "$GPRMC", {kGGA, "$GPRMC", kGGA}},
      {"LF file, empty lines", "\n\n" + lf(kGGA), {"\r\n\r\n", kGGA, "\r\n\r\n"}},
      {"LF file with a CR LF line", lf(kGGA) + kGSA, {kGGA, kGSA, kGGA}},
      {"CR LF file", kGGA + kGSA, {kGGA, kGSA, kGGA}},
      {"CR LF file, lone LF kept", lone_in_crlf, {kGGA, "$GPTXT,a\n", "b\r\n", kGGA}},
      {"CR cut from its LF", lf(kGGA) + cut, {kGGA, cut.substr(0, 99), "\n", kGGA}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    DemoSource demo;
    demo.DemoFileName = dir.Write("nmea.txt", c.file);
    GuardedChunk buf;
    for (const std::string& want : c.ticks) EXPECT_EQ(Next(demo, buf).chunk, want);
  }
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
      {"rest differs",
       differing,
       {differing.substr(0, 99), differing.substr(99), differing.substr(0, 99)}},
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
  demo.DemoFileName =
      dir.Write("short.txt", "$GP\r\n$GP\r\n$GPGGA,1\r\n$GPGGA,2\r\n$GPGGB\r\n\n\n");
  GuardedChunk buf;
  std::vector<std::string> got;
  got.reserve(5);
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
  for (const Case c : {Case{80, 30, 2}, Case{64, 40, 2}, Case{99, 62, 4}, Case{2, 2100, 3}}) {
    SCOPED_TRACE(c.line_length);
    std::string content;
    for (int i = 0; i < c.lines; ++i) {
      std::string line = c.line_length > 12 ? "$GPGSV," + std::to_string(1000 + i) + "," : "";
      line += std::string(c.line_length - 2 - line.size(), 'x') + "\r\n";
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
// Captures stored with LF line ends come back with CR LF in their place.
struct Capture {
  const char* file;
  bool lf_file;
};

void PrintTo(const Capture& capture, std::ostream* out) { *out << capture.file; }

class DemoSourceCorpus : public ::testing::TestWithParam<Capture> {};

TEST_P(DemoSourceCorpus, OnePassRebuildsTheFile) {
  const std::string path = test::CapturePath(GetParam().file);
  std::string content = ReadFile(path);
  if (GetParam().lf_file) {
    ASSERT_EQ(content.find("\r\n"), std::string::npos);
    for (std::size_t at = content.find('\n'); at != std::string::npos;
         at = content.find('\n', at + 2))
      content.insert(at, 1, '\r');
  }
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
                         ::testing::Values(Capture{"ublox-lea-4h.log", true},
                                           Capture{"ublox-aek-4t.log", true},
                                           Capture{"gp-320fw-2019-04-07-coldboot.log", false},
                                           Capture{"ublox-zed-f9t-ubx_nmea_l5.log", false},
                                           Capture{"sirfstarv-nmea.log", true}),
                         [](const auto& row) {
                           std::string name = row.param.file;
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

}  // namespace
}  // namespace ostrel::testing
