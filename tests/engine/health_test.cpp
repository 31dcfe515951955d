// The receiver's health model with no window: satellites in view and in use, the fix, the
// time to first fix and the receiver's time, on the fake clock.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/receiver_health.h"
#include "engine/settings_applier.h"
#include "gps/tgps.h"
#include "support/corpus.h"
#include "support/fake_clock.h"
#include "support/nmea_sentence.h"
#include "support/param_name.h"

namespace ostrel {
namespace {

using test::FakeClock;
using test::NmeaSentence;

constexpr std::int64_t kWallStart = 1'700'000'000'000;  // 2023-11-14 22:13:20 UTC

struct Rig {
  FakeClock clock{1000};
  std::int64_t wall = kWallStart;
  ReceiverHealth health{clock, [this] { return wall; }};
  void Feed(const std::string& text) { health.Feed(text); }
};

std::array<int, kConstellationCount> InView(const HealthState& s) {
  std::array<int, kConstellationCount> out{};
  for (std::size_t i = 0; i < kConstellationCount; ++i) out[i] = s.counts[i].in_view;
  return out;
}

std::array<int, kConstellationCount> Used(const HealthState& s) {
  std::array<int, kConstellationCount> out{};
  for (std::size_t i = 0; i < kConstellationCount; ++i) out[i] = s.counts[i].used;
  return out;
}

// Each capture fed whole, cut at arbitrary bytes, against counts made apart from this
// parser: a Python scan of the capture's lines (the text after the last '$' of a line, a
// regular expression for talker, type, fields and checksum, the checksum checked by XOR),
// taking the last whole GSV cycle of each talker and signal for "in view", the last run of
// consecutive GSA sentences for "used", the GSA fix types with repeats dropped for the
// sequence, the first GSA of the last run for the DOPs and GGA with a quality above 0 and
// a position for the accuracy samples. Order: GPS, SBAS, GLONASS, Galileo, BeiDou, QZSS.
struct CaptureRow {
  const char* name;
  const char* file;
  std::array<int, kConstellationCount> in_view;
  std::array<int, kConstellationCount> used;
  const char* fix_sequence;
  const char* dops;  // "PDOP HDOP VDOP", "-" for an empty field
  std::size_t positions;
};

const CaptureRow kCaptures[] = {
    {"bu353s4", "bu353s4.log", {12, 0, 0, 0, 0, 0}, {7, 0, 0, 0, 0, 0}, "3", "1.9 1.1 1.6", 25},
    {"firefly_II", "firefly-II.log", {}, {}, "", "- - -", 0},
    {"gp320fw_coldboot",
     "gp-320fw-2019-04-07-coldboot.log",
     {12, 0, 0, 0, 0, 0},
     {},
     "31",
     "- - -",
     2},
    {"mtk3301", "mtk-3301.log", {11, 0, 0, 0, 0, 0}, {3, 0, 0, 0, 0, 0}, "12", "3.05 2.88 1", 4},
    {"quectel_l76k",
     "quectel-l76k-nmea.log",
     {12, 0, 10, 0, 3, 0},
     {9, 0, 2, 0, 3, 0},
     "3",
     "1.5 0.9 1.2",
     150},
    {"sirfstarv",
     "sirfstarv-nmea.log",
     {11, 0, 11, 0, 0, 0},
     {10, 0, 6, 0, 0, 0},
     "3",
     "1.1 0.6 0.9",
     118},
    {"ublox8", "ublox-8.log", {13, 3, 9, 0, 0, 0}, {8, 0, 5, 0, 0, 0}, "3", "1.71 0.98 1.4", 72},
    {"ublox_aek4t", "ublox-aek-4t.log", {}, {}, "", "- - -", 0},
    {"ublox_lea4h",
     "ublox-lea-4h.log",
     {9, 4, 0, 0, 0, 0},
     {8, 1, 0, 0, 0, 0},
     "1213",
     "2.2 1.13 1.89",
     9},
    {"ublox_lea5h",
     "ublox-lea-5h.log",
     {12, 1, 0, 0, 0, 0},
     {8, 0, 0, 0, 0, 0},
     "3",
     "1.69 1 1.37",
     18},
    {"ublox_neo_m9n",
     "ublox-neo-m9n-nmea.log",
     {13, 3, 10, 10, 7, 0},
     {6, 2, 7, 5, 5, 0},
     "3",
     "1.05 0.56 0.88",
     61},
    {"ublox_zed_f9t",
     "ublox-zed-f9t-ubx_nmea_l5.log",
     {9, 3, 0, 11, 12, 0},
     {8, 0, 0, 7, 8, 0},
     "3",
     "1.12 0.62 0.94",
     9},
    {"ublox8_monhw",
     "ublox8-uniqid-monhw.log",
     {7, 1, 2, 0, 0, 0},
     {5, 0, 1, 0, 0, 0},
     "3",
     "2.23 1.36 1.76",
     4},
};

std::string Dop(const std::optional<double>& v) {
  if (!v) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%g", *v);
  return text;
}

class HealthOfCapture : public ::testing::TestWithParam<CaptureRow> {};

TEST_P(HealthOfCapture, CountsAsTheIndependentScan) {
  const CaptureRow& row = GetParam();
  const std::string text = test::ReadCapture(row.file);
  Rig rig;
  std::string sequence;
  for (std::size_t at = 0; at < text.size(); at += 61) {
    rig.Feed(text.substr(at, 61));
    const int type = rig.health.State().fix_type;
    if (type != 0 && (sequence.empty() || sequence.back() != '0' + type))
      sequence += static_cast<char>('0' + type);
  }
  const HealthState s = rig.health.State();
  EXPECT_EQ(InView(s), row.in_view);
  EXPECT_EQ(Used(s), row.used);
  EXPECT_EQ(sequence, row.fix_sequence);
  EXPECT_EQ(Dop(s.pdop) + " " + Dop(s.hdop) + " " + Dop(s.vdop), row.dops);
  EXPECT_EQ(rig.health.Accuracy().Count(), row.positions);
  int listed = 0;
  for (const auto& c : s.counts) listed += c.in_view;
  EXPECT_EQ(s.satellites.size(), static_cast<std::size_t>(listed));
}

INSTANTIATE_TEST_SUITE_P(Captures, HealthOfCapture, ::testing::ValuesIn(kCaptures),
                         test::ParamName());

TEST(HealthSatellites, EveryCapturedFileHasARow) {
  EXPECT_EQ(test::CaptureNames().size(), std::size(kCaptures));
}

// A sky of 17 and 20 satellites takes 5 messages; the main table stops at 3 per talker.
TEST(HealthSatellites, LongGsvCyclesAreSeenWhole) {
  for (const int messages : {4, 5}) {
    Rig rig;
    const int total = messages * 4;
    for (int m = 1; m <= messages; ++m) {
      char body[128];
      int n = std::snprintf(body, sizeof body, "GPGSV,%d,%d,%d", messages, m, total);
      for (int k = 0; k < 4; ++k) {
        const int prn = (m - 1) * 4 + k + 1;
        n += std::snprintf(body + n, sizeof body - static_cast<std::size_t>(n), ",%d,45,100,%d",
                           prn, 20 + prn);
      }
      rig.Feed(NmeaSentence(body));
    }
    const HealthState s = rig.health.State();
    ASSERT_EQ(s.satellites.size(), static_cast<std::size_t>(total)) << messages;
    EXPECT_EQ(s.satellites.back().cn0, 20 + total) << messages;
  }
}

// A cycle that lost a message keeps the previous whole one on show.
TEST(HealthSatellites, ACycleMissingAMessageIsNotTaken) {
  Rig rig;
  rig.Feed(NmeaSentence("GPGSV,1,1,01,07,40,100,30"));
  rig.Feed(NmeaSentence("GPGSV,3,1,09,01,10,10,10,02,10,10,10,03,10,10,10,04,10,10,10"));
  rig.Feed(NmeaSentence("GPGSV,3,3,09,09,10,10,10"));
  const HealthState s = rig.health.State();
  ASSERT_EQ(s.satellites.size(), 1u);
  EXPECT_EQ(s.satellites[0].id, 7);
}

// SBAS as GPS sentences list it: NMEA's 33-64, the PRN 120-151 some receivers send, and
// the 152-158 beyond NMEA's range; also as used in GSA.
TEST(HealthSatellites, SbasNumbers) {
  struct Case {
    const char* name;
    int listed;
    int id;
  };
  const Case cases[] = {{"NMEA 33", 33, 33},  {"NMEA 64", 64, 64},  {"PRN 120", 120, 33},
                        {"PRN 131", 131, 44}, {"PRN 151", 151, 64}, {"PRN 152", 152, 152},
                        {"PRN 158", 158, 158}};
  for (const Case& c : cases) {
    Rig rig;
    char gsv[64];
    char gsa[64];
    std::snprintf(gsv, sizeof gsv, "GPGSV,1,1,01,%d,30,200,40", c.listed);
    std::snprintf(gsa, sizeof gsa, "GPGSA,A,3,%d,,,,,,,,,,,,2.0,1.0,1.7", c.listed);
    rig.Feed(NmeaSentence(gsv));
    rig.Feed(NmeaSentence(gsa));
    const HealthState s = rig.health.State();
    ASSERT_EQ(s.satellites.size(), 1u) << c.name;
    EXPECT_EQ(s.satellites[0].id, c.id) << c.name;
    EXPECT_EQ(s.satellites[0].system, Constellation::kSbas) << c.name;
    EXPECT_TRUE(s.satellites[0].used) << c.name;
    EXPECT_EQ(s.counts[static_cast<std::size_t>(Constellation::kSbas)], (ConstellationCount{1, 1}))
        << c.name;
  }
}

// The main window's numbers, per talker and per NMEA 4.10 system ID.
TEST(HealthSatellites, NumberedAsTheMainWindow) {
  struct Case {
    const char* talker;
    int system_id;
    int number;
    int id;
  };
  const Case cases[] = {{"GP", 0, 17, 17},  {"GL", 0, 5, 69},   {"GL", 0, 70, 70},
                        {"GA", 0, 12, 312}, {"GB", 0, 30, 430}, {"BD", 0, 213, 413},
                        {"GQ", 0, 2, 194},  {"GN", 2, 73, 73},  {"GN", 3, 5, 305},
                        {"GN", 4, 22, 422}, {"GN", 5, 3, 195},  {"GN", 0, 82, 82},
                        {"GP", 0, 0, 0},    {"GA", 0, 99, 0},   {"GN", 6, 3, 0}};
  for (const Case& c : cases)
    EXPECT_EQ(HealthSatId(c.talker, c.system_id, c.number), c.id)
        << c.talker << " " << c.system_id << " " << c.number;
}

// One satellite heard on two bands shows once, with its stronger signal.
TEST(HealthSatellites, TwoSignalsOfOneSatelliteShowOnce) {
  Rig rig;
  rig.Feed(NmeaSentence("GPGSV,1,1,01,08,37,282,42,1"));
  rig.Feed(NmeaSentence("GPGSV,1,1,01,08,37,282,47,8"));
  const HealthState s = rig.health.State();
  ASSERT_EQ(s.satellites.size(), 1u);
  EXPECT_EQ(s.satellites[0].cn0, 47);
}

TEST(HealthSatellites, ABandNotHeardForTenSecondsLeaves) {
  Rig rig;
  rig.Feed(NmeaSentence("GLGSV,1,1,01,70,37,282,42"));
  rig.clock.now += 10000;
  EXPECT_EQ(rig.health.State().satellites.size(), 1u);
  rig.clock.now += 1;
  EXPECT_TRUE(rig.health.State().satellites.empty());
}

// Time to first fix counts from the open (or a restart) to the first valid fix, then
// stays; the age of the fix goes on.
TEST(HealthFix, TimeToFirstFixFromOpenAndFromRestart) {
  Rig rig;
  rig.health.OnStatus(kNoDevice);
  rig.clock.now += 5000;
  rig.health.OnStatus(kConnecting);
  rig.clock.now += 31400;
  EXPECT_FALSE(rig.health.State().ttff);
  EXPECT_EQ(rig.health.State().ttff_elapsed, 31400);
  rig.Feed(NmeaSentence("GPGSA,A,1,,,,,,,,,,,,,,,"));
  rig.Feed(NmeaSentence("GPRMC,120000.00,V,,,,,,,071226,,"));
  EXPECT_FALSE(rig.health.State().ttff);
  rig.clock.now += 600;
  rig.Feed(NmeaSentence("GPGGA,120001.00,4807.038,N,01131.000,E,1,05,1.5,545.4,M,46.9,M,,"));
  rig.clock.now += 2500;
  HealthState s = rig.health.State();
  EXPECT_EQ(s.ttff, 32000);
  EXPECT_EQ(s.ttff_elapsed, 32000);
  EXPECT_EQ(s.fix_age, 2500);

  // The restart reaches the receiver after a fix or two of before.
  rig.health.RestartTimeToFix();
  rig.clock.now += 200;
  rig.Feed(NmeaSentence("GPGSA,A,3,01,02,03,,,,,,,,,,2.0,1.0,1.7"));
  EXPECT_FALSE(rig.health.State().ttff);
  rig.clock.now += 100;
  rig.Feed(NmeaSentence("GPGGA,120009.00,,,,,0,00,99.99,,M,,M,,"));
  rig.clock.now += 400;
  EXPECT_FALSE(rig.health.State().ttff);
  EXPECT_EQ(rig.health.State().ttff_elapsed, 700);
  rig.Feed(NmeaSentence("GPGSA,A,3,01,02,03,,,,,,,,,,2.0,1.0,1.7"));
  EXPECT_EQ(rig.health.State().ttff, 700);
}

// A status from the UBX messages tells SBAS and DGPS; without one, GGA's quality 2 does.
TEST(HealthFix, CorrectionsFromTheUbxStatusOrGga) {
  Rig rig;
  rig.Feed(NmeaSentence("GPGGA,120001.00,4807.038,N,01131.000,E,2,05,1.5,545.4,M,46.9,M,,"));
  EXPECT_TRUE(rig.health.State().dgps_applied);
  EXPECT_FALSE(rig.health.State().ubx_status);
  TGPS gps;
  gps.WAASActive = true;
  gps.DGPSState = 1;
  rig.health.OnStatus("Connected, 3D Fix, WAAS, No DGPS, 7 SVs");
  rig.health.OnFix(gps);
  HealthState s = rig.health.State();
  EXPECT_TRUE(s.ubx_status);
  EXPECT_TRUE(s.sbas_on);
  EXPECT_FALSE(s.dgps_applied);
  gps.DGPSState = 2;
  rig.health.OnFix(gps);
  EXPECT_TRUE(rig.health.State().dgps_applied);
}

// The receiver's UTC from RMC (with its date) and ZDA, and the system clock against it at
// the sentence's arrival.
TEST(HealthTime, UtcAndClockOffset) {
  struct Case {
    const char* name;
    std::string sentence;
    std::int64_t utc;
  };
  const Case cases[] = {
      {"RMC", NmeaSentence("GPRMC,221320.00,A,4807.038,N,01131.000,E,0.0,0.0,141123,,"),
       kWallStart},
      {"ZDA", NmeaSentence("GPZDA,221319.75,14,11,2023,00,00"), kWallStart - 250},
      {"leap day", NmeaSentence("GPZDA,000000.00,29,02,2024,00,00"), 1'709'164'800'000},
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.wall = kWallStart + 120;
    rig.Feed(c.sentence);
    const HealthState s = rig.health.State();
    EXPECT_EQ(s.utc_ms, c.utc) << c.name;
    EXPECT_EQ(s.clock_offset_ms, kWallStart + 120 - c.utc) << c.name;
  }
  Rig rig;
  rig.Feed(NmeaSentence("GPZDA,256000.00,14,11,2023,00,00"));
  rig.Feed(NmeaSentence("GPRMC,,V,,,,,,,,,"));
  EXPECT_FALSE(rig.health.State().utc_ms) << "no time is made up";
}

// Closing the module forgets the sky; the fix's age and the time stay as last known.
TEST(HealthFix, ClosedModuleForgetsTheSky) {
  Rig rig;
  rig.health.OnStatus(kConnecting);
  rig.Feed(NmeaSentence("GPGSV,1,1,01,07,40,100,30"));
  rig.Feed(NmeaSentence("GPGSA,A,3,07,,,,,,,,,,,,2.0,1.0,1.7"));
  rig.health.OnStatus(kNoDevice);
  const HealthState s = rig.health.State();
  EXPECT_TRUE(s.satellites.empty());
  EXPECT_EQ(s.used_count, 0);
  EXPECT_EQ(s.fix_type, 0);
  EXPECT_FALSE(s.pdop);
}

}  // namespace
}  // namespace ostrel
