// The emulator's pieces without a socket or a clock: pacing, firmware, chip, replay,
// options and the packet log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <string>
#include <vector>

#include "receiver/ubx.h"
#include "support/corpus.h"
#include "support/nmea_sentence.h"
#include "tools/emulator/chip.h"
#include "tools/emulator/eeprom.h"
#include "tools/emulator/firmware.h"
#include "tools/emulator/nmea.h"
#include "tools/emulator/options.h"
#include "tools/emulator/pacer.h"
#include "tools/emulator/packet_log.h"
#include "tools/emulator/replay.h"
#include "tools/emulator/scenario.h"

namespace ostrel::emulator {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }
Bytes FrameBytes(const auto& frame) { return Bytes(frame.begin(), frame.end()); }
// A 64-byte block: the marker, the payload (cut at the block's end), '_' fill. Written into
// a block of its final size: GCC 12 at -O3 takes an insert into a one-byte vector for an
// out-of-bounds write (-Warray-bounds) once enough of this file inlines around it.
Bytes Block(char marker, const Bytes& payload) {
  Bytes block(64, '_');
  block[0] = static_cast<std::uint8_t>(marker);
  std::copy_n(payload.begin(), std::min<std::size_t>(payload.size(), 63), block.begin() + 1);
  return block;
}
Bytes ReadCorpus(const std::string& name) {
  const std::string capture = test::ReadCapture(name);
  return Bytes(capture.begin(), capture.end());
}

struct Frame {
  std::uint8_t cls, id;
  Bytes payload;
};
// Walks back-to-back frames by their length fields, checking each checksum.
std::vector<Frame> Frames(const Bytes& data, bool* all_valid = nullptr) {
  std::vector<Frame> frames;
  if (all_valid != nullptr) *all_valid = true;
  for (std::size_t i = 0; i + 8 <= data.size(); ++i) {
    if (data[i] != 0xB5 || data[i + 1] != 0x62) continue;
    const std::size_t n = data[i + 4] | data[i + 5] << 8;
    if (i + n + 8 > data.size()) break;
    const ubx::Checksum ck = ubx::Fletcher(&data[i + 2], n + 4);
    if (ck.a != data[i + n + 6] || ck.b != data[i + n + 7]) {
      if (all_valid != nullptr) *all_valid = false;
      continue;
    }
    frames.push_back({data[i + 2], data[i + 3], Bytes(&data[i + 6], &data[i + 6] + n)});
    i += n + 7;
  }
  return frames;
}

// ---- Pacing ----

struct PaceCase {
  double rate;
  std::size_t burst;
};

TEST(StreamPacer, CutsABurstIntoFullPacketsAtTheLinePace) {
  for (const PaceCase c :
       {PaceCase{1920, 700}, PaceCase{960, 130}, PaceCase{1920, 64}, PaceCase{1920, 5}}) {
    SCOPED_TRACE(c.burst);
    StreamPacer pacer;
    pacer.SetRate(c.rate, 0);
    ASSERT_EQ(pacer.Write(Bytes(c.burst, 'x'), 0), c.burst);
    std::vector<std::pair<double, std::size_t>> packets;  // when, how many bytes
    Packet p;
    for (int ms = 0; ms <= 2000; ++ms) {
      const double now = ms / 1000.0;
      while (pacer.Take(now, p)) packets.emplace_back(now, p.size);
    }
    std::size_t total = 0;
    for (std::size_t k = 0; k < packets.size(); ++k) {
      total += packets[k].second;
      const bool last = k + 1 == packets.size();
      EXPECT_EQ(packets[k].second, last ? (c.burst - 1) % 64 + 1 : 64u);
      // No packet before its last byte could have crossed the line.
      EXPECT_GE(packets[k].first + 1e-9, static_cast<double>(total) / c.rate);
      EXPECT_LE(packets[k].first, static_cast<double>(total) / c.rate + 0.002);
    }
    EXPECT_EQ(total, c.burst);
  }
}

TEST(StreamPacer, DueTellsWhenTheNextPacketIsReady) {
  StreamPacer pacer;
  pacer.SetRate(1920, 0);
  EXPECT_LT(pacer.Due(0), 0) << "nothing pending";
  pacer.Write(Bytes(200, 'x'), 0);
  EXPECT_NEAR(pacer.Due(0), 64 / 1920.0, 1e-9);
  EXPECT_NEAR(pacer.Due(0.02), 64 / 1920.0 - 0.02, 1e-9);
  Packet p;
  EXPECT_FALSE(pacer.Take(0.02, p));
  EXPECT_TRUE(pacer.Take(64 / 1920.0 + 1e-6, p));
}

TEST(StreamPacer, PollHandsOverWhatHasArrived) {
  StreamPacer pacer;
  pacer.SetRate(1000, 0);
  pacer.Write(Bytes(200, 'x'), 0);
  Packet p;
  EXPECT_FALSE(pacer.Take(0.0105, p));
  pacer.Poll(0.0105);
  ASSERT_TRUE(pacer.Take(0.0105, p));
  EXPECT_EQ(p.size, 10u);
  EXPECT_FALSE(pacer.Take(0.0115, p)) << "the poll was for one packet only";
}

TEST(StreamPacer, UnlimitedRateAndOverrun) {
  StreamPacer pacer;
  pacer.SetRate(0, 0);
  EXPECT_EQ(pacer.Write(Bytes(StreamPacer::kBacklog + 10, 'x'), 0), StreamPacer::kBacklog);
  Packet p;
  ASSERT_TRUE(pacer.Take(0, p));
  EXPECT_EQ(p.size, 64u);
  pacer.Clear();
  EXPECT_FALSE(pacer.Take(0, p));
}

// ---- Firmware ----

class RecordingHost : public FirmwareHost {
 public:
  void Open() override { events += "open;"; }
  void Poll() override { events += "poll;"; }
  void Reply(std::span<const std::uint8_t> r) override { replies.emplace_back(r.begin(), r.end()); }
  void SetBaud(int b) override { baud = b; }
  void ToChip(std::span<const std::uint8_t> b) override {
    chip.insert(chip.end(), b.begin(), b.end());
  }
  void Note(const std::string& text) override { events += "note:" + text + ";"; }
  std::string events;
  std::vector<Bytes> replies;
  int baud = 0;
  Bytes chip;
};

struct FirmwareCase {
  const char* name;
  Bytes packet;
  Bytes reply;  // empty: none
  int baud;
  std::size_t to_chip;
};

class FirmwareTest : public ::testing::Test {
 protected:
  void TearDown() override { std::remove(path_.c_str()); }
  std::string path_ =
      (std::filesystem::temp_directory_path() /
       ("kastrel-unit-eeprom-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
        ::testing::UnitTest::GetInstance()->current_test_info()->name()))
          .string();
};

TEST_F(FirmwareTest, AnswersAndActsOnEachPacket) {
  Eeprom eeprom(path_);
  std::string error;
  ASSERT_TRUE(eeprom.Load(error)) << error;
  Firmware firmware(eeprom, "2.1");
  const std::vector<FirmwareCase> cases = {
      {"begin", Block('*', ToBytes("c")), ToBytes("*c\r\n"), 0, 0},
      {"end", Block('*', ToBytes("*")), ToBytes("**\r\n"), 0, 0},
      {"9600", Block('*', ToBytes("9600")), ToBytes("*9\r\n"), 9600, 0},
      {"19200", Block('*', ToBytes("19200")), ToBytes("*1\r\n"), 19200, 0},
      {"19 alone", Block('*', ToBytes("19")), ToBytes("*1\r\n"), 0, 0},
      {"version", Block('*', ToBytes("v")), ToBytes("*v2.1\r\n"), 0, 0},
      {"serial", Block('*', ToBytes("r")), ToBytes("*rKS00000001\r\n"), 0, 0},
      {"data", Block('!', FrameBytes(ubx::kSbasOn)), Bytes{'!', 0xB5, '\r', '\n'}, 0, 63},
      {"odd marker", Block('#', ToBytes("z")), ToBytes("#z\r\n"), 0, 0},
      {"open", Bytes{'j'}, {}, 0, 0},
      {"poll", Bytes{'^'}, {}, 0, 0},
      {"stray byte", Bytes{'q'}, {}, 0, 0},
      {"short write", ToBytes("*c"), {}, 0, 0},
  };
  for (const FirmwareCase& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingHost host;
    firmware.Handle(c.packet, host);
    if (c.reply.empty()) {
      EXPECT_TRUE(host.replies.empty());
    } else {
      ASSERT_EQ(host.replies.size(), 1u);
      EXPECT_EQ(host.replies[0], c.reply);
    }
    EXPECT_EQ(host.baud, c.baud);
    EXPECT_EQ(host.chip.size(), c.to_chip);
  }
  RecordingHost host;
  firmware.Handle(Bytes{'j'}, host);
  firmware.Handle(Bytes{'^'}, host);
  EXPECT_EQ(host.events, "open;poll;");
}

TEST_F(FirmwareTest, SerialIsWrittenErasedAndKeptInTheFile) {
  {
    Eeprom eeprom(path_);
    std::string error;
    ASSERT_TRUE(eeprom.Load(error));
    Firmware firmware(eeprom, "1.4");
    RecordingHost host;
    firmware.Handle(Block('*', ToBytes("w0123456789")), host);
    EXPECT_EQ(host.replies.at(0), ToBytes("*w\r\n"));
  }
  Eeprom reloaded(path_);
  std::string error;
  ASSERT_TRUE(reloaded.Load(error));
  EXPECT_EQ(Bytes(reloaded.SerialNumber().begin(), reloaded.SerialNumber().end()),
            ToBytes("0123456789"));
  ASSERT_TRUE(reloaded.Erase(error));
  Eeprom erased(path_);
  ASSERT_TRUE(erased.Load(error));
  EXPECT_EQ(Bytes(erased.SerialNumber().begin(), erased.SerialNumber().end()), Bytes(10, 0xFF));
}

TEST_F(FirmwareTest, ShortImageReadsErasedPastItsEnd) {
  std::ofstream(path_, std::ios::binary) << "ABC";
  Eeprom eeprom(path_);
  std::string error;
  ASSERT_TRUE(eeprom.Load(error));
  EXPECT_EQ(Bytes(eeprom.SerialNumber().begin(), eeprom.SerialNumber().begin() + 4),
            (Bytes{'A', 'B', 'C', 0xFF}));
}

TEST_F(FirmwareTest, UnwritableEepromIsReportedAndStillAnswered) {
  Eeprom eeprom("/nonexistent-dir/kastrel-eeprom.bin");
  Firmware firmware(eeprom, "1.4");
  RecordingHost host;
  firmware.Handle(Block('*', ToBytes("e")), host);
  EXPECT_EQ(host.replies.at(0), ToBytes("*e\r\n"));
  EXPECT_NE(host.events.find("note:cannot write EEPROM"), std::string::npos) << host.events;
}

// ---- The receiver chip ----

TEST(ReceiverChip, AcknowledgesEachPanelFrameHoweverItArrives) {
  const std::vector<std::pair<const char*, Bytes>> frames = {
      {"CFG-PRT 9600", FrameBytes(ubx::kCfgPrt9600)},
      {"CFG-PRT 19200", FrameBytes(ubx::kCfgPrt19200)},
      {"SBAS on", FrameBytes(ubx::kSbasOn)},
      {"SBAS off", FrameBytes(ubx::kSbasOff)},
      {"NAV-SOL on", FrameBytes(ubx::kEnableNavSol)},
      {"NAV-SBAS on", FrameBytes(ubx::kEnableNavSbas)},
  };
  for (const auto& [name, frame] : frames) {
    SCOPED_TRACE(name);
    // Whole, in a block with its fill, after stray bytes, and one byte at a time.
    Bytes noisy = ToBytes("\xB5junk$GP");
    noisy.insert(noisy.end(), frame.begin(), frame.end());
    for (const Bytes& input : {frame, Block('!', frame), noisy}) {
      ReceiverChip chip(19200);
      Bytes out;
      std::vector<std::string> notes;
      chip.Receive(input, out, notes);
      const std::vector<Frame> answer = Frames(out);
      ASSERT_EQ(answer.size(), 1u);
      EXPECT_EQ(answer[0].cls, 0x05);
      EXPECT_EQ(answer[0].id, 0x01);
      EXPECT_EQ(answer[0].payload, (Bytes{frame[2], frame[3]}));
    }
    ReceiverChip chip(19200);
    Bytes out;
    std::vector<std::string> notes;
    for (const std::uint8_t b : frame) chip.Receive(std::span(&b, 1), out, notes);
    EXPECT_EQ(Frames(out).size(), 1u);

    Bytes corrupt = frame;
    corrupt.back() ^= 0x01;
    ReceiverChip strict(19200);
    Bytes none;
    strict.Receive(corrupt, none, notes);
    EXPECT_TRUE(none.empty()) << "a bad checksum gets no answer";
  }
}

TEST(ReceiverChip, FrameSplitAcrossTwoBlocksIsReassembled) {
  // An application's long frame: the firmware hands over 63 bytes per block.
  Bytes payload(100, 0);
  Bytes frame;
  AppendFrame(frame, 0x06, 0x23, payload);
  ReceiverChip chip(19200);
  Bytes out;
  std::vector<std::string> notes;
  chip.Receive(Bytes(frame.begin(), frame.begin() + 63), out, notes);
  EXPECT_TRUE(out.empty());
  const Bytes block = Block('!', Bytes(frame.begin() + 63, frame.end()));
  chip.Receive(std::span(block).subspan(1), out, notes);
  const auto answer = Frames(out);
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0].payload, (Bytes{0x06, 0x23}));
}

// The sentences of a burst (after its UBX frames) without '$' and "*hh" CR LF, each
// checksum checked.
std::vector<std::string> Sentences(const Bytes& out) {
  const std::string text(out.begin(), out.end());
  std::vector<std::string> bodies;
  std::size_t at = 0;
  for (const Frame& f : Frames(out)) at += f.payload.size() + 8;
  while (at < text.size()) {
    if (text[at] != '$') {
      ADD_FAILURE() << "bytes between sentences: " << text.substr(at);
      break;
    }
    const std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos || end < at + 4) {
      ADD_FAILURE() << "a sentence without CR LF: " << text.substr(at);
      break;
    }
    const std::string body = text.substr(at + 1, end - at - 4);
    EXPECT_EQ(text.substr(at, end + 2 - at), test::NmeaSentence(body));
    bodies.push_back(body);
    at = end + 2;
  }
  return bodies;
}
std::vector<std::string> Tags(const std::vector<std::string>& bodies) {
  std::vector<std::string> tags;
  tags.reserve(bodies.size());
  for (const std::string& b : bodies) tags.push_back(b.substr(0, 5));
  return tags;
}
const std::vector<std::string> kBurstTags = {"GPRMC", "GPVTG", "GPGGA", "GPGSA",
                                             "GPGSV", "GPGSV", "GPGSV", "GPGLL"};

class ChipSolution : public ::testing::Test {
 protected:
  void Send(const Bytes& frame) {
    Bytes ack;
    std::vector<std::string> notes;
    chip_.Receive(frame, ack, notes);
  }
  Bytes Solve() {
    Bytes out;
    chip_.Solution(Scenario(8).At(42.0, 1704067200000), out);
    return out;
  }
  ReceiverChip chip_{19200};
};

TEST_F(ChipSolution, StatusMessagesOnlyAfterCfgMsg) {
  EXPECT_TRUE(Frames(Solve()).empty());
  Send(FrameBytes(ubx::kEnableNavSol));
  Send(FrameBytes(ubx::kEnableNavSbas));
  bool valid = false;
  const Bytes out = Solve();
  const auto frames = Frames(out, &valid);
  EXPECT_TRUE(valid);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].id, 0x06);
  EXPECT_EQ(frames[1].id, 0x32);
  EXPECT_EQ(out[0], 0xB5) << "UBX goes before the NMEA set, so a burst ends in LF";
  EXPECT_EQ(out.back(), '\n');
}

struct SbasCase {
  const char* name;
  Bytes frame;
  std::uint8_t mode, flags;
  const char* quality;
};

TEST_F(ChipSolution, SbasStateShowsInNavSbasNavSolAndGga) {
  Send(FrameBytes(ubx::kEnableNavSol));
  Send(FrameBytes(ubx::kEnableNavSbas));
  for (const SbasCase& c : {SbasCase{"off", FrameBytes(ubx::kSbasOff), 0, 0x0D, ",1,08,"},
                            SbasCase{"on", FrameBytes(ubx::kSbasOn), 1, 0x0F, ",2,08,"}}) {
    SCOPED_TRACE(c.name);
    Send(c.frame);
    const Bytes out = Solve();
    const auto frames = Frames(out);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].payload[11], c.flags);
    EXPECT_EQ(frames[1].payload[5], c.mode);
    if (c.mode != 0) {
      EXPECT_EQ(frames[1].payload[4], 122) << "the first PRN of the scan mask 0x4004";
      EXPECT_EQ(frames[1].payload[8], 8) << "corrections for every satellite used";
      EXPECT_EQ(frames[1].payload.size(), 12u + 8 * 12);
    }
    const std::string text(out.begin(), out.end());
    EXPECT_NE(text.find(c.quality), std::string::npos) << "GGA fix quality";
  }
}

TEST_F(ChipSolution, NavSolFieldsMatchTheScenario) {
  Send(FrameBytes(ubx::kEnableNavSol));
  const auto frames = Frames(Solve());
  ASSERT_EQ(frames.size(), 1u);
  const Bytes& p = frames[0].payload;
  ASSERT_EQ(p.size(), 52u);
  const auto u32 = [&](std::size_t at) {
    return p[at] | p[at + 1] << 8 | p[at + 2] << 16 | static_cast<std::uint32_t>(p[at + 3]) << 24;
  };
  // 2024-01-01 00:00:00 UTC: Monday of GPS week 2295, 18 leap seconds.
  EXPECT_EQ(u32(0), 86418000u);
  EXPECT_EQ(p[8] | p[9] << 8, 2295);
  EXPECT_EQ(p[10], 3);
  EXPECT_EQ(p[47], 8);
  const Epoch e = Scenario(8).At(42.0, 1704067200000);
  const double x = static_cast<std::int32_t>(u32(12)) / 100.0;
  const double y = static_cast<std::int32_t>(u32(16)) / 100.0;
  EXPECT_NEAR(std::atan2(y, x) * 180 / std::numbers::pi, e.longitude, 1e-6);
  EXPECT_EQ(p[44] | p[45] << 8, std::lround(e.pdop * 100));
}

// After CFG-RST the fix is gone for as many cycles as the kind's start-up takes, cold
// the longest, and then comes back; the restart itself is not acknowledged.
TEST_F(ChipSolution, RestartLosesTheFixForItsKindsCycles) {
  struct Case {
    const char* name;
    ubx::RestartKind kind;
    int cycles;
  };
  const Case cases[] = {{"cold", ubx::RestartKind::kCold, kColdStartCycles},
                        {"warm", ubx::RestartKind::kWarm, kWarmStartCycles},
                        {"hot", ubx::RestartKind::kHot, kHotStartCycles}};
  static_assert(kColdStartCycles > kWarmStartCycles && kWarmStartCycles > kHotStartCycles);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    chip_.PowerOn();
    Send(FrameBytes(ubx::kEnableNavSol));
    Bytes answer;
    std::vector<std::string> notes;
    chip_.Receive(FrameBytes(ubx::RestartFrame(c.kind)), answer, notes);
    EXPECT_TRUE(answer.empty()) << "no ACK-ACK from a receiver that restarts";
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find(std::string(c.name) + " start"), std::string::npos) << notes[0];
    int without_fix = 0;
    int empty_skies = 0;
    for (int cycle = 0; cycle < 40; ++cycle) {
      const Bytes out = Solve();
      const std::string text(out.begin(), out.end());
      const auto frames = Frames(out);
      ASSERT_EQ(frames.size(), 1u);
      const bool fix = text.find("$GPGSA,A,3,") != std::string::npos;
      EXPECT_EQ(frames[0].payload[10], fix ? 3 : 0) << "NAV-SOL gpsFix, cycle " << cycle;
      EXPECT_EQ(text.find(",A,4807") != std::string::npos, fix) << "RMC position, cycle " << cycle;
      if (fix) break;
      ++without_fix;
      empty_skies += text.find("$GPGSV,1,1,00*") != std::string::npos;
    }
    EXPECT_EQ(without_fix, c.cycles);
    EXPECT_EQ(empty_skies, c.kind == ubx::RestartKind::kCold ? kColdStartCycles / 2 : 0);
  }
}

TEST_F(ChipSolution, CfgMsgRateZeroSilencesAnNmeaSentence) {
  Bytes gsv_off;
  AppendFrame(gsv_off, 0x06, 0x01, Bytes{0xF0, 0x03, 0, 0, 0, 0});
  Send(gsv_off);
  const std::string text = [&] {
    const Bytes out = Solve();
    return std::string(out.begin(), out.end());
  }();
  EXPECT_EQ(text.find("$GPGSV"), std::string::npos);
  EXPECT_NE(text.find("$GPGGA"), std::string::npos);
}

TEST_F(ChipSolution, CfgPrtSetsTheChipBaudAndPowerOnRestoresIt) {
  Send(FrameBytes(ubx::kCfgPrt9600));
  EXPECT_EQ(chip_.Baud(), 9600);
  Send(FrameBytes(ubx::kSbasOff));
  chip_.PowerOn();
  EXPECT_EQ(chip_.Baud(), 19200);
  EXPECT_TRUE(chip_.Sbas().Enabled());
}

TEST_F(ChipSolution, SentencesCarryValidChecksumsAndTheAntarisShapes) {
  const Bytes out = Solve();
  const std::string text(out.begin(), out.end());
  EXPECT_EQ(Tags(Sentences(out)), kBurstTags);
  // 9 in view plus the SBAS satellite (NMEA number 33 for PRN 120).
  EXPECT_NE(text.find("$GPGSV,3,1,10,"), std::string::npos);
  EXPECT_NE(text.find(",33,"), std::string::npos);
  EXPECT_NE(text.find("$GPGSA,A,3,05,12,02,25,29,15,18,21,,,,,"), std::string::npos);
}

// Standing still, each burst is as valid as the drive's, says it is not moving (speed 0,
// course empty, NAV-SOL velocity 0) and still carries the drive's fix and DOPs.
TEST_F(ChipSolution, StandingStillReportsNoSpeedNoCourseAndAFullFix) {
  Send(FrameBytes(ubx::kEnableNavSol));
  Scenario parked(8, 3);
  for (int second = 0; second < 30; ++second) {
    SCOPED_TRACE(second);
    Bytes out;
    const Epoch e = parked.At(second, 1704067200000 + std::int64_t{1000} * second);
    chip_.Solution(e, out);
    const auto frames = Frames(out);
    ASSERT_EQ(frames.size(), 1u);
    const Bytes& sol = frames[0].payload;
    EXPECT_EQ(sol[10], 3) << "3D fix";
    EXPECT_TRUE(std::all_of(sol.begin() + 28, sol.begin() + 40, [](auto b) { return b == 0; }))
        << "ECEF velocity 0";
    const auto bodies = Sentences(out);
    ASSERT_EQ(Tags(bodies), kBurstTags);
    const auto rmc = test::NmeaFields(bodies[0]);
    ASSERT_EQ(rmc.size(), 13u);
    EXPECT_EQ(rmc[2], "A");
    EXPECT_EQ(rmc[7], "0.000") << "speed";
    EXPECT_EQ(rmc[8], "") << "course";
    EXPECT_EQ(bodies[1], "GPVTG,,T,,M,0.000,N,0.000,K,D");
    const auto gga = test::NmeaFields(bodies[2]);
    ASSERT_EQ(gga.size(), 15u);
    EXPECT_EQ(gga[6], "2") << "SBAS corrections, as driving";
    EXPECT_EQ(gga[8], test::NmeaFields(bodies[3])[16]) << "GGA and GSA give one HDOP";
    EXPECT_EQ(bodies[3].rfind("GPGSA,A,3,05,12,02,25,29,15,18,21,", 0), 0u) << bodies[3];
  }
}

// Metres north and east of `centre`, computed on a sphere of the mean Earth radius: good to
// a fraction of a per cent over metres, which is all these bounds need.
struct Metres {
  double north, east;
};
Metres Apart(const Epoch& centre, const Epoch& e) {
  constexpr double kRadius = 6371000.0;
  const double rad = std::numbers::pi / 180.0;
  return {(e.latitude - centre.latitude) * rad * kRadius,
          (e.longitude - centre.longitude) * rad * kRadius * std::cos(centre.latitude * rad)};
}

// Over a day and more the parked position stays around the drive's start point: centred,
// with the spread its DOP gives, never far out, and moving only a little from one fix to
// the next, as a receiver's error wanders rather than jumps.
TEST(StandingStill, WanderStaysBoundedCentredAndSlow) {
  const Epoch centre = Scenario(8).At(0, 0);
  for (const std::uint32_t seed : {1u, 2u, 12345u}) {
    SCOPED_TRACE(seed);
    Scenario parked(8, seed);
    constexpr int kFixes = 100000;
    double sum_north = 0, sum_east = 0, sum_up = 0, sum_sq = 0, step_sq = 0, widest = 0;
    double hdop_sum = 0;
    Metres last{};
    for (int i = 0; i < kFixes; ++i) {
      const Epoch e = parked.At(i, 1704067200000 + std::int64_t{1000} * i);
      ASSERT_EQ(e.speed, 0.0);
      ASSERT_FALSE(e.course.has_value());
      const Metres m = Apart(centre, e);
      sum_north += m.north;
      sum_east += m.east;
      sum_up += e.altitude - centre.altitude;
      sum_sq += m.north * m.north + m.east * m.east;
      widest = std::max(widest, std::hypot(m.north, m.east));
      if (i > 0) step_sq += std::pow(m.north - last.north, 2) + std::pow(m.east - last.east, 2);
      last = m;
      hdop_sum += e.hdop;
    }
    const double horizontal_rms = kRangeErrorMetres * hdop_sum / kFixes;  // HDOP x UERE
    EXPECT_NEAR(sum_north / kFixes, 0.0, 0.25);
    EXPECT_NEAR(sum_east / kFixes, 0.0, 0.25);
    EXPECT_NEAR(sum_up / kFixes, 0.0, 0.5);
    EXPECT_NEAR(std::sqrt(sum_sq / kFixes), horizontal_rms, 0.1 * horizontal_rms);
    EXPECT_LT(widest, 4.5 * horizontal_rms) << "a few metres, not a jump across the town";
    EXPECT_LT(std::sqrt(step_sq / (kFixes - 1)), 0.3 * horizontal_rms) << "correlated";
  }
}

// One seed, one stream: the same bursts byte for byte, whether a solution time is asked for
// once or again (a flood asks several times a cycle); another seed wanders elsewhere.
TEST(StandingStill, SameSeedGivesTheSameStream) {
  const auto run = [](std::uint32_t seed, bool ask_twice) {
    ReceiverChip chip(19200);
    Scenario parked(8, seed);
    Bytes all;
    for (int second = 0; second < 60; ++second) {
      const std::int64_t stamp = 1704067200000 + std::int64_t{1000} * second;
      if (ask_twice) parked.At(second, stamp);
      chip.Solution(parked.At(second, stamp), all);
    }
    return all;
  };
  const Bytes first = run(9, false);
  EXPECT_EQ(run(9, false), first);
  EXPECT_EQ(run(9, true), first);
  EXPECT_NE(run(10, false), first);
  Scenario parked(8, 9);
  const Epoch now = parked.At(5, 1704067205000);
  const Epoch stepped_back = parked.At(5, 1704067204000);
  EXPECT_EQ(stepped_back.latitude, now.latitude) << "a clock stepped back holds the position";
  EXPECT_EQ(stepped_back.longitude, now.longitude);
}

// ---- NMEA formatting ----

TEST(Nmea, AnglesTimesAndDates) {
  EXPECT_EQ(NmeaAngle(48.1173, 2), "4807.03800");
  EXPECT_EQ(NmeaAngle(11.516666666, 3), "01131.00000");
  EXPECT_EQ(NmeaAngle(-122.710015, 3), "12242.60090");
  EXPECT_EQ(NmeaAngle(48.9999999999, 2), "4900.00000") << "never 60 minutes";
  // 2006-08-10 03:08:51 UTC, the first fix of the LEA-4H capture.
  EXPECT_EQ(NmeaTime(1155179331000), "030851.00");
  EXPECT_EQ(NmeaTime(1155179331250), "030851.25");
  EXPECT_EQ(NmeaDate(1155179331000), "100806");
  Bytes out;
  AppendSentence(out, "GPGSV,1,1,03,28,28,095,33,04,30,150,46,02,07,178,32");
  EXPECT_EQ(std::string(out.begin(), out.end()),
            "$GPGSV,1,1,03,28,28,095,33,04,30,150,46,02,07,178,32*4D\r\n");
}

// ---- Replay ----

TEST(Replay, CyclesFollowTheLogsOwnClock) {
  struct Case {
    const char* file;
    std::uint8_t cls, id;  // one of these per cycle (0: NMEA RMC)
  };
  for (const Case c : {Case{"ublox-lea-4h.log", 0, 0}, Case{"ublox-aek-4t.log", 0x01, 0x06},
                       Case{"bu353s4.log", 0, 0}}) {
    SCOPED_TRACE(c.file);
    const Bytes log = ReadCorpus(c.file);
    ASSERT_FALSE(log.empty());
    const std::vector<std::size_t> cycles = CycleStarts(log);
    ASSERT_GE(cycles.size(), 4u);
    for (std::size_t k = 1; k < cycles.size(); ++k) {
      const std::size_t end = k + 1 < cycles.size() ? cycles[k + 1] : log.size();
      const Bytes cycle(log.begin() + static_cast<std::ptrdiff_t>(cycles[k]),
                        log.begin() + static_cast<std::ptrdiff_t>(end));
      if (c.cls == 0) {
        const std::string text(cycle.begin(), cycle.end());
        std::size_t rmc = 0;
        for (std::size_t at = text.find("RMC,"); at != std::string::npos;
             at = text.find("RMC,", at + 1))
          ++rmc;
        EXPECT_EQ(rmc, 1u) << "cycle " << k;
      } else {
        const auto frames = Frames(cycle);
        EXPECT_EQ(std::count_if(frames.begin(), frames.end(),
                                [&](const Frame& f) { return f.cls == c.cls && f.id == c.id; }),
                  1)
            << "cycle " << k;
      }
    }
  }
}

TEST(Replay, CyclesAndRunsPlayTheLogByteForByteAndLoop) {
  const std::string path = test::CapturePath("ublox8-uniqid-monhw.log");
  Replay replay;
  std::string error;
  ASSERT_TRUE(replay.Load(path, error)) << error;
  const Bytes& log = replay.bytes();
  Bytes played;
  for (std::size_t k = 0; k < replay.Cycles() + 1; ++k) replay.NextCycle(played);
  ASSERT_GT(played.size(), log.size());
  EXPECT_TRUE(std::equal(log.begin(), log.end(), played.begin()));
  EXPECT_TRUE(std::equal(log.begin(),
                         log.begin() + static_cast<std::ptrdiff_t>(played.size() - log.size()),
                         played.begin() + static_cast<std::ptrdiff_t>(log.size())));

  replay.Rewind();
  played.clear();
  while (played.size() < 2 * log.size()) replay.NextRun(300, played);
  EXPECT_TRUE(std::equal(log.begin(), log.end(), played.begin()));
  EXPECT_TRUE(
      std::equal(log.begin(), log.end(), played.begin() + static_cast<std::ptrdiff_t>(log.size())));
}

TEST(Replay, MissingOrEmptyFileIsRefused) {
  Replay replay;
  std::string error;
  EXPECT_FALSE(replay.Load("/nonexistent/kastrel.log", error));
  EXPECT_NE(error.find("cannot read"), std::string::npos);
  EXPECT_FALSE(replay.Load("/dev/null", error));
  EXPECT_NE(error.find("empty"), std::string::npos);
}

// ---- Options ----

TEST(Options, RefusesBadValues) {
  const std::vector<std::vector<std::string>> bad = {
      {"--nope"},
      {"-x"},
      {"--baud", "38400"},
      {"--baud", "19200x"},
      {"--rate", "0"},
      {"--rate", "nan"},
      {"--period", "10"},
      {"--satellites", "11"},
      {"--silent-after", "-1"},
      {"--unplug-every", "0"},
      {"--unplug-every", "2:"},
      {"--late-ack", "-5"},
      {"--socket", ""},
      {"--socket", std::string(101, 'a')},
      {"--log"},
      {"--no-ack=1"},
      {"--firmware-version", "14"},
      {"--stationary", "--replay", "drive.log"},
  };
  for (const auto& args : bad) {
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    Options o;
    std::string error;
    EXPECT_EQ(ParseOptions(args, o, error), ParseResult::kError);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos);
  }
}

TEST(Options, ReadsValuesInBothForms) {
  Options o;
  std::string error;
  ASSERT_EQ(ParseOptions({"--socket=Other-1", "--baud", "9600", "--unplug-every", "3.5:0.5",
                          "--late-ack=250", "--no-ack", "-v", "--eeprom", "/tmp/e.bin",
                          "--stationary", "--seed=77"},
                         o, error),
            ParseResult::kRun)
      << error;
  EXPECT_EQ(o.socket_name, "Other-1");
  EXPECT_EQ(o.baud, 9600);
  EXPECT_DOUBLE_EQ(o.unplug_every, 3.5);
  EXPECT_DOUBLE_EQ(o.unplug_down, 0.5);
  EXPECT_EQ(o.late_ack_ms, 250);
  EXPECT_TRUE(o.no_ack);
  EXPECT_TRUE(o.verbose);
  EXPECT_EQ(o.eeprom_path, "/tmp/e.bin");
  EXPECT_TRUE(o.stationary);
  EXPECT_EQ(o.seed, 77u);
  Options help;
  EXPECT_EQ(ParseOptions({"--baud", "9600", "--help"}, help, error), ParseResult::kHelp);
}

// ---- The packet log ----

TEST(PacketLog, SummarisesWhatThePanelSends) {
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {Bytes{'j'}, "j"},
      {Block('*', ToBytes("19200")), "*19200"},
      {Block('*', ToBytes("wAB_DE\\GHIJ")), "*wAB_DE\\\\GHIJ"},
      {Block('!', FrameBytes(ubx::kCfgPrt9600)), "! CFG-PRT port=1 baud=9600"},
      {Block('!', FrameBytes(ubx::kSbasOff)), "! CFG-SBAS mode=0"},
      {Block('!', FrameBytes(ubx::kColdStart)), "! CFG-RST nav=FFFF mode=2"},
      {Block('!', FrameBytes(ubx::kEnableNavSbas)), "! CFG-MSG NAV-SBAS rate=1"},
      {Block('!', ToBytes("$PUBX,00*33\r\n")), "! $PUBX,00*33\\r\\n"},
      {Block('!', Bytes{'x', 0xB5, 0x62, 0x06, 0x23, 0x64, 0x00, 0x00}),
       "! x + UBX 06-23 (continues)"},
      {Bytes{'*', 'c', '\r', '\n'}, "*c\\r\\n"},
  };
  for (const auto& [packet, summary] : cases) {
    EXPECT_EQ(DescribePacket(packet), summary);
  }
  EXPECT_EQ(HexBytes(Bytes{0x2A, 0x63, 0x0D}), "2A 63 0D");
}

}  // namespace
}  // namespace ostrel::emulator
