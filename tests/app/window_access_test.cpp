// The window for the keyboard and in a screen reader's words, on Qt's offscreen
// platform: the controls as the window builds them, without the panel behind them.
#include "app/window_access.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QAction>
#include <QHeaderView>
#include <QMainWindow>
#include <QPushButton>
#include <QScrollArea>
#include <QTableWidget>
#include <QTest>
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "app/main_form_ui.h"
#include "gps/fix_display.h"
#include "gps/tgps.h"

namespace ostrel {
namespace {

class AccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_.Setup(&window_);
    SetUpAccess(ui_);
    window_.show();
    window_.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window_));
  }
  QMainWindow window_;
  MainFormUi ui_;
};

TEST_F(AccessTest, ReturnAndEnterOnAFocusedButtonClickIt) {
  const auto buttons = ui_.Client->findChildren<QPushButton*>();
  ASSERT_GE(buttons.size(), 9);
  for (QPushButton* button : buttons) {
    SCOPED_TRACE(button->objectName().toStdString());
    ui_.PageControl->setCurrentWidget(ui_.DataStreamPage->isAncestorOf(button) ? ui_.DataStreamPage
                                                                               : ui_.SettingsPage);
    int clicks = 0;
    auto c = QObject::connect(button, &QAbstractButton::clicked, [&] { ++clicks; });
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Return);
    QTest::keyClick(button, Qt::Key_Enter);
    EXPECT_EQ(clicks, 2);
    QObject::disconnect(c);
  }
}

TEST_F(AccessTest, CtrlQChoosesExit) {
  int exits = 0;
  QObject::connect(ui_.Exit, &QAction::triggered, [&] { ++exits; });
  QTest::keyClick(&window_, Qt::Key_Q, Qt::ControlModifier);
  EXPECT_EQ(exits, 1);
  EXPECT_EQ(ui_.Exit->text(), QStringLiteral("E&xit"));
  EXPECT_EQ(ui_.Demonstration->text(), QStringLiteral("&Demonstration"));
}

// Every Tab stop on the Settings page shows where it is, and the satellites are one.
TEST_F(AccessTest, TabReachesTheSatellitesAndNoInvisibleStop) {
  FocusFirstControl(ui_);
  ASSERT_NE(window_.focusWidget(), nullptr);
  std::vector<QWidget*> stops;
  for (int i = 0; i < 40; ++i) {
    QWidget* at = window_.focusWidget();
    if (!stops.empty() && at == stops.front()) break;
    stops.push_back(at);
    QTest::keyClick(at, Qt::Key_Tab);
  }
  EXPECT_NE(std::find(stops.begin(), stops.end(), ui_.SatGrid), stops.end());
  for (QWidget* stop : stops) {
    SCOPED_TRACE(stop->metaObject()->className());
    EXPECT_EQ(qobject_cast<QScrollArea*>(stop), nullptr) << "a stop that draws no focus";
  }
}

TEST(AccessWords, UnitsAreSpelledOut) {
  EXPECT_EQ(SpokenSpeed("45.000 K"), "45.000 kilometres per hour");
  EXPECT_EQ(SpokenAltitude("545.4 M"), "545.4 metres");
  // Another unit, or none yet, is read as shown.
  EXPECT_EQ(SpokenAltitude("12.0 F"), "12.0 F");
  EXPECT_EQ(SpokenSpeed(""), "");
  EXPECT_EQ(SpokenSpeed(" K"), "");
}

TEST(AccessWords, SkyPlotSaysEachSatelliteDrawn) {
  TGPS gps;
  EXPECT_EQ(SkyPlotDescription(gps), "No satellites drawn");
  gps.Sat[5] = {true, 40, 120, 33};
  gps.Sat[7] = {false, 10, 10, 0};  // tracked, not used: not drawn
  gps.Sat[302] = {true, 75, 280, 41};
  EXPECT_EQ(SkyPlotDescription(gps),
            "2 satellites drawn: satellite 5 at elevation 40 degrees, azimuth 120 degrees; "
            "satellite 302 at elevation 75 degrees, azimuth 280 degrees");
}

// The satellites as the display writes them, into the window's table.
class GridView final : public FixView {
 public:
  explicit GridView(SatTable& table) : table_(table) {}
  void SetFixTexts(const std::string&, const std::string&, const std::string&, const std::string&,
                   const std::string&) override {}
  void SetSatCell(int row, int col, std::string_view text) override {
    table_.SetCell(row, col, text);
  }

 private:
  SatTable& table_;
};

// The first `count` satellites in the fix, the others not.
void UseSatellites(TGPS& gps, int count) {
  for (int prn = 1; prn <= kMaxSatId; ++prn)
    gps.Sat[static_cast<std::size_t>(prn)] =
        prn <= count ? TSatellite{true, 10 + prn, 20 * prn, 30 + prn} : TSatellite{};
}

void WriteTitles(SatTable& table) {
  constexpr const char* kTitles[] = {"ID", "Elevation", "Azimuth", "SNR"};
  for (int c = 0; c < kGridColumns; ++c) table.SetCell(0, c, kTitles[c]);
}

// A screen reader reads the titles as the columns' headers and as many rows as
// satellites are listed, up to the twelve the table has room for.
TEST_F(AccessTest, SatelliteTableHasTitledColumnsAndARowPerSatellite) {
  WriteTitles(*ui_.SatGrid);
  GridView view(*ui_.SatGrid);
  QAccessibleInterface* table = QAccessible::queryAccessibleInterface(ui_.SatGrid);
  ASSERT_NE(table, nullptr);
  ASSERT_NE(table->tableInterface(), nullptr);
  QStringList headers;
  for (int c = 0; c < table->tableInterface()->columnCount(); ++c)
    headers << table->tableInterface()->columnDescription(c);
  EXPECT_EQ(headers, QStringList({"ID", "Elevation", "Azimuth", "SNR"}));
  TGPS gps;
  for (int used : {3, 14, 0, 1}) {
    SCOPED_TRACE(used);
    UseSatellites(gps, used);
    UpdateFixDisplay(gps, view);
    EXPECT_EQ(table->tableInterface()->rowCount(), std::min(used, 12));
  }
  EXPECT_EQ(table->tableInterface()->cellAt(0, 2)->text(QAccessible::Name), QStringLiteral("20"));
  EXPECT_EQ(ui_.SatGrid->Cell(0, 3), QStringLiteral("SNR"));
  EXPECT_EQ(ui_.SatGrid->Cell(1, 3), QStringLiteral("31"));
  EXPECT_EQ(ui_.SatGrid->Cell(2, 0), QString());
}

// The title row and the empty rows look as the grid of thirteen rows drew them, its
// title row among its cells: the same pixels, live and greyed.
TEST_F(AccessTest, SatelliteTableLooksAsTheThirteenRowGridDid) {
  auto* grid = new QTableWidget(kGridRows, kGridColumns, ui_.SatelliteGroup);
  grid->setGeometry(ui_.SatGrid->geometry());
  grid->horizontalHeader()->hide();
  grid->verticalHeader()->hide();
  grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  grid->setSelectionMode(QAbstractItemView::NoSelection);
  grid->setFocusPolicy(Qt::StrongFocus);
  grid->setTextElideMode(Qt::ElideNone);
  for (int c = 0; c < kGridColumns; ++c) grid->setColumnWidth(c, 50);
  for (int r = 0; r < kGridRows; ++r) {
    grid->setRowHeight(r, 24);
    for (int c = 0; c < kGridColumns; ++c) {
      auto* item = new QTableWidgetItem;
      if (r == 0) item->setBackground(grid->palette().button());
      grid->setItem(r, c, item);
    }
  }
  grid->show();
  WriteTitles(*ui_.SatGrid);
  GridView view(*ui_.SatGrid);
  TGPS gps;
  for (int used : {0, 5, 12}) {
    UseSatellites(gps, used);
    UpdateFixDisplay(gps, view);
    for (int r = 0; r < kGridRows; ++r)
      for (int c = 0; c < kGridColumns; ++c) grid->item(r, c)->setText(ui_.SatGrid->Cell(r, c));
    for (bool live : {true, false}) {
      SCOPED_TRACE(used * 10 + live);
      ui_.SatGrid->setEnabled(live);
      grid->setEnabled(live);
      EXPECT_EQ(ui_.SatGrid->grab().toImage(), grid->grab().toImage());
    }
  }
}

}  // namespace
}  // namespace ostrel
