// The window for the keyboard and in a screen reader's words, on Qt's offscreen
// platform: the controls as the window builds them, without the panel behind them.
#include "app/window_access.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QMainWindow>
#include <QPushButton>
#include <QScrollArea>
#include <QTableWidget>
#include <QTest>
#include <algorithm>
#include <vector>

#include "app/main_form_ui.h"
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
  EXPECT_EQ(SatelliteTableDescription(gps),
            "2 satellites in rows 2 to 3; row 1 holds the column titles");
  for (int prn = 1; prn <= 14; ++prn) gps.Sat[static_cast<std::size_t>(prn)].Used = true;
  // The table has room for twelve.
  EXPECT_EQ(SatelliteTableDescription(gps),
            "15 satellites in rows 2 to 13; row 1 holds the column titles");
}

}  // namespace
}  // namespace ostrel
