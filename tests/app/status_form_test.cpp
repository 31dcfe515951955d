// The Receiver Status window: its two pictures at their computed pixels at scale 1 and 2,
// and the window opened from the menus, held, named for screen readers and put back where
// it was.
#include "app/status_form.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <memory>
#include <string>

#include "app/main_form.h"
#include "app/status_draw.h"
#include "app_test_support.h"
#include "engine/panel_engine.h"
#include "support/nmea_sentence.h"

namespace ostrel {
namespace {

using test::NmeaSentence;

QImage Chart(const std::vector<SatelliteInView>& sats, QSize logical, double scale) {
  QImage image = NewStatusImage(logical, scale);
  QPainter painter(&image);
  DrawSignalChart(painter, logical, sats, scale);
  return image;
}

QImage Scatter(const AccuracyFigures& f, QSize logical, double scale) {
  QImage image = NewStatusImage(logical, scale);
  QPainter painter(&image);
  DrawScatter(painter, logical, f, scale);
  return image;
}

// Whether `colour` is within one pixel of `at`: Qt's ellipse may round either way.
bool Near(const QImage& image, QPoint at, const QColor& colour) {
  for (int dx = -1; dx <= 1; ++dx)
    for (int dy = -1; dy <= 1; ++dy)
      if (image.pixelColor(at.x() + dx, at.y() + dy) == colour) return true;
  return false;
}

// Three satellites on a 400 x 170 chart: the plot runs from x 28 to 394 and y 8 to 140
// (scale 1), 22 pixels a bar at most, bars two thirds of it, 132 pixels for 60 dB-Hz.
TEST(StatusDrawing, BarsStandAtTheirComputedPixels) {
  const std::vector<SatelliteInView> sats = {
      {5, Constellation::kGps, 40, 100, 42, true},
      {70, Constellation::kGlonass, 20, 200, 30, false},
      {305, Constellation::kGalileo, 10, 300, -1, false},
  };
  struct Case {
    double scale;
    QRect first;   // GPS 5, 42 dB-Hz
    QRect second;  // GLONASS 70, 30 dB-Hz
  };
  const Case cases[] = {
      // left 28 + floor(22 / 6); width floor(22 * 2 / 3); height round(132 * 42 / 60)
      {1, QRect(31, 140 - 92, 14, 92), QRect(28 + 25, 140 - 66, 14, 66)},
      // left 56 + floor(44 / 6); width floor(44 * 2 / 3); height round(264 * 42 / 60)
      {2, QRect(63, 280 - 185, 29, 185), QRect(56 + 51, 280 - 132, 29, 132)},
  };
  const QSize logical(400, 170);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scale);
    EXPECT_EQ(BarRect(0, 3, 42, logical, c.scale), c.first);
    EXPECT_EQ(BarRect(1, 3, 30, logical, c.scale), c.second);
    const QImage image = Chart(sats, logical, c.scale);
    ASSERT_EQ(image.width(), static_cast<int>(400 * c.scale));
    const QColor gps = ConstellationColor(Constellation::kGps);
    const QColor glonass = ConstellationColor(Constellation::kGlonass);
    // Used: filled to its corners; nothing above it.
    EXPECT_EQ(image.pixelColor(c.first.center()), gps);
    EXPECT_EQ(image.pixelColor(c.first.topLeft()), gps);
    EXPECT_EQ(image.pixelColor(c.first.bottomRight()), gps);
    EXPECT_NE(image.pixelColor(c.first.left(), c.first.top() - 1), gps);
    // Only in view: hollow, its outline in the constellation's colour.
    EXPECT_EQ(image.pixelColor(c.second.center()), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(c.second.left(), c.second.center().y()), glonass);
    EXPECT_EQ(image.pixelColor(c.second.right(), c.second.center().y()), glonass);
    // Untracked: a bar of one pixel on the axis, still there to be seen.
    const QRect third = BarRect(2, 3, -1, logical, c.scale);
    EXPECT_EQ(third.height(), 1);
    EXPECT_EQ(image.pixelColor(third.left(), third.top()),
              ConstellationColor(Constellation::kGalileo));
  }
}

// CEP50 4 m and CEP95 9 m on a 240 x 240 scatter: a 10 m range over 106 pixels (scale 1).
TEST(StatusDrawing, ScatterCirclesAndPointsAtTheirComputedPixels) {
  AccuracyFigures f;
  f.count = 3;
  f.cep50 = 4;
  f.cep95 = 9;
  f.scatter = {{3, -2}, {0, 0}, {-9, 0}};
  struct Case {
    double scale;
    QPoint centre;
    int r50;
    int r95;
    QPoint point;  // east 3, north -2
  };
  const Case cases[] = {
      {1, {120, 120}, 42, 95, {120 + 32, 120 + 21}},   // 10.6 px/m
      {2, {240, 240}, 85, 191, {240 + 64, 240 + 42}},  // 21.2 px/m
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scale);
    const ScatterScale frame = ScatterFrame({240, 240}, f, c.scale);
    EXPECT_EQ(frame.range, 10);
    EXPECT_EQ(frame.centre, c.centre);
    EXPECT_EQ(CircleRadius(frame, f.cep50), c.r50);
    EXPECT_EQ(CircleRadius(frame, f.cep95), c.r95);
    EXPECT_EQ(ScatterPixel(frame, f.scatter[0]), c.point);
    const QImage image = Scatter(f, {240, 240}, c.scale);
    const QColor blue(0, 0, 220);
    const QColor red(220, 0, 0);
    EXPECT_TRUE(Near(image, c.centre + QPoint(c.r50, 0), blue));
    EXPECT_TRUE(Near(image, c.centre - QPoint(0, c.r50), blue));
    EXPECT_TRUE(Near(image, c.centre + QPoint(0, c.r95), red));
    EXPECT_TRUE(Near(image, c.centre - QPoint(c.r95, 0), red));
    EXPECT_EQ(image.pixelColor(c.point), QColor(Qt::black));
    EXPECT_EQ(image.pixelColor(c.centre + QPoint(c.r50 / 2, c.r50 / 2)), QColor(Qt::white));
  }
}

class StatusWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form_ =
        std::make_unique<TMainForm>(test::Environment(clock_, test::UniqueSocket(), dir_.Path()));
  }
  void Feed() {
    form_->Health().Feed(NmeaSentence("GPGSV,1,1,02,07,40,100,30,70,20,200,25") +
                         NmeaSentence("GPGSA,A,3,07,,,,,,,,,,,,2.0,1.0,1.7") +
                         NmeaSentence("GPGGA,120001.00,4807.038,N,01131.000,E,1,05,1.5,545.4,"
                                      "M,46.9,M,,"));
  }

  test::TempDir dir_;
  test::FakeClock clock_{50000};
  test::ModalAnswerer answers_;
  std::unique_ptr<TMainForm> form_;
};

TEST_F(StatusWindowTest, OpensFromTheFileMenuAndTheTrayMenu) {
  for (const char* name : {"ReceiverStatus", "TrayReceiverStatus"}) {
    SCOPED_TRACE(name);
    auto* action = form_->findChild<QAction*>(QString::fromLatin1(name));
    ASSERT_NE(action, nullptr);
    action->trigger();
    ASSERT_NE(form_->StatusForm(), nullptr);
    EXPECT_TRUE(form_->StatusForm()->isVisible());
    EXPECT_EQ(form_->StatusForm()->windowTitle(), QStringLiteral("Receiver Status"));
    form_->StatusForm()->hide();
  }
  EXPECT_TRUE(form_->Ui().FileMenu->actions().contains(
      form_->findChild<QAction*>(QStringLiteral("ReceiverStatus"))));
  EXPECT_TRUE(form_->TrayIcon()->contextMenu()->actions().contains(
      form_->findChild<QAction*>(QStringLiteral("TrayReceiverStatus"))));
}

// Hold freezes every figure; letting go shows the model's again.
TEST_F(StatusWindowTest, HoldFreezesTheFiguresUntilLetGo) {
  form_->ShowStatusWindow();
  TStatusForm& status = *form_->StatusForm();
  clock_.now += 1500;
  Feed();
  status.Refresh();
  EXPECT_EQ(status.Figure(QStringLiteral("Fix")), QStringLiteral("3D fix, automatic"));
  EXPECT_EQ(status.Figure(QStringLiteral("Used/in view")), QStringLiteral("GPS 1/1, GLONASS 0/1"));
  EXPECT_EQ(status.Figure(QStringLiteral("PDOP")), QStringLiteral("2.00"));
  EXPECT_EQ(status.Figure(QStringLiteral("Age of fix")), QStringLiteral("0 s"));
  const QString ttff = status.Figure(QStringLiteral("Time to first fix"));
  EXPECT_FALSE(ttff.contains(QStringLiteral("searching"))) << ttff.toStdString();

  status.findChild<QPushButton*>(QStringLiteral("Hold"))->click();
  clock_.now += 2000;
  form_->Health().Feed(NmeaSentence("GPGSV,1,1,01,07,40,100,31"));
  status.Refresh();
  EXPECT_EQ(status.Figure(QStringLiteral("Age of fix")), QStringLiteral("0 s"));
  EXPECT_EQ(status.ShownState().satellites.size(), 2u);
  status.findChild<QPushButton*>(QStringLiteral("Hold"))->click();
  EXPECT_EQ(status.Figure(QStringLiteral("Age of fix")), QStringLiteral("2 s"));
  EXPECT_EQ(status.ShownState().satellites.size(), 1u);
}

TEST_F(StatusWindowTest, EveryFigureAndControlHasAnAccessibleName) {
  form_->ShowStatusWindow();
  TStatusForm& status = *form_->StatusForm();
  int named = 0;
  for (QWidget* w : status.findChildren<QWidget*>()) {
    const bool figure = qobject_cast<QLabel*>(w) != nullptr && w->accessibleName().size() > 0;
    named += figure;
    if (qobject_cast<QPushButton*>(w) || w->objectName() == QStringLiteral("SignalChart") ||
        w->objectName() == QStringLiteral("Scatter")) {
      EXPECT_FALSE(w->accessibleName().isEmpty()) << w->objectName().toStdString();
    }
  }
  // Counts, the fix's eight, the time to fix, the accuracy's five, the time's two.
  EXPECT_EQ(named, 17);
  Feed();
  status.Refresh();
  EXPECT_EQ(status.findChild<QWidget*>(QStringLiteral("SignalChart"))->accessibleDescription(),
            QStringLiteral("GPS 7 30 dB-Hz used, GLONASS 70 25 dB-Hz"));
}

TEST_F(StatusWindowTest, RemembersItsSizeAndPlace) {
  form_->ShowStatusWindow();
  form_->StatusForm()->setGeometry(140, 90, 700, 660);
  const QRect placed = form_->StatusForm()->geometry();
  form_->StatusForm()->hide();
  form_.reset();
  SetUp();
  form_->ShowStatusWindow();
  EXPECT_EQ(form_->StatusForm()->geometry(), placed);
}

// A typed reference puts the scatter's centre there; an unreadable one goes back to the
// running mean.
TEST_F(StatusWindowTest, TypedReferenceOrRunningMean) {
  form_->ShowStatusWindow();
  TStatusForm& status = *form_->StatusForm();
  Feed();
  auto* reference = status.findChild<QLineEdit*>(QStringLiteral("Reference"));
  reference->setText(QStringLiteral("48.1173, 11.5167"));
  emit reference->editingFinished();
  ASSERT_TRUE(form_->Health().Accuracy().Reference());
  EXPECT_EQ(status.Figure(QStringLiteral("Samples")), QStringLiteral("1"));
  EXPECT_NE(status.Figure(QStringLiteral("CEP50")), QStringLiteral("0.00 m"));
  reference->setText(QStringLiteral("north of here"));
  emit reference->editingFinished();
  EXPECT_FALSE(form_->Health().Accuracy().Reference());
  EXPECT_EQ(status.Figure(QStringLiteral("CEP50")), QStringLiteral("0.00 m"));
}

}  // namespace
}  // namespace ostrel
