// The panel's window driven as a user would: real settings files in a scratch folder of
// the test's own, real GPS Data port links, and the module emulator where a module is
// needed. The window's clock is the test's.
#include "app/main_form.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTextDocument>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "app/help_form.h"
#include "app/tray_status.h"
#include "app_test_support.h"
#include "engine/panel_engine.h"
#include "engine/settings_applier.h"
#include "link/command_queue.h"
#include "link/usb_link.h"
#include "receive/receive_cycle.h"
#include "receiver/ubx.h"
#include "support/fake_driver.h"
#include "support/param_name.h"

namespace ostrel {
namespace {

using test::Control;
using test::Data;
using test::ModalAnswerer;
using test::QueuedBlocks;

constexpr const char* kIni = "ostrel_gps_monitor.ini";

class PanelTest : public ::testing::Test {
 protected:
  void Ini(const std::string& text) { test::WriteFile(dir_.File(kIni), text); }
  std::string IniText() const { return test::ReadFile(dir_.File(kIni)); }

  TMainForm& Start(const std::string& socket = test::UniqueSocket()) {
    form_ = std::make_unique<TMainForm>(test::Environment(clock_, socket, dir_.Path()));
    return *form_;
  }
  // With the emulator the module's replies take real time: the real clock waits for them.
  TMainForm& StartWithModule(const std::string& socket) {
    form_ = std::make_unique<TMainForm>(test::Environment(SystemClock(), socket, dir_.Path()));
    return *form_;
  }
  MainFormUi& Ui() { return form_->Ui(); }
  std::string Status() { return Ui().Connection_Label->text().toStdString(); }

  // Waits for `n` more ticks of the receive timer.
  bool Ticks(int n) {
    auto* timer = form_->Engine().findChild<QTimer*>(QStringLiteral("GPS_Receiver"));
    int seen = 0;
    auto connection = QObject::connect(timer, &QTimer::timeout, [&] { ++seen; });
    const bool ok = test::WaitFor([&] { return seen >= n; }, 5000);
    QObject::disconnect(connection);
    return ok;
  }

  test::TempDir dir_;
  test::FakeClock clock_{50000};
  ModalAnswerer answers_;
  std::unique_ptr<TMainForm> form_;
};

// ---------------------------------------------------------------------------------------
// Start-up

TEST_F(PanelTest, RefusedSettingsWriteEndsStartupButTheWindowOpens) {
  // A directory where the file should be: every write is refused.
  ASSERT_TRUE(QDir().mkdir(QString::fromStdString(dir_.File(kIni))));
  Start();
  ASSERT_EQ(answers_.Seen().size(), 1u);
  EXPECT_EQ(answers_.Seen()[0].caption, QStringLiteral("Error"));
  EXPECT_TRUE(answers_.Seen()[0].text.contains(QStringLiteral("ostrel_gps_monitor.ini")))
      << answers_.Seen()[0].text.toStdString();
  // The first write failed: no GPS Data port, no buffers, no receive timer.
  EXPECT_EQ(form_->Engine().VSPort(), nullptr);
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(dir_.File("COM1"))));
  EXPECT_EQ(form_->Engine().Queue(), nullptr);
  EXPECT_FALSE(form_->Engine().findChild<QTimer*>(QStringLiteral("GPS_Receiver"))->isActive());
  EXPECT_TRUE(form_->findChild<QTimer*>(QStringLiteral("Startup"))->isActive());
  // The buttons still answer without touching what was never made.
  Ui().QueryVersion->click();
  Ui().WAASMode->click();
}

TEST_F(PanelTest, ListsAreFilledFromSettingsAndHidden) {
  Ini("[Ports]\nDGPSName=none\n[GPS]\nBaud=9600\n");
  Start();
  EXPECT_EQ(Ui().GPS_Baud->count(), 7);
  EXPECT_EQ(Ui().GPS_Baud->currentText(), QStringLiteral("9600"));
  // Matched without regard to case, shown as the list has it.
  EXPECT_EQ(Ui().DGPS_Port->currentText(), QStringLiteral("None"));
  for (QWidget* w :
       {static_cast<QWidget*>(Ui().GPS_Baud), static_cast<QWidget*>(Ui().GPS_Baud_Label),
        static_cast<QWidget*>(Ui().DGPS_Port), static_cast<QWidget*>(Ui().DGPS_Port_Label)})
    EXPECT_TRUE(w->isHidden()) << w->objectName().toStdString();
}

TEST_F(PanelTest, UnknownBaudLeavesTheListEmpty) {
  Ini("[GPS]\nBaud=12345\n");
  Start();
  EXPECT_EQ(Ui().GPS_Baud->currentText(), QString());
}

// ---------------------------------------------------------------------------------------
// Layout by [Debug] Panel

struct LayoutCase {
  const char* ini;
  QSize client;
  QSize pages;
  bool stream_tab;
  bool debug_panel;
  bool process_gps;  // with [GPS] ProcessGPS=1
};

class LayoutTest : public PanelTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(LayoutTest, PanelSettingChoosesTheWindow) {
  const LayoutCase& c = GetParam();
  Ini(std::string("[GPS]\nProcessGPS=1\n") + c.ini);
  Start();
  form_->show();
  EXPECT_TRUE(test::WaitFor([&] { return Ui().Client->size() == c.client; }, 3000))
      << Ui().Client->width() << "x" << Ui().Client->height();
  EXPECT_EQ(form_->minimumSize(), form_->maximumSize());
  EXPECT_EQ(Ui().PageControl->size(), c.pages);
  EXPECT_EQ(Ui().PageControl->isTabVisible(Ui().PageControl->indexOf(Ui().DataStreamPage)),
            c.stream_tab);
  EXPECT_EQ(!Ui().DebugPanel->isHidden(), c.debug_panel);
  EXPECT_EQ(Ui().ProcessGPS->isChecked(), c.process_gps);
  // The status and the port name stay in view even in the compact window.
  const QRect visible(QPoint(0, 0), Ui().Client->size());
  for (QWidget* w : {static_cast<QWidget*>(Ui().Connection_Label),
                     static_cast<QWidget*>(Ui().GPS_Virtual_Port)}) {
    const QRect r(w->mapTo(Ui().Client, QPoint(0, 0)), w->size());
    EXPECT_TRUE(visible.contains(r)) << w->objectName().toStdString();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Panels, LayoutTest,
    ::testing::Values(
        LayoutCase{"", QSize(365, 520), QSize(345, 500), false, true, false},
        LayoutCase{"[Debug]\nPanel=0\n", QSize(365, 520), QSize(345, 500), false, true, false},
        LayoutCase{"[Debug]\nPanel=1\n", QSize(887, 632), QSize(865, 617), true, false, true},
        LayoutCase{"[Debug]\nPanel=2\n", QSize(887, 632), QSize(865, 617), true, true, true},
        LayoutCase{"[Debug]\nPanel=-3\n", QSize(887, 632), QSize(865, 617), true, true, true}));

TEST_F(PanelTest, ControlsCarryTheirDesignNames) {
  Start();
  for (const char* name : {"Connection_Label",
                           "SatGrid",
                           "ProcessGPS",
                           "Mask_Angle",
                           "SatLoc",
                           "Output_Console",
                           "MessageStatus",
                           "EEPROMSerial",
                           "FirmwareVersion",
                           "ChunkSize",
                           "DebugPanel",
                           "TabSheet1",
                           "TabSheet3",
                           "PageControl",
                           "GPS_Virtual_Port",
                           "WAASMode",
                           "GPS_Baud",
                           "DGPS_Port",
                           "GPSButtonRead",
                           "HideIt",
                           "Help",
                           "FixMode",
                           "Latitude",
                           "Longitude",
                           "Speed",
                           "Elevation",
                           "ResetGPS",
                           "B9600",
                           "B19200",
                           "QueryVersion",
                           "EraseEEPROM",
                           "ReadEEPROM",
                           "WriteEEPROM",
                           "GroupBox1",
                           "GroupBox9",
                           "Memo1"})
    EXPECT_NE(form_->findChild<QWidget*>(QString::fromLatin1(name)), nullptr) << name;
  for (const char* name : {"Startup", "Exit", "Demonstration"})
    EXPECT_NE(form_->findChild<QObject*>(QString::fromLatin1(name)), nullptr) << name;
  for (const char* name : {"GPS_Receiver", "VSPortRead", "VSPort"})
    EXPECT_NE(form_->Engine().findChild<QObject*>(QString::fromLatin1(name)), nullptr) << name;
  EXPECT_EQ(form_->findChild<QTimer*>(QStringLiteral("Startup"))->interval(), 1000);
  EXPECT_EQ(form_->Engine().findChild<QTimer*>(QStringLiteral("VSPortRead"))->interval(), 200);
  EXPECT_EQ(Ui().SatGrid->Cell(0, 1), QStringLiteral("Elevation"));
  EXPECT_EQ(form_->SatBitmap().size(), QSize(250, 250));
  EXPECT_EQ(Ui().SatLoc->size(), QSize(250, 250));
  EXPECT_TRUE(
      Ui().PortNote->toPlainText().contains(QStringLiteral("application\u2019s baud rate")));
  EXPECT_FALSE(Ui().Demonstration->isVisible());
}

// ---------------------------------------------------------------------------------------
// Tray

// The tray says the module's state at a glance, in its icon and in words, within a tick:
// no module, then the emulator's 3D fix (with the SBAS correction it applies once the
// settings turned SBAS on).
TEST_F(PanelTest, TrayIconAndTipFollowTheModulesState) {
  const std::string socket = test::UniqueSocket();
  Start(socket);
  auto shows = [&](TrayState state) {
    const QImage want = TrayStateIcon(state).pixmap(32, 32).toImage();
    return form_->TrayIcon()->icon().pixmap(32, 32).toImage() == want &&
           form_->TrayIcon()->toolTip().startsWith(QString::fromStdString(
               std::string(kPanelTitle) + "\n" + TrayStateWords(state) + "\n"));
  };
  ASSERT_TRUE(Ticks(1));
  EXPECT_TRUE(shows(TrayState::kNoModule)) << form_->TrayIcon()->toolTip().toStdString();

  test::Emulator module(socket, dir_.Path());
  ASSERT_TRUE(module.Started());
  EXPECT_TRUE(test::WaitFor(
      [&] { return shows(TrayState::kFix3D) || shows(TrayState::kFix3DCorrected); }, 15000))
      << form_->TrayIcon()->toolTip().toStdString();
  EXPECT_TRUE(form_->TrayIcon()->toolTip().endsWith(QStringLiteral("\nGPS Port: COM1")));
}

TEST_F(PanelTest, StartupHidesAfterASecond) {
  Start();
  form_->show();
  // The second is the Startup timer's, running from the window's start.
  auto* startup = form_->findChild<QTimer*>(QStringLiteral("Startup"));
  EXPECT_TRUE(startup->isActive());
  EXPECT_EQ(startup->interval(), 1000);
  EXPECT_TRUE(form_->isVisible());
  EXPECT_TRUE(test::WaitFor([&] { return !form_->isVisible() || form_->isMinimized(); }, 5000));
  EXPECT_FALSE(startup->isActive());
}

TEST_F(PanelTest, ProcessGpsIsStoredAsOneByHidingAndNeverAsZero) {
  Ini("[GPS]\nProcessGPS=1\n[Debug]\nPanel=2\n");
  Start();
  form_->show();
  ASSERT_TRUE(Ui().ProcessGPS->isChecked());
  ASSERT_TRUE(Ticks(1));
  // What Hide does where there is a tray.
  auto hide = [&] {
    form_->hide();
    return test::WaitFor([&] { return !Ui().ProcessGPS->isChecked(); }, 3000);
  };

  ASSERT_TRUE(hide());
  EXPECT_NE(IniText().find("ProcessGPS=1\n"), std::string::npos);

  // A context or middle click does nothing; a double-click (an embedded tray) or a
  // single activation (a StatusNotifier tray) brings the window back.
  for (auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick}) {
    emit form_->TrayIcon()->activated(reason);
    EXPECT_FALSE(form_->isVisible());
    EXPECT_FALSE(Ui().ProcessGPS->isChecked());
  }
  for (auto reason : {QSystemTrayIcon::DoubleClick, QSystemTrayIcon::Trigger}) {
    SCOPED_TRACE(reason);
    emit form_->TrayIcon()->activated(reason);
    EXPECT_TRUE(form_->isVisible());
    EXPECT_TRUE(Ui().ProcessGPS->isChecked());

    // Cleared by hand and hidden again: "1" stays, and the next restore checks it again.
    Ui().ProcessGPS->setChecked(false);
    ASSERT_TRUE(Ticks(1));
    EXPECT_FALSE(Ui().ProcessGPS->isChecked()) << "the user's choice holds while shown";
    form_->hide();
    ASSERT_TRUE(Ticks(1));
    EXPECT_NE(IniText().find("ProcessGPS=1\n"), std::string::npos);
    EXPECT_EQ(IniText().find("ProcessGPS=0"), std::string::npos);
  }
}

// Every close that is not the panel's own Exit hides: on Wayland a title bar's close,
// Alt+F4 and a compositor's kill arrive as closes that are not spontaneous.
TEST_F(PanelTest, CloseHidesHoweverItArrives) {
  Ini("[GPS]\nProcessGPS=1\n[Debug]\nPanel=2\n");
  Start();
  form_->show();
  bool quit = false;
  QObject::connect(qApp, &QCoreApplication::aboutToQuit, [&] { quit = true; });
  EXPECT_FALSE(form_->close());
  QCoreApplication::processEvents();
  EXPECT_FALSE(quit);
  EXPECT_FALSE(form_->Exiting());
  // No tray here: minimised instead.
  EXPECT_TRUE(form_->isMinimized());
}

// A window manager that cannot minimise (tiling ones, Wayland without a tray) leaves the
// window on screen: the displays it shows keep running.
TEST_F(PanelTest, MinimiseThatLeavesTheWindowOnScreenKeepsProcessing) {
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
  Ini("[GPS]\nProcessGPS=1\n[Debug]\nPanel=2\n");
  Start();
  form_->show();
  ASSERT_TRUE(test::WaitFor([&] { return form_->windowHandle()->isExposed(); }, 3000));
  // The start's hiding and the Hide button both ask for a minimise; the offscreen
  // platform, like sway, keeps the window exposed.
  ASSERT_TRUE(test::WaitFor([&] { return form_->isMinimized(); }, 3000));
  Ui().HideIt->click();
  ASSERT_TRUE(Ticks(2));
  EXPECT_TRUE(form_->windowHandle()->isExposed());
  EXPECT_TRUE(Ui().ProcessGPS->isChecked());
  // Gone for real (a restore then brings processing back).
  form_->hide();
  ASSERT_TRUE(Ticks(1));
  EXPECT_FALSE(Ui().ProcessGPS->isChecked());
  form_->showNormal();
  EXPECT_TRUE(test::WaitFor([&] { return Ui().ProcessGPS->isChecked(); }, 3000));
}

// Two programs reading the GPS Data port split its bytes; the panel says so once, in
// error.log and in the port name's tool tip, with what to do about it. The opens come
// at once, before the panel looks.
TEST_F(PanelTest, SecondReaderOfThePortIsReportedOnce) {
  Start();
  const std::string link = dir_.File("COM1");
  std::vector<int> fds;
  for (int i = 0; i < 3; ++i) {
    fds.push_back(::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_GE(fds.back(), 0);
  }
  const QString tip = QStringLiteral("Two programs are reading the GPS Data port COM1 at once");
  EXPECT_TRUE(test::WaitFor([&] { return Ui().GPS_Virtual_Port->toolTip().contains(tip); }));
  EXPECT_TRUE(Ui().GPS_Virtual_Port->toolTip().startsWith(QString::fromStdString(link + "\n")));
  EXPECT_TRUE(Ui().GPS_Virtual_Port->toolTip().contains(QStringLiteral("gpsd")));
  const std::string log = test::ReadFile(dir_.File("error.log"));
  EXPECT_NE(log.find(tip.toStdString()), std::string::npos);
  EXPECT_EQ(log.find("Two programs", log.find("Two programs") + 1), std::string::npos) << log;
  for (int fd : fds) ::close(fd);
}

// ---------------------------------------------------------------------------------------
// Each control runs its engine operation

// The module open behind the fake driver, the settings sequence cleared from the queue:
// a control's click leaves the first block of its command at the front.
struct ControlCase {
  const char* name;
  std::function<void(MainFormUi&, ModalAnswerer&)> use;
  std::string first_block;
};

class ControlTest : public PanelTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(ControlTest, QueuesItsCommand) {
  PanelEnvironment env{clock_, {}, dir_.Path()};
  env.make_driver = [](const std::vector<UsbId>&, const UsbNoticeSink&) {
    return std::make_unique<test::FakeDriver>();
  };
  Ini("[Debug]\nPanel=2\n");
  form_ = std::make_unique<TMainForm>(std::move(env));
  ClearQueue(*form_->Engine().Queue());
  GetParam().use(Ui(), answers_);
  const std::vector<std::string> queued = QueuedBlocks(*form_->Engine().Queue());
  ASSERT_FALSE(queued.empty());
  EXPECT_EQ(queued.front(), GetParam().first_block);
}

INSTANTIATE_TEST_SUITE_P(
    Controls, ControlTest,
    ::testing::Values(
        ControlCase{"WAASMode", [](MainFormUi& ui, ModalAnswerer&) { ui.WAASMode->click(); },
                    Control("c")},
        ControlCase{"GPSButtonRead",
                    [](MainFormUi& ui, ModalAnswerer&) { ui.GPSButtonRead->click(); },
                    Control("c")},
        ControlCase{"ResetGPS", [](MainFormUi& ui, ModalAnswerer&) { ui.ResetGPS->click(); },
                    Control("*")},
        ControlCase{"B9600", [](MainFormUi& ui, ModalAnswerer&) { ui.B9600->click(); },
                    Data(ubx::kCfgPrt9600.data(), 28)},
        ControlCase{"B19200", [](MainFormUi& ui, ModalAnswerer&) { ui.B19200->click(); },
                    Data(ubx::kCfgPrt19200.data(), 28)},
        ControlCase{"QueryVersion",
                    [](MainFormUi& ui, ModalAnswerer&) { ui.QueryVersion->click(); }, Control("v")},
        ControlCase{"EraseEEPROM",
                    [](MainFormUi& ui, ModalAnswerer& answers) {
                      answers.Push(ModalAnswerer::Click(QMessageBox::Yes));
                      ui.EraseEEPROM->click();
                    },
                    Control("e")},
        ControlCase{"ReadEEPROM", [](MainFormUi& ui, ModalAnswerer&) { ui.ReadEEPROM->click(); },
                    Control("r")},
        ControlCase{"WriteEEPROM",
                    [](MainFormUi& ui, ModalAnswerer&) {
                      ui.EEPROMSerial->setText(QStringLiteral("ABCDEFGHIJ"));
                      ui.WriteEEPROM->click();
                    },
                    Control("wABCDEFGHIJ")}),
    test::ParamName());

// The mask angle box takes degrees from 0 to 90 and nothing else; the sky plot is drawn
// with what it holds, and a redraw never throws.
TEST_F(PanelTest, MaskAngleBoxRefusesNinetyOneAndLetters) {
  Ini("[Debug]\nPanel=2\n");
  Start();
  QSpinBox& box = *Ui().Mask_Angle;
  EXPECT_EQ(box.text(), QStringLiteral("0"));
  // Typed as a user types: one key after the other into the emptied box.
  auto type = [&](const char* keys) {
    box.clear();
    for (const char* k = keys; *k != 0; ++k) {
      const QString text{QLatin1Char(*k)};
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, text);
      QCoreApplication::sendEvent(&box, &press);
    }
    return box.text().toStdString();
  };
  EXPECT_EQ(type("91"), "9");
  EXPECT_EQ(type("x"), "");
  EXPECT_EQ(type("4a5"), "45");
  EXPECT_EQ(type("90"), "90");
  EXPECT_EQ(form_->Engine().MaskAngle(), 90);
  EXPECT_NO_THROW(form_->SatLocDraw());
}

// ---------------------------------------------------------------------------------------
// Record Track

TEST_F(PanelTest, RecordTrackItemsInFileAndTrayMenusFollowTheEngine) {
  Ini("[Record]\nTrack=1\n");
  Start();
  auto* file_item = form_->findChild<QAction*>(QStringLiteral("RecordTrack"));
  auto* tray_item = form_->findChild<QAction*>(QStringLiteral("TrayRecordTrack"));
  ASSERT_NE(file_item, nullptr);
  ASSERT_NE(tray_item, nullptr);
  // In the File menu above Exit, checked as [Record] Track says.
  const QList<QAction*> file = Ui().FileMenu->actions();
  ASSERT_GE(file.size(), 2);
  EXPECT_TRUE(file.mid(0, file.size() - 1).contains(file_item));
  EXPECT_EQ(file_item->text(), QStringLiteral("Record Track"));
  EXPECT_TRUE(file_item->isChecked());
  EXPECT_TRUE(tray_item->isChecked());
  tray_item->trigger();
  EXPECT_FALSE(form_->Engine().RecordTrack());
  EXPECT_FALSE(file_item->isChecked());
  EXPECT_FALSE(tray_item->isChecked());
  EXPECT_NE(IniText().find("[Record]\nTrack=0\n"), std::string::npos) << IniText();
  file_item->trigger();
  EXPECT_TRUE(form_->Engine().RecordTrack());
  EXPECT_TRUE(tray_item->isChecked());
}

// ---------------------------------------------------------------------------------------
// Demonstration

class DemonstrationLog : public PanelTest, public ::testing::WithParamInterface<const char*> {};

// A capture with CR LF line ends, and one saved with LF line ends as Linux text files are.
INSTANTIATE_TEST_SUITE_P(LineEnds, DemonstrationLog,
                         ::testing::Values("gp-320fw-2019-04-07-coldboot.log", "bu353s4.log"));

TEST_P(DemonstrationLog, ReplaysARecordedLogThroughTheDisplays) {
  Ini("[GPS]\nDemo=1\n[Debug]\nPanel=2\n");
  Start();
  answers_.Push(ModalAnswerer::Enter(
      QString::fromStdString(std::string(OSTREL_CORPUS_DIR "/") + GetParam())));
  Ui().Demonstration->trigger();
  EXPECT_TRUE(test::WaitFor([&] {
    return !Ui().FixMode->text().isEmpty() && !Ui().SatGrid->Cell(1, 0).isEmpty() &&
           !Ui().Output_Console->toPlainText().isEmpty();
  }));
  EXPECT_NE(Ui().ChunkSize->text(), QStringLiteral("0"));
  EXPECT_EQ(Status(), "Demonstration!");
  // The sky plot was drawn: something other than white in the bitmap.
  const QImage& plot = form_->SatBitmap();
  bool drawn = false;
  for (int y = 0; y < plot.height() && !drawn; ++y)
    for (int x = 0; x < plot.width() && !drawn; ++x)
      drawn = plot.pixel(x, y) != qRgb(255, 255, 255);
  EXPECT_TRUE(drawn);
}

// A recording with its times is asked a speed for; a plain NMEA file is not.
TEST_F(PanelTest, DemonstrationAsksTheSpeedOfARecordingWithItsTimesOnly) {
  const std::string line =
      "$GPGGA,092750.000,5321.6802,N,00630.3372,W,1,8,1.03,61.7,M,55.2,M,,*76\r\n";
  test::WriteFile(dir_.File("walk.nmea"), line);
  test::WriteFile(dir_.File("walk.times"), "0\n");
  test::WriteFile(dir_.File("plain.txt"), line);
  Ini("[GPS]\nDemo=1\n");
  Start();
  answers_.Push(ModalAnswerer::Enter(QStringLiteral("walk.nmea")));
  answers_.Push(ModalAnswerer::Enter(QStringLiteral("x10")));
  Ui().Demonstration->trigger();
  ASSERT_EQ(answers_.Seen().size(), 2u);
  EXPECT_EQ(answers_.Seen()[1].caption, QStringLiteral("Demonstration Speed"));
  EXPECT_EQ(form_->Engine().Cycle()->Demo().DemoSpeed, 10);
  Ui().Demonstration->trigger();  // stops it
  answers_.Clear();
  answers_.Push(ModalAnswerer::Enter(QStringLiteral("plain.txt")));
  Ui().Demonstration->trigger();
  EXPECT_EQ(answers_.Seen().size(), 1u);
  EXPECT_EQ(form_->Engine().Cycle()->Demo().DemoSpeed, 1);
}

// The age of what is shown: once nothing has been applied for three seconds the fix,
// position, speed, altitude, satellites and sky plot grey out, with their texts kept;
// the next sentence makes them live again.
TEST_F(PanelTest, DataNoLongerCurrentIsGreyedAfterThreeSeconds) {
  test::FakeClock& clock = clock_;
  struct Case {
    const char* name;
    std::function<void(MainFormUi&)> stop;
  };
  const std::vector<Case> cases = {
      {"demonstration stopped", [](MainFormUi& ui) { ui.Demonstration->trigger(); }},
      {"processing off", [](MainFormUi& ui) { ui.ProcessGPS->setChecked(false); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Ini("[GPS]\nDemo=1\n[Debug]\nPanel=2\n");
    Start();
    // Past the hide a second after start.
    auto* startup = form_->findChild<QTimer*>(QStringLiteral("Startup"));
    ASSERT_TRUE(test::WaitFor([&] { return !startup->isActive(); }));
    QWidget* const values[] = {Ui().FixMode,   Ui().Latitude, Ui().Longitude, Ui().Speed,
                               Ui().Elevation, Ui().SatGrid,  Ui().SatLoc};
    auto live = [&] {
      int enabled = 0;
      for (QWidget* w : values) enabled += w->isEnabled() ? 1 : 0;
      return enabled;
    };
    answers_.Push(ModalAnswerer::Enter(
        QStringLiteral(OSTREL_CORPUS_DIR "/gp-320fw-2019-04-07-coldboot.log")));
    Ui().Demonstration->trigger();
    ASSERT_TRUE(test::WaitFor([&] { return !Ui().Latitude->text().isEmpty(); }));
    EXPECT_EQ(live(), 7);

    c.stop(Ui());
    ASSERT_TRUE(Ticks(2));
    const QString latitude = Ui().Latitude->text();
    const QString prn = Ui().SatGrid->Cell(1, 0);
    clock.now += 3000;
    ASSERT_TRUE(Ticks(2));
    EXPECT_EQ(live(), 7) << "three seconds are not yet too old";
    clock.now += 1;
    ASSERT_TRUE(Ticks(1));
    EXPECT_EQ(live(), 0);
    // The faded plot is the same whatever the screen held beneath it: X11 keeps the
    // last picture there, Wayland hands a fresh buffer.
    QImage on_red(Ui().SatLoc->size(), QImage::Format_ARGB32_Premultiplied);
    QImage on_blue(on_red.size(), on_red.format());
    on_red.fill(Qt::red);
    on_blue.fill(Qt::blue);
    Ui().SatLoc->render(&on_red, {}, {}, QWidget::RenderFlags());
    Ui().SatLoc->render(&on_blue, {}, {}, QWidget::RenderFlags());
    EXPECT_TRUE(on_red == on_blue) << "the stale plot shows what was beneath it";
    if (const char* shots = std::getenv("OSTREL_SCREENSHOTS"))
      form_->grab().save(QString::fromLocal8Bit(shots) + QStringLiteral("/stale-data-greyed.png"));
    EXPECT_EQ(Ui().Latitude->text(), latitude);
    EXPECT_EQ(Ui().SatGrid->Cell(1, 0), prn);

    // Data again: live with the next sentence.
    if (!Ui().Demonstration->isChecked()) {
      answers_.Push(ModalAnswerer::Enter(
          QStringLiteral(OSTREL_CORPUS_DIR "/gp-320fw-2019-04-07-coldboot.log")));
      Ui().Demonstration->trigger();
    }
    Ui().ProcessGPS->setChecked(true);
    EXPECT_TRUE(test::WaitFor([&] { return live() == 7; }));
    form_.reset();
  }
}

// A log of a receiver of two constellations: every sentence carries GN or GL
// but for the GPS satellites' GSV. Position, fix and satellites of other constellations
// (numbered past the GPS range) are shown.
TEST_F(PanelTest, DemonstrationOfAMultiGnssLogShowsPositionFixAndSatellites) {
  Ini("[GPS]\nDemo=1\n[Debug]\nPanel=2\n");
  Start();
  answers_.Push(ModalAnswerer::Enter(QStringLiteral(OSTREL_CORPUS_DIR "/ublox-8.log")));
  Ui().Demonstration->trigger();
  const auto beyond_gps = [&] {
    for (int row = 1; row <= 12; ++row)
      if (Ui().SatGrid->Cell(row, 0).toInt() > 32 && Ui().SatGrid->Cell(row, 1).toInt() > 0)
        return true;
    return false;
  };
  EXPECT_TRUE(test::WaitFor([&] {
    return !Ui().Latitude->text().isEmpty() && !Ui().Longitude->text().isEmpty() &&
           !Ui().FixMode->text().isEmpty() && !Ui().Speed->text().isEmpty() && beyond_gps();
  })) << Ui().Latitude->text().toStdString()
      << " | " << Ui().FixMode->text().toStdString() << " | " << Ui().Speed->text().toStdString()
      << " | first ID " << Ui().SatGrid->Cell(1, 0).toStdString() << ", last ID "
      << Ui().SatGrid->Cell(12, 0).toStdString();
}

TEST_F(PanelTest, DataStreamShowsEachChunkAsItsLinesAndAnEmptyLine) {
  const std::string gga = "$GPGGA,092750.000,5321.6802,N,00630.3372,W,1,8,1.03,61.7,M,55.2,M,,*76";
  {
    std::ofstream demo(dir_.File("one.txt"), std::ios::binary);
    demo << gga << "\r\n";
  }
  Ini("[GPS]\nDemo=1\n[Debug]\nPanel=2\n");
  Start();
  answers_.Push(ModalAnswerer::Enter(QStringLiteral("one.txt")));
  Ui().Demonstration->trigger();
  ASSERT_TRUE(test::WaitFor([&] { return Ui().ChunkSize->text() != QStringLiteral("0"); }));
  const QStringList lines = Ui().Output_Console->toPlainText().split(QLatin1Char('\n'));
  const qsizetype at = lines.indexOf(QString::fromLatin1(gga.c_str()));
  ASSERT_GE(at, 0) << Ui().Output_Console->toPlainText().toStdString();
  ASSERT_LT(at + 1, lines.size());
  EXPECT_EQ(lines[at + 1], QString());  // the empty line that closes the chunk
  EXPECT_EQ(Ui().ChunkSize->text(), QString::number(gga.size() + 2));
}

// ---------------------------------------------------------------------------------------
// What a shown window spends

std::string Sentence(const std::string& body) {
  unsigned x = 0;
  for (char c : body) x ^= static_cast<unsigned char>(c);
  static const char* hex = "0123456789ABCDEF";
  return "$" + body + "*" + hex[x >> 4] + hex[x & 15] + "\r\n";
}

// A demonstration whose satellites stand still while the fix moves: one GSA, three
// GSVs, then GGAs and RMCs that differ in every tick (each group one tick).
void WriteMovingFix(const std::string& path, int fixes) {
  std::ofstream demo(path, std::ios::binary);
  demo << Sentence("GPGSA,A,3,17,28,06,,,,,,,,,,1.8,1.1,1.5")
       << Sentence("GPGSV,1,1,03,17,72,207,32,28,59,095,31,06,35,347,25");
  for (int i = 0; i < fixes; ++i) {
    const std::string t = "0307" + std::to_string(10 + i % 50) + ".000";
    const std::string lat = "3747." + std::to_string(1000 + i);
    demo << Sentence("GPGGA," + t + "," + lat + ",S,17518.8934,E,1,08,1.1,60.1,M,23.7,M,,0000")
         << Sentence("GPRMC," + t + ",A," + lat + ",S,17518.8934,E,0.89,181.39,311214,,,A");
  }
}

// Counts the paint events a widget gets.
class PaintCounter : public QObject {
 public:
  explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
  int count = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++count;
    return false;
  }
};

TEST_F(PanelTest, SkyPlotIsNotRepaintedWhileItsSatellitesStandStill) {
  WriteMovingFix(dir_.File("moving.txt"), 40);
  Ini("[GPS]\nDemo=1\n[Debug]\nPanel=2\n");
  Start();
  form_->findChild<QTimer*>(QStringLiteral("Startup"))->stop();
  form_->show();
  answers_.Push(ModalAnswerer::Enter(QStringLiteral("moving.txt")));
  Ui().Demonstration->trigger();
  PaintCounter plot(Ui().SatLoc);
  PaintCounter labels(Ui().Latitude);
  // The chart of the three satellites is on the screen once a later tick has painted.
  ASSERT_TRUE(test::WaitFor([&] { return Ui().SatGrid->Cell(3, 0) == "28"; }));
  labels.count = 0;
  ASSERT_TRUE(test::WaitFor([&] { return labels.count > 0 && plot.count > 0; }));
  plot.count = 0;
  labels.count = 0;
  const QString latitude = Ui().Latitude->text();
  ASSERT_TRUE(test::WaitFor([&] { return labels.count >= 3; }));
  EXPECT_NE(Ui().Latitude->text(), latitude);
  EXPECT_EQ(plot.count, 0);
}

// Counts how often the style draws a group box.
class GroupBoxCounter : public QProxyStyle {
 public:
  void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                          QPainter* painter, const QWidget* widget) const override {
    if (control == CC_GroupBox) ++count;
    QProxyStyle::drawComplexControl(control, option, painter, widget);
  }
  mutable int count = 0;
};

// A fix label that changes repaints its own rectangle; the group box around it is not
// drawn again by the style, and what is on the screen is what a plain group box shows.
TEST_F(PanelTest, ChangingFixLabelsDoNotRedrawTheirGroupBoxes) {
  Ini("[Debug]\nPanel=2\n");
  Start();
  form_->findChild<QTimer*>(QStringLiteral("Startup"))->stop();
  form_->show();
  auto* style = new GroupBoxCounter;
  style->setParent(form_.get());
  Ui().LocationGroup->setStyle(style);
  PaintCounter labels(Ui().Latitude);
  for (int i = 0; i < 5; ++i) {
    Ui().Latitude->setText(QStringLiteral("%1.5 N").arg(i));
    ASSERT_TRUE(test::WaitFor([&] { return labels.count > i; }));
  }
  EXPECT_LE(style->count, 1);

  QGroupBox plain(QStringLiteral("Location"));
  plain.setStyle(style);
  plain.setFont(Ui().LocationGroup->font());
  plain.resize(Ui().LocationGroup->size());
  Ui().Latitude->clear();
  Ui().Longitude->clear();
  // Composited from a copy, an edge pixel may round one step the other way.
  const QImage cached = Ui().LocationGroup->grab().toImage();
  const QImage drawn = plain.grab().toImage();
  ASSERT_EQ(cached.size(), drawn.size());
  int worst = 0;
  for (int y = 0; y < cached.height(); ++y) {
    for (int x = 0; x < cached.width(); ++x) {
      const QRgb c = cached.pixel(x, y);
      const QRgb d = drawn.pixel(x, y);
      worst = std::max({worst, std::abs(qRed(c) - qRed(d)), std::abs(qGreen(c) - qGreen(d)),
                        std::abs(qBlue(c) - qBlue(d))});
    }
  }
  EXPECT_LE(worst, 1);
}

TEST_F(PanelTest, DataStreamOffItsPageWaitsAndThenShowsWhatItWouldHaveShown) {
  WriteMovingFix(dir_.File("moving.txt"), 90);
  Ini("[GPS]\nDemo=1\n[Debug]\nPanel=2\n");
  // Ticks of a run with the Data Stream page current throughout, or on the Settings page
  // until `switch_at`; the memo as it then shows on its page.
  auto run = [&](int switch_at, int ticks, int& changes_off_page) {
    Start();
    form_->findChild<QTimer*>(QStringLiteral("Startup"))->stop();
    form_->Engine().findChild<QTimer*>(QStringLiteral("GPS_Receiver"))->stop();
    form_->show();
    answers_.Push(ModalAnswerer::Enter(QStringLiteral("moving.txt")));
    Ui().Demonstration->trigger();
    Ui().PageControl->setCurrentWidget(switch_at > 0 ? Ui().SettingsPage : Ui().DataStreamPage);
    int changes = 0;
    QObject::connect(Ui().Output_Console->document(), &QTextDocument::contentsChanged,
                     [&] { ++changes; });
    changes_off_page = -1;
    for (int i = 0; i < ticks; ++i) {
      if (i == switch_at) {
        changes_off_page = changes;
        Ui().PageControl->setCurrentWidget(Ui().DataStreamPage);
      }
      form_->Engine().Tick();
    }
    if (changes_off_page < 0) changes_off_page = changes;
    Ui().PageControl->setCurrentWidget(Ui().DataStreamPage);
    QString text = Ui().Output_Console->toPlainText();
    form_.reset();
    return text;
  };
  int unused = 0;
  // 182 groups pass the 100-line clear several times; the switch falls between two.
  for (const auto& [switch_at, ticks] : {std::pair{150, 170}, std::pair{60, 60}, std::pair{3, 4}}) {
    const QString throughout = run(0, ticks, unused);
    int changes = 0;
    const QString deferred = run(switch_at, ticks, changes);
    EXPECT_EQ(changes, 0) << switch_at;
    EXPECT_EQ(deferred.toStdString(), throughout.toStdString()) << switch_at;
    EXPECT_FALSE(throughout.isEmpty());
  }
}

// ---------------------------------------------------------------------------------------
// Help and Exit

TEST_F(PanelTest, HelpIsModelessAndOkHidesIt) {
  Start();
  form_->show();
  Ui().Help->click();
  THelpForm* help = form_->HelpForm();
  EXPECT_TRUE(help->isVisible());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  const QString text = help->HelpText->toPlainText();
  EXPECT_TRUE(
      text.startsWith(QStringLiteral("The Kastrel GPS Data port is a virtual serial port")));
  Ui().Help->click();  // already open: only brought up
  EXPECT_TRUE(help->isVisible());
  help->OkButton->click();
  EXPECT_FALSE(help->isVisible());
  Ui().Help->click();
  EXPECT_TRUE(help->isVisible());
  EXPECT_EQ(help->HelpText->toPlainText(), text);
}

// The version set in the build shows in the dialog, whole and clear of the text and the
// button.
TEST_F(PanelTest, HelpShowsTheProjectVersion) {
  Start();
  form_->show();
  Ui().Help->click();
  THelpForm* help = form_->HelpForm();
  const QString version = QStringLiteral(OSTREL_VERSION);
  QLabel* shown = nullptr;
  for (QLabel* label : help->findChildren<QLabel*>())
    if (label->text().contains(version)) shown = label;
  ASSERT_NE(shown, nullptr) << "no label with " << OSTREL_VERSION;
  EXPECT_TRUE(shown->isVisible());
  const QRect box = shown->geometry();
  EXPECT_TRUE(help->rect().contains(box));
  EXPECT_FALSE(box.intersects(help->HelpText->geometry()));
  EXPECT_FALSE(box.intersects(help->OkButton->geometry()));
  EXPECT_GE(box.width(), shown->fontMetrics().horizontalAdvance(shown->text()));
}

// The window and the tray icon go at once; during the pause nothing the user could
// still reach acts: a WAAS click queues nothing and stores nothing.
TEST_F(PanelTest, ExitTakesTheWindowAwayAtOnceAndNothingActsInThePause) {
  const std::string socket = test::UniqueSocket();
  test::Emulator module(socket, dir_.Path());
  ASSERT_TRUE(module.Started());
  Ini("[GPS]\nWAAS=1\n[Debug]\nPanel=2\n");
  StartWithModule(socket);
  form_->show();
  ASSERT_TRUE(test::WaitFor([&] { return !form_->Engine().Queue()->Pending(); }));
  const std::string stored = IniText();
  Ui().Exit->trigger();
  EXPECT_FALSE(form_->isVisible());
  EXPECT_FALSE(form_->TrayIcon()->isVisible());
  Ui().WAASMode->click();
  Ui().GPSButtonRead->click();
  EXPECT_FALSE(form_->Engine().Queue()->Pending());
  EXPECT_EQ(IniText(), stored);
  EXPECT_TRUE(answers_.Seen().empty());
}

// ---------------------------------------------------------------------------------------
// At the desktop's scaling: these run once more at QT_SCALE_FACTOR 1.25 and 1.5.

TEST_F(PanelTest, ScaledHelpTextShowsWhole) {
  Start();
  THelpForm* help = form_->HelpForm();
  Ui().Help->click();
  ASSERT_TRUE(test::WaitFor([&] { return help->isVisible(); }));
  QPlainTextEdit& memo = *help->HelpText;
  const QFontMetrics metrics(memo.font());
  const int room =
      memo.viewport()->width() - 2 * static_cast<int>(memo.document()->documentMargin());
  for (const QString& line : memo.toPlainText().split(QLatin1Char('\n')))
    EXPECT_LE(metrics.horizontalAdvance(line), room) << line.toStdString();
  // What shows: no text reaches the memo's right edge, where a cut line would.
  const QImage shown = memo.viewport()->grab().toImage();
  int dark = 0;
  for (int x = shown.width() - 3; x < shown.width(); ++x)
    for (int y = 0; y < shown.height(); ++y) {
      const QRgb pixel = shown.pixel(x, y);
      dark += qAlpha(pixel) > 0 && qGray(pixel) < 160 ? 1 : 0;
    }
  EXPECT_EQ(dark, 0);
  if (const char* shots = std::getenv("OSTREL_SCREENSHOTS")) {
    const int percent = static_cast<int>(std::lround(help->devicePixelRatioF() * 100));
    help->grab().save(QString::fromLocal8Bit(shots) + QStringLiteral("/help-%1.png").arg(percent));
  }
}

TEST_F(PanelTest, ScaledSkyPlotIsDrawnAtTheScreensPixelRatio) {
  Ini("[Debug]\nPanel=2\n");
  Start();
  form_->show();
  form_->SatLocDraw();
  const QImage& plot = form_->SatBitmap();
  if (const char* shots = std::getenv("OSTREL_SCREENSHOTS"))
    plot.save(QString::fromLocal8Bit(shots) + QStringLiteral("/skyplot.png"));
  const qreal ratio = Ui().SatLoc->devicePixelRatioF();
  EXPECT_EQ(plot.devicePixelRatio(), ratio);
  const int side = static_cast<int>(std::lround(250 * ratio));
  ASSERT_EQ(plot.size(), QSize(side, side));
  // The horizon ring lies 90 degrees out at the screen's scale, one device pixel wide.
  const int c = side / 2;
  const int r = static_cast<int>(std::lround(90 * ratio));
  EXPECT_EQ(plot.pixel(c + r - 1, c), qRgb(0, 0, 0));
  EXPECT_EQ(plot.pixel(c + r + 1, c), qRgb(255, 255, 255));
  EXPECT_EQ(plot.pixel(c + r - 3, c), qRgb(255, 255, 255));
}

// The two seconds are the window's clock's: the test moves it on while the loop runs.
TEST_F(PanelTest, ExitEndsTheLoopAboutTwoSecondsLaterWithTheWindowAlive) {
  Start();
  form_->show();
  const Millis exit_at = clock_.now;
  Millis ended_at = -1;
  auto ended =
      QObject::connect(qApp, &QCoreApplication::aboutToQuit, [&] { ended_at = clock_.now; });
  int ticks = 0;
  QTimer beat;
  // Each beat moves the clock a tenth of a second on: the loop must see 20 of them.
  QObject::connect(&beat, &QTimer::timeout, [&] {
    ++ticks;
    clock_.now += 100;
  });
  beat.start(20);
  Ui().Exit->trigger();
  EXPECT_TRUE(form_->Engine().Link()->State().StopReading.load());
  QApplication::exec();
  QObject::disconnect(ended);
  EXPECT_GE(ended_at - exit_at, 2000);
  EXPECT_LT(ended_at - exit_at, 2500);
  // The wait did not block the event loop.
  EXPECT_GE(ticks, 20);
  EXPECT_TRUE(form_->isHidden());
  form_.reset();
}

}  // namespace
}  // namespace ostrel
