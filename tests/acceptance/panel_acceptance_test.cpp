// The shipped program end to end: ostrel-panel and kastrel-emulator as separate
// processes, a scratch directory as the current directory, and nothing but what a user
// sees from outside: the settings file, the GPS Data port link, the module's packet log
// and the process's own end.
//
// File > Exit is chosen the way a user does it: under a private Xvfb display the test
// focuses the panel's window and types Alt+F, Return with xdotool (XTEST), which opens
// the window's own File menu and triggers its Exit action. Without a tray host the
// one-second hide leaves the window mapped (minimised, and with no window manager it
// stays on screen), so no tray click is needed. Without Xvfb or xdotool that part is
// skipped, and the end is checked through SIGTERM (a session's end) instead.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "desktop_rig.h"
#include "support/emulator_harness.h"
#include "support/process_rig.h"

namespace {

using namespace ostrel::acceptance;

// The "rx" packets of the emulator's log, without the poll byte '^'.
std::vector<std::string> Received(const fs::path& log) {
  return ostrel::emulator_test::ReceivedBlocks(log.string());
}

// Without a tray host, and with a StatusNotifier tray as KDE, GNOME, XFCE and LXQt run.
enum class Tray { kNone, kStatusNotifier };

class PanelAcceptance : public testing::TestWithParam<Tray> {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ostrel-acceptance-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    desktop_ = std::make_unique<Desktop>(
        dir_, DesktopOptions{.width = 1024,
                             .height = 768,
                             .window_manager = false,
                             .status_notifier = GetParam() == Tray::kStatusNotifier});
    if (!desktop_->Ready()) {
      if (GetParam() == Tray::kStatusNotifier) GTEST_SKIP() << desktop_->Why();
      desktop_.reset();
    }
  }
  void TearDown() override {
    desktop_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // With no X display the panel runs offscreen. Qt's runtime directory is left unset,
  // as in many a terminal session.
  std::vector<std::string> PanelEnv() const {
    std::vector<std::string> env{"XDG_RUNTIME_DIR"};  // a name alone: unset
    if (!desktop_) {
      env.push_back("QT_QPA_PLATFORM=offscreen");
      return env;
    }
    const std::vector<std::string> x = desktop_->Env();
    env.insert(env.end(), x.begin(), x.end());
    return env;
  }

  std::string XdoTool(const std::string& args) const { return desktop_->Run("xdotool " + args); }

  fs::path dir_;
  std::unique_ptr<Desktop> desktop_;
};

void PrintTo(Tray tray, std::ostream* out) {
  *out << (tray == Tray::kNone ? "no tray" : "StatusNotifier tray");
}

INSTANTIATE_TEST_SUITE_P(Trays, PanelAcceptance,
                         testing::Values(Tray::kNone, Tray::kStatusNotifier), [](const auto& row) {
                           return std::string(row.param == Tray::kNone ? "NoTray"
                                                                       : "StatusNotifierTray");
                         });

TEST_P(PanelAcceptance, ConfiguresTheModuleRefusesASecondCopyAndExitsFromItsMenu) {
  const fs::path emulator_log = dir_ / "emulator.log";
  // On the module's own socket name, where the panel looks for it.
  ostrel::emulator_test::EmulatorProcess emulator(
      "Ezusb-0", {"--log", emulator_log.string(), "--eeprom", (dir_ / "eeprom.bin").string()});
  ASSERT_TRUE(emulator.ready()) << emulator.output();

  const fs::path panel_err = dir_ / "panel.err";
  Child panel({OSTREL_PANEL_PATH}, dir_, panel_err, PanelEnv());
  const fs::path link = dir_ / "COM1";
  ASSERT_TRUE(WaitFor(
      [&] { return ReadFile(panel_err).find("GPS Data port COM1 at") != std::string::npos; },
      std::chrono::seconds(15)))
      << ReadFile(panel_err);
  // The start line and nothing else: no notes of Qt's that a user cannot act on.
  const std::string start_line = "ostrel-panel: GPS Data port COM1 at " + link.string() + " (" +
                                 fs::read_symlink(link).string() + ")\n";
  EXPECT_EQ(ReadFile(panel_err), start_line);
  EXPECT_TRUE(fs::is_symlink(link));

  // The settings sequence, one block per tick, each acknowledged.
  const std::vector<std::string> expected{
      "j", "*c", "! CFG-PRT port=1 baud=19200", "*19200", "! CFG-SBAS mode=1", "**"};
  ASSERT_TRUE(WaitFor([&] { return Received(emulator_log).size() >= expected.size(); },
                      std::chrono::seconds(10)));
  // "Connected..." is shown when both keys are stored after the sequence was queued.
  EXPECT_EQ(ReadFile(dir_ / "ostrel_gps_monitor.ini"),
            "[GPS]\nCOM=0\nWAAS=1\nBaud=19200\nPassBinaryData=0\n");
  // Exactly these, in this order: nothing else goes to the module unasked (polls aside).
  EXPECT_EQ(Received(emulator_log), expected);

  // A second copy is refused and leaves the first alone.
  const fs::path second_err = dir_ / "second.err";
  Child second({OSTREL_PANEL_PATH}, dir_, second_err, PanelEnv());
  ASSERT_TRUE(
      WaitFor([&] { return ReadFile(second_err).find("already running") != std::string::npos; },
              std::chrono::seconds(15)))
      << ReadFile(second_err);
  if (desktop_) {
    // Its box says so; OK ends it with 0.
    ASSERT_TRUE(WaitFor([&] { return !XdoTool("search --name '^GPS Control Panel$'").empty(); },
                        std::chrono::seconds(10)));
    const std::string box = XdoTool("search --name '^GPS Control Panel$'");
    XdoTool("windowfocus --sync " + box.substr(0, box.find('\n')) + " key Return");
    ASSERT_TRUE(WaitFor([&] { return second.Ended(); }, std::chrono::seconds(10)));
    EXPECT_EQ(second.ExitCode(), 0);
  } else {
    second.Signal(SIGKILL);  // its box waits for a click nobody can make offscreen
    ASSERT_TRUE(WaitFor([&] { return second.Ended(); }, std::chrono::seconds(10)));
  }
  EXPECT_FALSE(panel.Ended());
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(panel_err).find("already"), std::string::npos);

  if (!desktop_) {
    GTEST_SKIP() << "no Xvfb/xdotool: File > Exit not reachable; the window's tests cover it";
  }
  constexpr const char* kWindow = "^Ostrel GPS Control Panel$";
  if (GetParam() == Tray::kStatusNotifier) {
    ASSERT_FALSE(desktop_->TrayItem().empty());
  }
  // The second copy had the running panel show its window, tray or none.
  ASSERT_TRUE(
      WaitFor([&] { return !desktop_->VisibleWindow(kWindow).empty(); }, std::chrono::seconds(10)));
  // File > Exit from the window's own menu.
  std::string window;
  ASSERT_TRUE(WaitFor(
      [&] {
        window = desktop_->VisibleWindow(kWindow);
        return !window.empty();
      },
      std::chrono::seconds(10)));
  XdoTool("mousemove --window " + window + " 150 150");
  XdoTool("windowfocus --sync " + window);
  // Exit is the menu's last item: Up wraps round to it from the first.
  XdoTool("key --delay 100 alt+f");
  // Exit is the menu's last item: Up wraps to it.
  XdoTool("key --delay 100 Up");
  const auto chosen = Clock::now();
  XdoTool("key --delay 100 Return");
  // The window goes at once; the end follows the pause.
  EXPECT_TRUE(WaitFor([&] { return desktop_->VisibleWindow(kWindow).empty(); },
                      std::chrono::milliseconds(800)));
  ASSERT_TRUE(WaitFor([&] { return panel.Ended(); }, std::chrono::seconds(10)));
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - chosen);
  EXPECT_EQ(panel.ExitCode(), 0);
  EXPECT_GE(took.count(), 1800);
  EXPECT_LT(took.count(), 5000);
  // The GPS Data port link goes with the program; the module saw the host go.
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  EXPECT_NE(ReadFile(emulator_log).find("disconnected"), std::string::npos);
  EXPECT_EQ(ReadFile(panel_err), start_line);
}

}  // namespace
