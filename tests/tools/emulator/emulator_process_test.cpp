// The real kastrel-emulator over its real socket: what a panel sends, what comes back.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "receiver/antaris.h"
#include "receiver/ubx.h"
#include "support/corpus.h"
#include "support/emulator_harness.h"
#include "support/nmea_sentence.h"
#include "tools/emulator/packet_log.h"

namespace ostrel::emulator_test {
namespace {

using namespace std::chrono_literals;

Bytes FrameBytes(const auto& frame) { return Bytes(frame.begin(), frame.end()); }

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint32_t Get32(const Bytes& p, std::size_t at) {
  return p[at] | p[at + 1] << 8 | p[at + 2] << 16 | static_cast<std::uint32_t>(p[at + 3]) << 24;
}

// A module on a socket of its own, with an EEPROM file of its own, and a client that
// has opened it ('j').
class EmulatorTest : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> args) {
    socket_ = UniqueName("m");
    if (std::find(args.begin(), args.end(), "--eeprom") == args.end()) {
      args.insert(args.end(), {"--eeprom", eeprom_});
    }
    module_ = std::make_unique<EmulatorProcess>(socket_, args);
    ASSERT_TRUE(module_->ready());
    ASSERT_TRUE(client_.Connect(socket_, 5s));
    ASSERT_TRUE(client_.Send({'j'}));
  }
  void TearDown() override {
    EXPECT_EQ(client_.bad_packets(), 0) << "a packet was empty or longer than 64 bytes";
    std::remove(eeprom_.c_str());
  }

  std::string eeprom_ = TempPath("eeprom");
  std::string socket_;
  std::unique_ptr<EmulatorProcess> module_;
  ModuleClient client_;
};

// ---- The firmware ----

struct CommandCase {
  const char* name;
  Bytes block;
  Bytes reply;
};

TEST_F(EmulatorTest, AnswersEveryBlockWithItsFirstTwoBytes) {
  Start({"--firmware-version", "7.2", "--period", "100"});
  const std::vector<CommandCase> cases = {
      {"begin", Block('*', "c"), ToBytes("*c\r\n")},
      {"end", Block('*', "*"), ToBytes("**\r\n")},
      {"9600", Block('*', "9600"), ToBytes("*9\r\n")},
      {"19200", Block('*', "19200"), ToBytes("*1\r\n")},
      {"version", Block('*', "v"), ToBytes("*v7.2\r\n")},
      {"factory serial", Block('*', "r"), ToBytes("*rKS00000001\r\n")},
      {"unknown command", Block('*', "x"), ToBytes("*x\r\n")},
      {"CFG-PRT frame", Block('!', FrameBytes(ubx::kCfgPrt19200)), Bytes{'!', 0xB5, '\r', '\n'}},
      {"application text", Block('!', "$PUBX,00*33\r\n"), ToBytes("!$\r\n")},
  };
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(client_.Send(c.block));
    EXPECT_TRUE(client_.WaitForPacket(c.reply, 2s))
        << "expected " << emulator::EscapeBytes(c.reply);
  }
}

TEST_F(EmulatorTest, SerialNumberSurvivesRestartAndErase) {
  Start({});
  ASSERT_TRUE(client_.Send(Block('*', "wABCDEFGHIJ")));
  ASSERT_TRUE(client_.WaitForPacket(ToBytes("*w\r\n"), 2s));
  ASSERT_EQ(module_->Stop(SIGTERM), 0);

  Start({});
  ASSERT_TRUE(client_.Send(Block('*', "r")));
  EXPECT_TRUE(client_.WaitForPacket(ToBytes("*rABCDEFGHIJ\r\n"), 2s));
  ASSERT_TRUE(client_.Send(Block('*', "e")));
  ASSERT_TRUE(client_.WaitForPacket(ToBytes("*e\r\n"), 2s));
  ASSERT_EQ(module_->Stop(SIGINT), 0);

  Start({});
  Bytes erased = ToBytes("*r");
  erased.insert(erased.end(), 10, 0xFF);
  erased.insert(erased.end(), {'\r', '\n'});
  ASSERT_TRUE(client_.Send(Block('*', "r")));
  EXPECT_TRUE(client_.WaitForPacket(erased, 2s));
}

TEST_F(EmulatorTest, RepliesNothingWithNoAck) {
  Start({"--no-ack", "--period", "100"});
  ASSERT_TRUE(client_.Send(Block('*', "c")));
  EXPECT_FALSE(client_.WaitForPacket(ToBytes("*c\r\n"), 600ms));
  EXPECT_FALSE(client_.stream().empty()) << "the stream goes on without replies";
}

TEST_F(EmulatorTest, LateAckComesAfterItsDelayBehindStreamBytes) {
  Start({"--late-ack", "400", "--period", "50", "--rate", "20000"});
  ASSERT_TRUE(client_.ReadUntil([](const Bytes& s) { return !s.empty(); }, 3s));
  client_.ClearStream();
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(client_.Send(Block('*', "c")));
  ASSERT_TRUE(client_.WaitForPacket(ToBytes("*c\r\n"), 3s));
  EXPECT_GE(std::chrono::steady_clock::now() - sent, 400ms);
  EXPECT_FALSE(client_.stream().empty()) << "stream bytes overtake a late reply";
}

// ---- The receiver chip ----

TEST_F(EmulatorTest, NavSolAfterCfgMsgCarriesTheScenarioFix) {
  Start({"--satellites", "7", "--period", "100"});
  ASSERT_TRUE(client_.Send(Block('!', FrameBytes(ubx::kEnableNavSol))));
  const auto has_nav_sol = [](const Bytes& s) {
    const auto frames = ValidFrames(s);
    return std::any_of(frames.begin(), frames.end(),
                       [](const Frame& f) { return f.cls == 0x01 && f.id == 0x06; });
  };
  ASSERT_TRUE(client_.ReadUntil(has_nav_sol, 3s));

  const std::vector<Frame> frames = ValidFrames(client_.stream());
  const auto ack =
      std::find_if(frames.begin(), frames.end(), [](const Frame& f) { return f.cls == 0x05; });
  ASSERT_NE(ack, frames.end());
  EXPECT_EQ(ack->id, 0x01) << "ACK-ACK, not NAK";
  EXPECT_EQ(ack->payload, (Bytes{0x06, 0x01}));
  const auto sol =
      std::find_if(frames.begin(), frames.end(), [](const Frame& f) { return f.cls == 0x01; });
  EXPECT_LT(ack->offset, sol->offset) << "the acknowledgement comes first";
  ASSERT_EQ(sol->payload.size(), 52u);
  EXPECT_EQ(sol->payload[10], 3) << "gpsFix 3D";
  EXPECT_EQ(sol->payload[11], 0x0F) << "SBAS is on at power-on, so corrections apply";
  EXPECT_EQ(sol->payload[47], 7) << "numSV";
  const double x = static_cast<std::int32_t>(Get32(sol->payload, 12));
  const double y = static_cast<std::int32_t>(Get32(sol->payload, 16));
  const double z = static_cast<std::int32_t>(Get32(sol->payload, 20));
  const double radius_m = std::sqrt(x * x + y * y + z * z) / 100.0;
  EXPECT_NEAR(radius_m, 6366600.0, 2000.0) << "on the ground at 48 degrees north";

  ostrel::TAntaris antaris;
  const Bytes& s = client_.stream();
  EXPECT_TRUE(
      antaris.ParseUBX(s.data() + sol->offset, static_cast<int32_t>(sol->payload.size() + 8)));
  EXPECT_EQ(antaris.FixType, 3);
  EXPECT_EQ(antaris.SVCount, 7);
  EXPECT_EQ(antaris.DGPSState, 2);
}

TEST_F(EmulatorTest, CfgSbasSetsTheNavSbasMode) {
  Start({"--period", "100"});
  ASSERT_TRUE(client_.Send(Block('!', FrameBytes(ubx::kEnableNavSbas))));
  ASSERT_TRUE(client_.WaitForPacket(Bytes{'!', 0xB5, '\r', '\n'}, 2s));

  struct Step {
    Bytes frame;
    std::uint8_t mode;
  };
  for (const Step& step : {Step{FrameBytes(ubx::kSbasOff), 0}, Step{FrameBytes(ubx::kSbasOn), 1}}) {
    SCOPED_TRACE(static_cast<int>(step.mode));
    client_.ClearStream();
    ASSERT_TRUE(client_.Send(Block('!', step.frame)));
    // The first NAV-SBAS behind the ACK-ACK for CFG-SBAS shows the new mode.
    const auto answered = [](const Bytes& s) {
      const auto frames = ValidFrames(s);
      const auto ack = std::find_if(frames.begin(), frames.end(), [](const Frame& f) {
        return f.cls == 0x05 && f.id == 0x01 && f.payload == Bytes{0x06, 0x16};
      });
      return ack != frames.end() && std::any_of(ack, frames.end(), [](const Frame& f) {
               return f.cls == 0x01 && f.id == 0x32;
             });
    };
    ASSERT_TRUE(client_.ReadUntil(answered, 3s));
    const auto frames = ValidFrames(client_.stream());
    const auto ack =
        std::find_if(frames.begin(), frames.end(), [](const Frame& f) { return f.cls == 0x05; });
    const auto sbas = std::find_if(ack, frames.end(), [](const Frame& f) { return f.id == 0x32; });
    ASSERT_GE(sbas->payload.size(), 12u);
    EXPECT_EQ(sbas->payload[5], step.mode);
  }
}

TEST_F(EmulatorTest, NmeaSentencesAreCompleteWithValidChecksums) {
  Start({"--period", "100", "--satellites", "8"});
  // Three whole cycles: three GLL lines close them.
  const auto three_cycles = [](const Bytes& s) {
    const std::string text(s.begin(), s.end());
    std::size_t count = 0;
    for (std::size_t at = text.find("$GPGLL"); at != std::string::npos;
         at = text.find("$GPGLL", at + 1))
      ++count;
    return count >= 3 && text.rfind("\r\n") > text.rfind("$GPGLL");
  };
  ASSERT_TRUE(client_.ReadUntil(three_cycles, 5s));
  const std::string text(client_.stream().begin(), client_.stream().end());
  std::map<std::string, int> types;
  std::size_t at = text.find('$');
  while (at != std::string::npos) {
    const std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) break;
    const std::string sentence = text.substr(at, end - at);
    ASSERT_GE(sentence.size(), 10u) << sentence;
    ASSERT_EQ(sentence[sentence.size() - 3], '*') << sentence;
    unsigned sum = 0;
    for (std::size_t i = 1; i + 3 < sentence.size(); ++i)
      sum ^= static_cast<unsigned char>(sentence[i]);
    EXPECT_EQ(std::stoul(sentence.substr(sentence.size() - 2), nullptr, 16), sum) << sentence;
    ++types[sentence.substr(1, 5)];
    if (sentence.rfind("$GPGGA,", 0) == 0) {
      std::vector<std::string> fields;
      std::stringstream split(sentence);
      for (std::string f; std::getline(split, f, ',');) fields.push_back(f);
      ASSERT_GE(fields.size(), 10u);
      EXPECT_EQ(fields[1].size(), 9u) << "hhmmss.ss";
      EXPECT_EQ(fields[3], "N");
      EXPECT_EQ(fields[5], "E");
      EXPECT_EQ(fields[7], "08");
    }
    at = text.find('$', end);
  }
  for (const char* type : {"GPGGA", "GPGSA", "GPGSV", "GPRMC", "GPVTG", "GPGLL"}) {
    EXPECT_GE(types[type], 3) << type;
  }
  EXPECT_GE(types["GPGSV"], 9) << "three GSV sentences a cycle for 9 to 12 satellites in view";
}

// --stationary reaches the built-in run: parked near the start point, not driving, and the
// position moving about it.
TEST_F(EmulatorTest, StationaryStandsStillAroundTheStartPoint) {
  Start({"--stationary", "--period", "100", "--seed", "5"});
  const auto rmc_lines = [](const Bytes& s) {
    std::vector<std::string> lines;
    const std::string text(s.begin(), s.end());
    for (std::size_t at = text.find("$GPRMC,"); at != std::string::npos;
         at = text.find("$GPRMC,", at + 1)) {
      const std::size_t end = text.find("\r\n", at);
      if (end == std::string::npos) break;
      lines.push_back(text.substr(at, end - at));
    }
    return lines;
  };
  ASSERT_TRUE(client_.ReadUntil([&](const Bytes& s) { return rmc_lines(s).size() >= 10; }, 5s));
  std::set<std::string> positions;
  for (const std::string& line : rmc_lines(client_.stream())) {
    const auto f = test::NmeaFields(line);
    ASSERT_EQ(f.size(), 13u) << line;
    // Within some 20 m: a hundredth of a minute of latitude is 18.5 m, of longitude 12 m.
    EXPECT_NEAR(std::stod(f[3]), 4807.038, 0.01) << line;
    EXPECT_NEAR(std::stod(f[5]), 1131.0, 0.015) << line;
    EXPECT_EQ(f[7], "0.000") << "speed: " << line;
    EXPECT_EQ(f[8], "") << "course: " << line;
    positions.insert(f[3] + f[5]);
  }
  EXPECT_GT(positions.size(), 1u) << "the reported position wanders";
}

TEST_F(EmulatorTest, PacketsAreCutAtSixtyFourAndAtTheEndOfABurst) {
  // Bursts of about 700 bytes that cross the line in 35 ms, every 100 ms.
  Start({"--period", "100", "--rate", "20000"});
  ASSERT_TRUE(client_.ReadUntil([](const Bytes& s) { return s.size() > 3000; }, 5s));
  const auto& sizes = client_.packet_sizes();
  EXPECT_TRUE(
      std::all_of(sizes.begin(), sizes.end(), [](std::size_t n) { return n >= 1 && n <= 64; }));
  EXPECT_GT(std::count(sizes.begin(), sizes.end(), 64u), 10);
  EXPECT_GT(std::count_if(sizes.begin(), sizes.end(), [](std::size_t n) { return n < 64; }), 0);
}

TEST_F(EmulatorTest, GarbageIsMixedBetweenIntactSentences) {
  Start({"--garbage", "--period", "100", "--seed", "7"});
  const auto binary = [](const Bytes& s) {
    return std::count_if(s.begin(), s.end(), [](std::uint8_t b) { return b >= 0x80; }) > 8;
  };
  ASSERT_TRUE(client_.ReadUntil(binary, 5s));
  EXPECT_NE(std::string(client_.stream().begin(), client_.stream().end()).find("$GPGGA"),
            std::string::npos);
}

TEST_F(EmulatorTest, FloodSendsFullPacketsBackToBack) {
  Start({"--flood"});
  // At 19200 baud 1000 packets take half a minute; a flood delivers them at once.
  std::size_t count = 0;
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (count < 1000 && std::chrono::steady_clock::now() < end) {
    const std::optional<Bytes> packet = client_.Receive(1s);
    ASSERT_TRUE(packet.has_value());
    EXPECT_EQ(packet->size(), 64u);
    ++count;
  }
  EXPECT_EQ(count, 1000u);
}

// The harness reads the emulator's output for as long as it runs: with every packet
// logged on stderr, a long session writes far more than a pipe holds and is still answered.
TEST_F(EmulatorTest, LongVerboseSessionIsAnsweredToTheEnd) {
  Start({"--verbose", "--period", "100"});
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(client_.Send(Block('*', "c")));
    ASSERT_TRUE(client_.WaitForPacket(ToBytes("*c\r\n"), 5s)) << "no reply to block " << i;
  }
  EXPECT_GT(module_->output().size(), 65536u);
}

// ---- Replay ----

struct ReplayCase {
  const char* file;
  std::vector<std::string> pace;
};

TEST_F(EmulatorTest, ReplayReproducesTheLogInOrderAndLoops) {
  const std::vector<ReplayCase> cases = {
      {"ublox8-uniqid-monhw.log", {"--rate", "400000"}},            // NMEA with UBX mixed in
      {"ublox-aek-4t.log", {"--rate", "400000"}},                   // UBX only
      {"ublox-lea-4h.log", {"--period", "50", "--baud", "19200"}},  // cycle by cycle
  };
  for (const ReplayCase& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = test::CapturePath(c.file);
    const Bytes log = ReadFile(path);
    ASSERT_FALSE(log.empty());
    std::vector<std::string> args{"--replay", path};
    args.insert(args.end(), c.pace.begin(), c.pace.end());
    client_.ClearStream();
    Start(args);
    const std::size_t want = log.size() + 200;
    ASSERT_TRUE(client_.ReadUntil([&](const Bytes& s) { return s.size() >= want; }, 15s));
    const Bytes& s = client_.stream();
    EXPECT_TRUE(std::equal(log.begin(), log.end(), s.begin())) << "first pass differs";
    EXPECT_TRUE(std::equal(s.begin() + static_cast<std::ptrdiff_t>(log.size()),
                           s.begin() + static_cast<std::ptrdiff_t>(want), log.begin()))
        << "the second pass starts again at the first byte";
    module_.reset();
  }
}

// ---- Faults and the connection ----

TEST_F(EmulatorTest, SilentAfterKeepsTheConnectionButSendsNothing) {
  Start({"--silent-after", "0.4", "--period", "100"});
  ASSERT_TRUE(client_.ReadUntil([](const Bytes& s) { return !s.empty(); }, 3s));
  // Wait until the packets stop: no packet for half a second.
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (client_.Receive(500ms) && std::chrono::steady_clock::now() < end) {
  }
  ASSERT_TRUE(client_.Send(Block('*', "c"))) << "the connection stays open";
  EXPECT_FALSE(client_.Receive(500ms).has_value());
  EXPECT_FALSE(client_.closed());
}

TEST_F(EmulatorTest, UnplugDropsTheConnectionRefusesAndComesBack) {
  Start({"--unplug-every", "0.5:0.6", "--period", "100"});
  ASSERT_FALSE(client_.WaitForPacket(ToBytes("never"), 3s));
  ASSERT_TRUE(client_.closed()) << "the unplug ends the connection";
  ModuleClient probe;
  EXPECT_FALSE(probe.TryConnect(socket_));
  EXPECT_EQ(errno, ECONNREFUSED) << "nobody listens while unplugged";
  ModuleClient again;
  ASSERT_TRUE(again.Connect(socket_, 5s));
  ASSERT_TRUE(again.Send(Block('*', "c")));
  EXPECT_TRUE(again.WaitForPacket(ToBytes("*c\r\n"), 2s));
}

TEST_F(EmulatorTest, ServesOneClientAtATime) {
  Start({"--period", "100"});
  ASSERT_TRUE(client_.Send(Block('*', "c")));
  ASSERT_TRUE(client_.WaitForPacket(ToBytes("*c\r\n"), 2s));
  ModuleClient second;
  ASSERT_TRUE(second.Connect(socket_, 2s)) << "a second client waits in the backlog";
  ASSERT_TRUE(second.Send(Block('*', "v")));
  EXPECT_FALSE(second.Receive(400ms).has_value()) << "nothing for it while the first is served";
  client_.Close();
  EXPECT_TRUE(second.WaitForPacket(ToBytes("*v1.4\r\n"), 3s)) << "served once the first has gone";
}

TEST_F(EmulatorTest, LogRecordsEveryPacketOfTheSettingsSequence) {
  const std::string log_path = TempPath("log");
  Start({"--log", log_path, "--period", "100"});
  const std::vector<Bytes> sequence = {Block('*', "c"), Block('!', FrameBytes(ubx::kCfgPrt19200)),
                                       Block('*', "19200"), Block('!', FrameBytes(ubx::kSbasOn)),
                                       Block('*', "*")};
  for (const Bytes& block : sequence) {
    ASSERT_TRUE(client_.Send(block));
    ASSERT_TRUE(client_.WaitForPacket(Bytes{block[0], block[1], '\r', '\n'}, 2s));
  }
  std::ifstream in(log_path);
  std::vector<std::string> received;
  for (std::string line; std::getline(in, line);) {
    const std::size_t rx = line.find(" rx ");
    if (rx != std::string::npos) received.push_back(line.substr(rx + 1, line.find(" | ") - rx - 1));
  }
  EXPECT_EQ(received,
            (std::vector<std::string>{"rx 1 j", "rx 64 *c", "rx 64 ! CFG-PRT port=1 baud=19200",
                                      "rx 64 *19200", "rx 64 ! CFG-SBAS mode=1", "rx 64 **"}));
  std::remove(log_path.c_str());
}

// ---- The send trace ----

TEST_F(EmulatorTest, TraceIsTheWireAndStampsEachSentenceBeforeTheHostHasIt) {
  const std::string trace_path = TempPath("trace");
  Start({"--trace", trace_path, "--period", "100", "--garbage"});
  // When the stream had reached each length, on the trace's clock (CLOCK_MONOTONIC).
  std::vector<std::pair<std::size_t, std::int64_t>> arrivals;
  const auto stamp = [&](const Bytes& s) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    if (arrivals.empty() || arrivals.back().first != s.size())
      arrivals.emplace_back(s.size(), ns.count());
  };
  ASSERT_TRUE(client_.ReadUntil(
      [&](const Bytes& s) {
        stamp(s);
        return s.size() > 1500;
      },
      5s));
  ASSERT_TRUE(client_.Send(Block('*', "c")));  // a reply among the stream bytes
  ASSERT_TRUE(client_.ReadUntil(
      [&](const Bytes& s) {
        stamp(s);
        return s.size() > 3000;
      },
      5s));
  EXPECT_EQ(module_->Stop(SIGTERM), 0);
  client_.ReadUntil(
      [&](const Bytes& s) {
        stamp(s);
        return false;
      },
      2s);  // to the end

  std::ifstream in(trace_path);
  Bytes wire;
  int sentences = 0;
  for (std::string line; std::getline(in, line);) {
    const std::size_t space = line.find(' ');
    ASSERT_NE(space, std::string::npos) << line;
    const std::int64_t ns = std::stoll(line.substr(0, space));
    const std::string body = line.substr(space + 1);
    if (body[0] == '~' || body[0] == '@') {
      for (std::size_t i = 1; i + 1 < body.size(); i += 2)
        wire.push_back(static_cast<std::uint8_t>(std::stoi(body.substr(i, 2), nullptr, 16)));
      continue;
    }
    ASSERT_EQ(body[0], '$') << line;
    wire.insert(wire.end(), body.begin(), body.end());
    wire.push_back('\r');
    wire.push_back('\n');
    ++sentences;
    // The first arrival that holds the sentence's LF came after the trace's stamp.
    const auto got = std::find_if(arrivals.begin(), arrivals.end(),
                                  [&](const auto& a) { return a.first >= wire.size(); });
    ASSERT_NE(got, arrivals.end()) << "traced but never received: " << body;
    EXPECT_LE(ns, got->second) << body;
  }
  std::remove(trace_path.c_str());
  EXPECT_GT(sentences, 20);
  EXPECT_EQ(wire, client_.stream()) << "the trace holds exactly the bytes sent";
}

// ---- The command line ----

TEST(EmulatorOptions, BadOptionsExitWithStatusTwoAndOneLine) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},
      {"--baud", "4800"},
      {"--satellites", "0"},
      {"--late-ack", "soon"},
      {"--unplug-every", "1:x"},
      {"--firmware-version", "1.40"},
      {"--period"},
      {"--flood=yes"},
      {"--replay", "/nonexistent/kastrel.log"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0]);
    const ExitResult r = RunEmulator(args, 5s);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.stderr_text.rfind("kastrel-emulator: ", 0), 0u) << r.stderr_text;
    EXPECT_EQ(std::count(r.stderr_text.begin(), r.stderr_text.end(), '\n'), 1) << r.stderr_text;
  }
}

TEST(EmulatorOptions, HelpListsEveryOption) {
  const ExitResult r = RunEmulator({"--help"}, 5s);
  EXPECT_EQ(r.status, 0);
  for (const char* option :
       {"--socket",       "--eeprom",       "--firmware-version", "--baud",       "--rate",
        "--period",       "--satellites",   "--replay",           "--stationary", "--seed",
        "--silent-after", "--unplug-every", "--no-ack",           "--late-ack",   "--garbage",
        "--flood",        "--log",          "--verbose",          "--trace",      "--version"}) {
    EXPECT_NE(r.stderr_text.find(option), std::string::npos) << option;
  }
}

// The version the build was given, alone and after other options, and the emulator ends
// without listening.
TEST(EmulatorOptions, VersionPrintsTheProjectVersion) {
  const std::vector<std::vector<std::string>> cases = {{"--version"},
                                                       {"--period", "100", "--version"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0]);
    const ExitResult r = RunEmulator(args, 5s);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.stderr_text, "kastrel-emulator " OSTREL_VERSION "\n");
  }
}

}  // namespace
}  // namespace ostrel::emulator_test
