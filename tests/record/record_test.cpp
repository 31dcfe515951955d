// The track recorder over real captures and made-up sentences: the points of each epoch,
// segments at gaps and lost fixes, files whole after every write, rotation by size and at
// UTC midnight on the fake clock, a full disk (a file size limit), refused folders.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "record/nmea_fix.h"
#include "record/record_settings.h"
#include "record/times_file.h"
#include "record/track_recorder.h"
#include "support/corpus.h"
#include "support/fake_clock.h"
#include "support/nmea_sentence.h"
#include "support/temp_dir.h"

namespace ostrel {
namespace {

using test::FakeClock;
using test::NmeaSentence;
using test::ReadAll;
using test::TempDir;

// 2026-12-07T23:59:50Z
constexpr std::int64_t kLateEvening = 1796687990000;

std::vector<TrackPoint> PointsOf(std::string_view text) {
  std::vector<TrackPoint> points;
  FixAssembler assembler;
  SentenceSplitter splitter;
  auto take = [&](std::optional<FixAssembler::Epoch> e) {
    if (e && e->point) points.push_back(*e->point);
  };
  splitter.Feed(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                [&](std::string_view line) { take(assembler.Take(line)); });
  take(assembler.Finish());
  return points;
}

// One second of a receiver: RMC, GGA (quality `q`), GSA, at hhmmss `time`.
std::string Second(const std::string& time, int q = 1, const std::string& date = "071226",
                   const std::string& lat = "4807.038") {
  return NmeaSentence("GPRMC," + time + ".00," + (q > 0 ? "A" : "V") + "," + lat +
                      ",N,01131.000,E,10.0,84.4," + date + ",,,A") +
         NmeaSentence("GPGGA," + time + ".00," + lat + ",N,01131.000,E," + std::to_string(q) +
                      ",08,0.9,545.4,M,46.9,M,,") +
         NmeaSentence("GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1");
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(FixAssembler, OneCompletePointPerEpochOfARealReceiver) {
  const std::string capture = test::WithCrLf(test::ReadCapture("ublox-8.log"));
  const std::vector<TrackPoint> points = PointsOf(capture);
  ASSERT_GT(points.size(), 50u);
  const TrackPoint& p = points.front();
  // $GNRMC,000941.00,...,100117 / $GNGGA,...,1,12,1.01,1144.8 / $GNGSA,A,3,...,1.71,1.01,1.38
  EXPECT_EQ(FormatUtc(p), "2017-01-10T00:09:41Z");
  EXPECT_NEAR(p.latitude, 44 + 4.13387 / 60, 1e-9);
  EXPECT_NEAR(p.longitude, -(121 + 18.85628 / 60), 1e-9);
  EXPECT_EQ(p.elevation, 1144.8);
  EXPECT_EQ(p.fix, FixKind::k3d);
  EXPECT_EQ(p.satellites, 12);
  EXPECT_EQ(p.hdop, 1.01);
  EXPECT_EQ(p.vdop, 1.38);
  EXPECT_EQ(p.pdop, 1.71);
  EXPECT_NEAR(*p.speed, 0.029 * 1852 / 3600, 1e-9);
  for (std::size_t i = 1; i < points.size(); ++i)
    EXPECT_GT(*points[i].UtcMs(), *points[i - 1].UtcMs()) << i;
}

TEST(FixAssembler, DateCarriesOverMidnightAndFixKinds) {
  // The date comes with the first epoch only; the epoch after midnight is the next day.
  std::string text = Second("235959", 1) + NmeaSentence(
                                               "GPGGA,000000.00,4807.038,N,01131.000,E,"
                                               "2,08,0.9,545.4,M,46.9,M,,");
  const std::vector<TrackPoint> points = PointsOf(text);
  ASSERT_EQ(points.size(), 2u);
  EXPECT_EQ(FormatUtc(points[0]), "2026-12-07T23:59:59Z");
  EXPECT_EQ(FormatUtc(points[1]), "2026-12-08T00:00:00Z");
  EXPECT_EQ(points[1].fix, FixKind::kDgps);
  // No fix, a broken checksum, a dead-reckoned fix: no point.
  std::string bad = Second("100000", 0);
  std::string broken = Second("100001");
  broken[broken.find('*') + 1] ^= 1;
  const std::string reckoned =
      NmeaSentence("GPGGA,100002.00,4807.038,N,01131.000,E,6,08,0.9,545.4,M,46.9,M,,");
  EXPECT_TRUE(PointsOf(bad + broken.substr(0, broken.find('\n') + 1) + reckoned).empty());
}

class Recording : public ::testing::Test {
 protected:
  RecordOptions Options(RecordFormats formats = {true, true, true}) {
    RecordOptions o;
    o.folder = dir.File("tracks");
    o.formats = formats;
    o.clock = &clock;
    o.utc_at_zero = kLateEvening;
    return o;
  }
  void Feed(TrackRecorder& r, const std::string& text) {
    r.Feed(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  }
  std::string File(const TrackRecorder& r, const std::string& ext, std::size_t set = 0) {
    std::vector<std::string> of;
    for (const std::string& f : r.Files())
      if (f.size() > ext.size() && f.compare(f.size() - ext.size(), ext.size(), ext) == 0)
        of.push_back(f);
    return set < of.size() ? of[set] : std::string();
  }

  TempDir dir;
  FakeClock clock;
  std::vector<std::string> failures;
  TrackRecorder::FailureSink sink = [this](const std::string& m) { failures.push_back(m); };
};

TEST_F(Recording, GpxIsWholeAfterEveryPointAndSegmentsSplitAtGapsAndLostFixes) {
  TrackRecorder r(Options(), sink);
  // 10:00:00..02 a stretch; 10:00:08 after 6 s: a new one; 10:00:13 after exactly 5 s:
  // the same; 10:00:14 no fix; 10:00:15 a third stretch.
  const char* times[] = {"100000", "100001", "100002", "100008", "100013"};
  for (const char* t : times) {
    Feed(r, Second(t));
    const std::string gpx = ReadAll(File(r, ".gpx"));
    EXPECT_EQ(gpx.substr(gpx.size() - 7), "</gpx>\n") << t;
    EXPECT_EQ(Count(gpx, "<trkseg>"), Count(gpx, "</trkseg>")) << t;
  }
  Feed(r, Second("100014", 0) + Second("100015"));
  r.Close();
  const std::string gpx = ReadAll(File(r, ".gpx"));
  EXPECT_EQ(Count(gpx, "<trkpt "), 6);
  // The room reserved ahead for the next points went back when the file closed.
  struct stat st {};
  ASSERT_EQ(::stat(File(r, ".gpx").c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, 16 * 1024);
  EXPECT_EQ(Count(gpx, "<trkseg>"), 3);
  EXPECT_NE(gpx.find("<trkpt lat=\"48.11730000\" lon=\"11.51666667\"><ele>545.40</ele>"
                     "<time>2026-12-07T10:00:00Z</time><fix>3d</fix><sat>8</sat>"
                     "<hdop>0.90</hdop><vdop>2.10</vdop><pdop>2.50</pdop></trkpt>"),
            std::string::npos)
      << gpx;
  const std::string csv = ReadAll(File(r, ".csv"));
  EXPECT_EQ(csv.substr(0, kCsvHeader.size()), kCsvHeader);
  EXPECT_NE(csv.find("\r\n2026-12-07T10:00:00Z,48.11730000,11.51666667,545.40,5.144,84.40,3d,8,"
                     "0.90\r\n"),
            std::string::npos)
      << csv;
  EXPECT_EQ(Count(csv, "\r\n"), 7);
  // Every sentence as received, each with its time.
  const std::string nmea = ReadAll(File(r, ".nmea"));
  EXPECT_EQ(nmea, [&] {
    std::string all;
    for (const char* t : times) all += Second(t);
    return all + Second("100014", 0) + Second("100015");
  }());
  bool found = false;
  EXPECT_EQ(ReadTimesFor(File(r, ".nmea"), found).size(), 21u);
  EXPECT_TRUE(found);
  EXPECT_TRUE(failures.empty());
}

TEST_F(Recording, NewFilesPastTheSizeLimitAndAtUtcMidnight) {
  RecordOptions o = Options({true, true, false});
  o.utc_at_zero = kLateEvening - Millis{12} * 3600 * 1000;
  o.rotate_bytes = 3000;
  TrackRecorder r(o, sink);
  int second = 0;
  auto next = [&] {
    char t[32];
    std::snprintf(t, sizeof t, "10%02d%02d", second / 60, second % 60);
    ++second;
    Feed(r, Second(t));
  };
  while (r.Files().size() < 4) next();  // two GPX + CSV sets
  const std::string first = ReadAll(File(r, ".gpx", 0));
  EXPECT_GE(first.size(), 2500u);
  EXPECT_LT(first.size(), 3400u);
  EXPECT_EQ(first.substr(first.size() - 7), "</gpx>\n");
  // Two sets in one second: the second gets a suffix.
  EXPECT_EQ(std::filesystem::path(File(r, ".gpx", 0)).filename(), "2026-12-07T11-59-50Z.gpx");
  EXPECT_NE(File(r, ".gpx", 1).find("Z-1.gpx"), std::string::npos) << File(r, ".gpx", 1);

  // UTC midnight on the clock: the next sentence starts a new set, named by the new day.
  clock.Set(0);
  TrackRecorder late(Options({true, false, false}), sink);
  Feed(late, Second("235955"));
  clock.Set(10'000);
  Feed(late, Second("235956"));
  ASSERT_EQ(late.Files().size(), 2u);
  EXPECT_EQ(std::filesystem::path(late.Files()[1]).filename(), "2026-12-08T00-00-00Z.gpx");
  EXPECT_TRUE(failures.empty());
}

TEST_F(Recording, FullDiskStopsOnceAndLeavesWholeFiles) {
  TrackRecorder r(Options(), sink);
  Feed(r, Second("100000") + Second("100001"));
  // The file size limit stands in for a full disk: writes past it fail part-way.
  const std::int64_t gpx_size = static_cast<std::int64_t>(ReadAll(File(r, ".gpx")).size());
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = static_cast<rlim_t>(gpx_size + 150);
  ::setrlimit(RLIMIT_FSIZE, &small);
  for (int s = 2; s < 9; ++s) Feed(r, Second("10000" + std::to_string(s)));
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, SIG_DFL);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_NE(failures[0].find("File too large"), std::string::npos) << failures[0];
  EXPECT_TRUE(r.Failed());
  const std::string gpx = ReadAll(File(r, ".gpx"));
  EXPECT_EQ(gpx.substr(gpx.size() - 7), "</gpx>\n") << gpx;
  EXPECT_EQ(Count(gpx, "<trkseg>"), Count(gpx, "</trkseg>"));
  const std::string csv = ReadAll(File(r, ".csv"));
  EXPECT_EQ(csv.back(), '\n');
  // Sentences and times stay in step.
  const std::string nmea = ReadAll(File(r, ".nmea"));
  bool found = false;
  EXPECT_EQ(ReadTimesFor(File(r, ".nmea"), found).size(),
            static_cast<std::size_t>(Count(nmea, "\r\n")));
  Feed(r, Second("100010"));
  EXPECT_EQ(failures.size(), 1u);
}

TEST_F(Recording, FolderLinkedToAnotherUsersFolderIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
  const std::string theirs = dir.File("theirs");
  std::filesystem::create_directory(theirs);
  ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  std::filesystem::create_directory_symlink(theirs, dir.File("tracks"));
  TrackRecorder r(Options(), sink);
  Feed(r, Second("100000"));
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_NE(failures[0].find("link to a folder of another user"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(theirs));
  // A link to a folder of ours is fine.
  std::filesystem::remove(dir.File("tracks"));
  std::filesystem::create_directory(dir.File("ours"));
  std::filesystem::create_directory_symlink(dir.File("ours"), dir.File("tracks"));
  EXPECT_EQ(RefuseRecordFolder(dir.File("tracks")), "");
}

TEST(RecordSettings, FormatsAndTimes) {
  std::vector<std::string> rejected;
  EXPECT_EQ(ParseRecordFormats(" GPX; nmea,kml", &rejected), (RecordFormats{true, false, true}));
  EXPECT_EQ(rejected, std::vector<std::string>{"kml"});
  EXPECT_EQ(FormatRecordFormats({true, true, false}), "gpx,csv");
  EXPECT_EQ(TimesPathFor("a.b/2026.nmea"), "a.b/2026.times");
  EXPECT_EQ(TimesPathFor("dir/.nmea"), "dir/.nmea.times");
  EXPECT_EQ(TimesPathFor("walk.txt"), "walk.txt.times");
  // Stops at a time that runs backwards and at a line cut short.
  EXPECT_EQ(ParseTimes("#ostrel-times 1 x\n0\n5\r\n9\n7\n10\n"), (std::vector<Millis>{0, 5, 9}));
  EXPECT_EQ(ParseTimes("0\n12\n13"), (std::vector<Millis>{0, 12}));
}

}  // namespace
}  // namespace ostrel
