#include "gps/fix_display.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/corpus.h"

namespace ostrel {
namespace {

// SatGrid as the window holds it; every cell starts as "?" so an unwritten one shows.
class GridView : public FixView {
 public:
  GridView() {
    for (auto& row : cells) row.fill("?");
  }
  void SetFixTexts(const std::string& mode, const std::string& latitude,
                   const std::string& longitude, const std::string& elevation,
                   const std::string& speed) override {
    texts = {mode, latitude, longitude, elevation, speed};
    ++text_updates;
  }
  void SetSatCell(int row, int col, std::string_view text) override {
    ASSERT_GE(row, kSatGridFirstRow);
    ASSERT_LE(row, kSatGridLastRow);
    ASSERT_GE(col, 0);
    ASSERT_LT(col, kSatGridColumns);
    cells[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)] = std::string(text);
    ++cell_writes;
  }
  std::vector<std::string> Row(int row) const {
    const auto& r = cells[static_cast<std::size_t>(row)];
    return {r.begin(), r.end()};
  }

  std::array<std::array<std::string, kSatGridColumns>, kSatGridLastRow + 1> cells;
  std::array<std::string, 5> texts;
  int text_updates = 0;
  int cell_writes = 0;
};

const std::vector<std::string> kBlankRow{"", "", "", ""};

void Use(TGPS& gps, int prn, int32_t elevation, int32_t azimuth, int32_t snr) {
  gps.Sat[static_cast<std::size_t>(prn)] = {true, elevation, azimuth, snr};
}

TEST(FixDisplay, WritesTheFiveTextsToTheirOwnLabels) {
  TGPS gps;
  gps.FixModeText = "DGPS";
  gps.LatitudeText = "48.117298 N";
  gps.LongitudeText = "11.516666 E";
  gps.ElevationText = "545.4 M";
  gps.SpeedText = "010.2 K";
  GridView view;
  UpdateFixDisplay(gps, view);
  EXPECT_EQ(view.texts, (std::array<std::string, 5>{"DGPS", "48.117298 N", "11.516666 E", "545.4 M",
                                                    "010.2 K"}));
  // Unchanged texts are written again all the same.
  UpdateFixDisplay(gps, view);
  EXPECT_EQ(view.text_updates, 2);
}

TEST(FixDisplay, UsedSatellitesFillRowsInPrnOrderAndTheRestIsBlank) {
  TGPS gps;
  Use(gps, 22, 7, 178, 32);
  Use(gps, 3, 28, 95, 33);
  Use(gps, 17, 30, 150, 46);
  gps.Sat[5] = {false, 60, 200, 50};  // in view, not used
  GridView view;
  UpdateFixDisplay(gps, view);
  EXPECT_EQ(view.Row(1), (std::vector<std::string>{"3", "28", "95", "33"}));
  EXPECT_EQ(view.Row(2), (std::vector<std::string>{"17", "30", "150", "46"}));
  EXPECT_EQ(view.Row(3), (std::vector<std::string>{"22", "7", "178", "32"}));
  for (int row = 4; row <= kSatGridLastRow; ++row) EXPECT_EQ(view.Row(row), kBlankRow) << row;
  EXPECT_EQ(view.Row(0), (std::vector<std::string>{"?", "?", "?", "?"})) << "header touched";
  EXPECT_EQ(view.cell_writes, 48);
}

TEST(FixDisplay, UsedSatelliteWithoutGsvDataShowsZeros) {
  TGPS gps;
  gps.Sat[9].Used = true;
  GridView view;
  UpdateFixDisplay(gps, view);
  EXPECT_EQ(view.Row(1), (std::vector<std::string>{"9", "0", "0", "0"}));
}

TEST(FixDisplay, RowsOfAnEarlierTickAreBlankedWhenFewerSatellitesAreUsed) {
  TGPS gps;
  for (int prn : {1, 4, 8, 12, 31}) Use(gps, prn, 10, 20, 30);
  GridView view;
  UpdateFixDisplay(gps, view);
  EXPECT_EQ(view.Row(5)[0], "31");
  for (int prn : {1, 8, 12}) gps.Sat[static_cast<std::size_t>(prn)].Used = false;
  UpdateFixDisplay(gps, view);
  EXPECT_EQ(view.Row(1)[0], "4");
  EXPECT_EQ(view.Row(2)[0], "31");
  for (int row = 3; row <= kSatGridLastRow; ++row) EXPECT_EQ(view.Row(row), kBlankRow) << row;
}

TEST(FixDisplay, MoreThanTwelveUsedFlagsStopAtRowTwelve) {
  TGPS gps;
  for (int prn = 1; prn <= kMaxPrn; ++prn) Use(gps, prn, prn, 2 * prn, 3 * prn);
  GridView view;
  UpdateFixDisplay(gps, view);  // GridView fails the test on a write outside rows 1..12
  EXPECT_EQ(view.Row(12), (std::vector<std::string>{"12", "12", "24", "36"}));
  EXPECT_EQ(view.cell_writes, 48);
}

TEST(FixDisplay, NumbersAreDecimalWithoutLeadingZeros) {
  TGPS gps;
  Use(gps, 2, -5, 359, 0);  // a receiver may report a satellite just below the horizon
  GridView view;
  UpdateFixDisplay(gps, view);
  EXPECT_EQ(view.Row(1), (std::vector<std::string>{"2", "-5", "359", "0"}));
}

// The first complete cycle of a real Antaris capture, parsed and shown.
TEST(FixDisplay, RealAntarisCycleFillsTheGrid) {
  const std::string capture = test::ReadCapture("ublox-lea-4h.log");
  // Up to the GLL after the first fix: ZDA RMC VTG GGA GSA GSV GLL, with LF line ends
  // turned into the CR LF the module sends.
  const std::string first_fix = "$GPGLL,4907.85331";
  const std::size_t end = capture.find('\n', capture.find(first_fix));
  const std::size_t start = capture.rfind("$GPRMC", end);
  std::string chunk;
  for (char ch : capture.substr(start, end + 1 - start)) {
    if (ch == '\n') chunk += '\r';
    chunk += ch;
  }
  TGPS gps;
  ASSERT_TRUE(gps.ParseNMEA(chunk.data(), static_cast<int32_t>(chunk.size())));
  GridView view;
  UpdateFixDisplay(gps, view);
  EXPECT_EQ(view.texts[0], "SPS");
  EXPECT_EQ(view.texts[3], "516.7 M");
  EXPECT_EQ(view.texts[4], "1.943 K");
  // $GPGSA,A,2,28,04,02,... and $GPGSV,1,1,03,28,28,095,33,04,30,150,45,02,07,178,31
  EXPECT_EQ(view.Row(1), (std::vector<std::string>{"2", "7", "178", "31"}));
  EXPECT_EQ(view.Row(2), (std::vector<std::string>{"4", "30", "150", "45"}));
  EXPECT_EQ(view.Row(3), (std::vector<std::string>{"28", "28", "95", "33"}));
  EXPECT_EQ(view.Row(4), kBlankRow);
}

}  // namespace
}  // namespace ostrel
