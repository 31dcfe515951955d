// ParseUBX: the six command frames, the two status messages, and damaged or cut frames.
#include "receiver/ubx.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "receiver/antaris.h"
#include "support/corpus.h"

namespace ostrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes NavSol(std::uint8_t gps_fix, std::uint8_t flags, std::uint8_t num_sv,
             std::size_t payload_size = 52) {
  Bytes payload(payload_size, 0);
  if (payload_size > 10) payload[10] = gps_fix;
  if (payload_size > 11) payload[11] = flags;
  if (payload_size > 47) payload[47] = num_sv;
  return ubx::MakeFrame(ubx::kClassNav, ubx::kIdNavSol, payload);
}

Bytes NavSbas(std::uint8_t mode, std::size_t payload_size = 12) {
  Bytes payload(payload_size, 0);
  if (payload_size > 5) payload[5] = mode;
  if (payload_size > 0) payload[0] = 0x5A;  // iTOW, so the frame is not all zeros
  return ubx::MakeFrame(ubx::kClassNav, ubx::kIdNavSbas, payload);
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Text(std::string_view s) { return {s.begin(), s.end()}; }

// The status members, to see what a parse changed.
auto Status(const TAntaris& r) {
  return std::make_tuple(r.StatusUpdated, r.FixType, r.DGPSState, r.SVCount, r.WAASActive);
}

// ParseUBX over an exact-size heap copy, so ASan catches any read past the data.
bool Parse(TAntaris& r, const Bytes& data) {
  auto copy = std::make_unique<std::uint8_t[]>(data.size() + (data.empty() ? 1 : 0));
  std::copy(data.begin(), data.end(), copy.get());
  return r.ParseUBX(copy.get(), static_cast<int32_t>(data.size()));
}

// Each frame read back field by field at the offsets the receiver's maker publishes, so
// that a wrong byte shows even where the checksum was made to fit it.
struct Field {
  const char* name;
  std::size_t offset, width;  // in the payload
  std::uint32_t value;
};
struct CommandFrame {
  const char* name;
  Bytes frame;
  std::uint8_t id;
  std::vector<Field> fields;
};

std::uint32_t ReadLE(const Bytes& payload, std::size_t offset, std::size_t width) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= std::uint32_t{payload.at(offset + i)} << (8 * i);
  return v;
}

template <std::size_t N>
Bytes Of(const std::array<std::uint8_t, N>& frame) {
  return {frame.begin(), frame.end()};
}

TEST(UbxFrames, TheSixCommandFramesCarryTheirFields) {
  const auto prt = [](std::uint32_t baud) {
    return std::vector<Field>{{"port", 0, 1, 1},          {"reserved", 1, 3, 0},
                              {"mode 8N1", 4, 4, 0x08C0}, {"baud", 8, 4, baud},
                              {"in: UBX+NMEA", 12, 2, 3}, {"out: UBX+NMEA", 14, 2, 3},
                              {"flags", 16, 2, 0},        {"reserved", 18, 2, 0}};
  };
  const auto sbas = [](std::uint32_t mode) {
    return std::vector<Field>{{"mode", 0, 1, mode},
                              {"usage: all", 1, 1, 7},
                              {"channels", 2, 1, 2},
                              {"reserved", 3, 1, 0},
                              {"PRN 122 and 134", 4, 4, (1u << 2) | (1u << 14)}};
  };
  const auto msg = [](std::uint32_t id) {
    return std::vector<Field>{{"class NAV", 0, 1, 0x01}, {"id", 1, 1, id},    {"port 0", 2, 1, 1},
                              {"port 1", 3, 1, 1},       {"port 2", 4, 1, 1}, {"port 3", 5, 1, 0}};
  };
  const std::vector<CommandFrame> frames = {
      {"CFG-PRT 9600", Of(ubx::kCfgPrt9600), 0x00, prt(9600)},
      {"CFG-PRT 19200", Of(ubx::kCfgPrt19200), 0x00, prt(19200)},
      {"CFG-SBAS on", Of(ubx::kSbasOn), 0x16, sbas(1)},
      {"CFG-SBAS off", Of(ubx::kSbasOff), 0x16, sbas(0)},
      {"CFG-MSG NAV-SOL", Of(ubx::kEnableNavSol), 0x01, msg(0x06)},
      {"CFG-MSG NAV-SBAS", Of(ubx::kEnableNavSbas), 0x01, msg(0x32)},
  };
  for (const CommandFrame& c : frames) {
    SCOPED_TRACE(c.name);
    const Bytes& f = c.frame;
    ASSERT_GE(f.size(), ubx::kOverhead);
    EXPECT_EQ(f[0], 0xB5);
    EXPECT_EQ(f[1], 0x62);
    EXPECT_EQ(f[2], 0x06);  // CFG
    EXPECT_EQ(f[3], c.id);
    const std::size_t n = f[4] | f[5] << 8;
    ASSERT_EQ(f.size(), n + ubx::kOverhead);
    const Bytes payload(f.begin() + 6, f.end() - 2);
    std::size_t covered = 0;
    for (const Field& field : c.fields) {
      EXPECT_EQ(ReadLE(payload, field.offset, field.width), field.value) << field.name;
      covered += field.width;
    }
    EXPECT_EQ(covered, n) << "every payload byte is named";
    const ubx::Checksum ck = ubx::Fletcher(f.data() + 2, n + 4);
    EXPECT_EQ(ck.a, f[n + 6]);
    EXPECT_EQ(ck.b, f[n + 7]);
    TAntaris r;
    EXPECT_TRUE(Parse(r, f));
    EXPECT_FALSE(r.StatusUpdated);  // CFG frames are not status
  }
}

TEST(ParseUBX, NavSolFlagsGiveTheDgpsState) {
  const struct {
    std::uint8_t flags;
    int32_t state;
  } cases[] = {{0x0D, 1}, {0x0F, 2}, {0x00, 0}, {0x01, 1}, {0x02, 2}, {0xFC, 0}, {0xDD, 1}};
  for (const auto& c : cases) {
    TAntaris r;
    r.DGPSState = 7;
    ASSERT_TRUE(Parse(r, NavSol(3, c.flags, 7))) << int(c.flags);
    EXPECT_EQ(r.DGPSState, c.state) << int(c.flags);
  }
}

TEST(ParseUBX, NavSolGivesFixTypeAndSatellites) {
  TAntaris r;
  ASSERT_TRUE(Parse(r, NavSol(3, 0x0D, 7)));
  EXPECT_TRUE(r.StatusUpdated);
  EXPECT_EQ(r.FixType, 3);
  EXPECT_EQ(r.SVCount, 7);
  EXPECT_FALSE(r.WAASActive);
  ASSERT_TRUE(Parse(r, NavSol(0xFF, 0, 255)));  // unsigned bytes
  EXPECT_EQ(r.FixType, 255);
  EXPECT_EQ(r.SVCount, 255);
}

TEST(ParseUBX, NavSbasModeGivesWaas) {
  const struct {
    std::uint8_t mode;
    bool active;
  } cases[] = {{0, false}, {1, true}, {3, true}};
  for (const auto& c : cases) {
    TAntaris r;
    r.WAASActive = !c.active;
    ASSERT_TRUE(Parse(r, NavSbas(c.mode)));
    EXPECT_TRUE(r.StatusUpdated) << int(c.mode);
    EXPECT_EQ(r.WAASActive, c.active) << int(c.mode);
    EXPECT_EQ(r.FixType, 0);
  }
}

TEST(ParseUBX, FramesApplyInTheOrderFound) {
  TAntaris r;
  ASSERT_TRUE(Parse(r, Text("$GPGGA,junk\r\n") + NavSol(2, 0x01, 4) + NavSbas(1) +
                           NavSol(3, 0x0F, 9) + NavSbas(0)));
  EXPECT_EQ(r.FixType, 3);
  EXPECT_EQ(r.SVCount, 9);
  EXPECT_EQ(r.DGPSState, 2);
  EXPECT_FALSE(r.WAASActive);
}

TEST(ParseUBX, AcceptedFramesAreNotSkipped) {
  // A whole NAV-SBAS frame carried inside the payload of another accepted frame: the
  // sync pair inside is examined like any other.
  const Bytes inner = NavSbas(1);
  TAntaris r;
  ASSERT_TRUE(Parse(r, ubx::MakeFrame(0x04, 0x04, inner)));
  EXPECT_TRUE(r.WAASActive);
}

TEST(ParseUBX, RejectedChunksChangeNothing) {
  const Bytes sol = NavSol(3, 0x0F, 7);
  Bytes bad_a = sol;
  bad_a.at(bad_a.size() - 2) ^= 0x01;
  Bytes bad_b = sol;
  bad_b.at(bad_b.size() - 1) ^= 0x80;
  Bytes bad_payload = sol;
  bad_payload[6 + 47] = 8;
  Bytes bad_length = sol;
  bad_length[4] = 51;
  const struct {
    const char* name;
    Bytes data;
  } cases[] = {
      {"CK_A corrupted", bad_a},
      {"CK_B corrupted", bad_b},
      {"payload changed", bad_payload},
      {"length field changed", bad_length},
      {"NMEA only", Text("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n")},
      {"cut one byte short", Bytes(sol.begin(), sol.end() - 1)},
      {"cut after the header", Bytes(sol.begin(), sol.begin() + 6)},
      {"lone sync pair", {0xB5, 0x62}},
      {"sync 1 at the end", {0x00, 0xB5}},
      {"length field far past the data", Bytes{0xB5, 0x62, 0x01, 0x06, 0xFF, 0xFF, 0, 0, 0}},
      {"frame split between chunks (first half)", Bytes(sol.begin(), sol.begin() + 30)},
      {"frame split between chunks (second half)", Bytes(sol.begin() + 30, sol.end())},
      {"empty", {}},
  };
  for (const auto& c : cases) {
    TAntaris r;
    r.FixType = 1;
    r.SVCount = 2;
    const auto before = Status(r);
    EXPECT_FALSE(Parse(r, c.data)) << c.name;
    EXPECT_EQ(Status(r), before) << c.name;
  }
}

TEST(ParseUBX, OtherClassIsAcceptedButChangesNothing) {
  const Bytes ack_ack = ubx::MakeFrame(ubx::kClassAck, ubx::kIdAckAck, Bytes{0x06, 0x00});
  TAntaris r;
  r.SVCount = 4;
  const auto before = Status(r);
  EXPECT_TRUE(Parse(r, ack_ack));
  EXPECT_EQ(Status(r), before);
  // Other NAV messages too (NAV-STATUS).
  EXPECT_TRUE(Parse(r, ubx::MakeFrame(ubx::kClassNav, 0x03, Bytes(16, 3))));
  EXPECT_EQ(Status(r), before);
}

TEST(ParseUBX, ShortStatusMessagesCountButAreNotRead) {
  // Accepted by their checksum, but too short for the bytes read from them.
  const struct {
    const char* name;
    Bytes frame;
  } cases[] = {
      {"NAV-SOL of 47 bytes", NavSol(3, 0x0F, 0, 47)},
      {"NAV-SOL of 12 bytes", NavSol(3, 0x0F, 0, 12)},
      {"NAV-SOL empty", NavSol(3, 0x0F, 0, 0)},
      {"NAV-SBAS of 5 bytes", NavSbas(1, 5)},
      {"NAV-SBAS empty", NavSbas(1, 0)},
  };
  for (const auto& c : cases) {
    TAntaris r;
    const auto before = Status(r);
    EXPECT_TRUE(Parse(r, c.frame)) << c.name;
    EXPECT_EQ(Status(r), before) << c.name;
  }
  TAntaris r;
  ASSERT_TRUE(Parse(r, NavSol(4, 0x01, 9, 48)));  // just long enough
  EXPECT_EQ(r.SVCount, 9);
}

TEST(ParseUBX, CutFrameBeforeAGoodOne) {
  // A frame whose length runs into the next one: skipped, and the next one still found.
  const Bytes sol = NavSol(3, 0x0D, 6);
  TAntaris r;
  ASSERT_TRUE(Parse(r, Bytes(sol.begin(), sol.begin() + 20) + NavSbas(1)));
  EXPECT_TRUE(r.WAASActive);
  EXPECT_EQ(r.SVCount, 0);
}

TEST(Captures, AntarisTimingKitStatus) {
  const std::string log = test::ReadCapture("ublox-aek-4t.log");
  TAntaris r;
  ASSERT_TRUE(Parse(r, Bytes(log.begin(), log.end())));
  EXPECT_TRUE(r.StatusUpdated);
  EXPECT_EQ(r.FixType, 3);
  EXPECT_EQ(r.DGPSState, 2);  // flags 0x9F: differential corrections applied
  EXPECT_EQ(r.SVCount, 7);
  EXPECT_TRUE(r.WAASActive);
}

TEST(Captures, UbloxEightStatusAmongNmea) {
  const std::string log = test::ReadCapture("ublox8-uniqid-monhw.log");
  TAntaris r;
  ASSERT_TRUE(Parse(r, Bytes(log.begin(), log.end())));
  EXPECT_EQ(r.FixType, 3);
  EXPECT_EQ(r.DGPSState, 1);  // flags 0xDD
  EXPECT_EQ(r.SVCount, 6);
  EXPECT_FALSE(r.WAASActive);  // no NAV-SBAS in this capture
}

TEST(Captures, NmeaOnlyCapturesHoldNoFrame) {
  for (const char* name :
       {"ublox-lea-4h.log", "quectel-l76k-nmea.log", "gp-320fw-2019-04-07-coldboot.log"}) {
    const std::string log = test::ReadCapture(name);
    TAntaris r;
    EXPECT_FALSE(Parse(r, Bytes(log.begin(), log.end()))) << name;
  }
}

TEST(Captures, EveryCaptureInReceiveSizedChunks) {
  // Cut wherever 2047 bytes end: frames cut in two are skipped, never read past the end.
  for (const auto& name : test::CaptureNames()) {
    const std::string log = test::ReadCapture(name);
    TAntaris whole;
    const bool any = Parse(whole, Bytes(log.begin(), log.end()));
    TAntaris r;
    bool any_chunk = false;
    for (std::size_t at = 0; at < log.size(); at += 2047) {
      const std::string chunk = log.substr(at, 2047);
      any_chunk |= Parse(r, Bytes(chunk.begin(), chunk.end()));
    }
    EXPECT_EQ(any_chunk, any) << name;
  }
}

}  // namespace
}  // namespace ostrel
