// The panel on a real X display with a window manager, as a new user meets it: a
// StatusNotifier tray on a private session bus, the window manager's close button, the
// captions the window system shows. Every program is the shipped one, run from outside.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "desktop_rig.h"

namespace {

using namespace ostrel::acceptance;

constexpr const char* kMainWindow = "^Ostrel GPS Control Panel$";

class PanelDesktop : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ostrel-desktop-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    panel_.reset();
    desktop_.reset();
    std::error_code ec;
    if (!HasFailure() || !std::getenv("OSTREL_KEEP")) fs::remove_all(dir_, ec);
  }

  // The desktop, then the panel in the scratch directory with `ini` as its settings.
  void Start(DesktopOptions options, const std::string& ini,
             const std::vector<std::string>& extra_env = {}) {
    desktop_ = std::make_unique<Desktop>(dir_, options);
    if (!desktop_->Ready()) GTEST_SKIP() << desktop_->Why();
    std::ofstream(dir_ / "ostrel_gps_monitor.ini") << ini;
    std::vector<std::string> env = desktop_->Env();
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    panel_ = std::make_unique<Child>(std::vector<std::string>{OSTREL_PANEL_PATH}, dir_,
                                     dir_ / "panel.err", env);
    ASSERT_TRUE(WaitFor([&] { return PanelErr().find("GPS Data port") != std::string::npos; },
                        std::chrono::seconds(15)))
        << PanelErr();
  }
  std::string PanelErr() const { return ReadFile(dir_ / "panel.err"); }
  bool Shown() const { return !desktop_->VisibleWindow(kMainWindow).empty(); }
  // Screenshots of states worth seeing go where OSTREL_SCREENSHOTS points, if it does.
  void Keep(const std::string& window, const std::string& name) const {
    if (const char* shots = std::getenv("OSTREL_SCREENSHOTS")) {
      EXPECT_TRUE(desktop_->Screenshot(window, fs::path(shots) / name));
    }
  }

  fs::path dir_;
  std::unique_ptr<Desktop> desktop_;
  std::unique_ptr<Child> panel_;
};

// The tray of KDE, GNOME (AppIndicator), XFCE, LXQt and Wayland sessions: the icon is
// activated by a single click and has a menu; the window manager's close button hides
// the window instead of ending the panel.
TEST_F(PanelDesktop, StatusNotifierTrayRestoresCloseHidesAndExitEnds) {
  Start({.status_notifier = true}, "[GPS]\nProcessGPS=1\n[Debug]\nPanel=2\n");
  if (IsSkipped() || HasFatalFailure()) return;  // a skip or ASSERT in Start ends only Start
  const std::string item = desktop_->TrayItem();
  ASSERT_FALSE(item.empty()) << "the icon did not register with the tray host";
  // Named as the window is, in the tray's list and atop its tooltip.
  EXPECT_NE(desktop_->ItemProperty(item, "Title").find("<'Ostrel GPS Control Panel'>"),
            std::string::npos)
      << desktop_->ItemProperty(item, "Title");
  EXPECT_NE(desktop_->ItemProperty(item, "ToolTip").find("'Ostrel GPS Control Panel', '"),
            std::string::npos)
      << desktop_->ItemProperty(item, "ToolTip");
  // Into the tray a second after start.
  ASSERT_TRUE(WaitFor([&] { return !Shown(); }, std::chrono::seconds(10)));

  ASSERT_TRUE(desktop_->Activate(item));
  ASSERT_TRUE(WaitFor([&] { return Shown(); }, std::chrono::seconds(5)))
      << "the tray's activation did not restore the window";
  std::string window = desktop_->VisibleWindow(kMainWindow);
  Keep(window, "restored-from-statusnotifier-tray.png");

  // The close button: hidden to the tray; the panel and its GPS Data port stay.
  // A close that comes in the instant the window maps can be lost on its way to the
  // client; a user clicks again, on the window as it is now. A sanitizer build on a busy
  // machine can take seconds to map and answer.
  ASSERT_TRUE(WaitFor(
      [&] {
        const std::string now = desktop_->VisibleWindow(kMainWindow);
        desktop_->Close(now.empty() ? window : now);
        return WaitFor([&] { return !Shown(); }, std::chrono::seconds(2));
      },
      std::chrono::seconds(15)));
  EXPECT_FALSE(WaitFor([&] { return panel_->Ended(); }, std::chrono::milliseconds(2500)));
  EXPECT_TRUE(fs::is_symlink(dir_ / "COM1"));

  // The icon's menu as the tray draws it, every entry working: Record Track is ticked
  // once the engine records, Receiver Status opens its window, Restore, then Exit.
  const std::string layout = desktop_->MenuLayout(item);
  for (const char* label : {"Restore", "Receiver Status", "Record Track", "Exit"})
    EXPECT_NE(layout.find(std::string("'label': <'") + label + "'>"), std::string::npos) << layout;
  ASSERT_TRUE(desktop_->MenuClick(item, "Record Track"));
  EXPECT_TRUE(WaitFor(
      [&] {
        return desktop_->MenuLayout(item).find("'label': <'Record Track'>, 'toggle-state': <1>") !=
               std::string::npos;
      },
      std::chrono::seconds(5)))
      << desktop_->MenuLayout(item);
  ASSERT_TRUE(desktop_->MenuClick(item, "Receiver Status"));
  EXPECT_TRUE(WaitFor([&] { return !desktop_->VisibleWindow("^Receiver Status$").empty(); },
                      std::chrono::seconds(5)));
  ASSERT_TRUE(desktop_->MenuClick(item, "Restore"));
  ASSERT_TRUE(WaitFor([&] { return Shown(); }, std::chrono::seconds(5)));
  ASSERT_TRUE(desktop_->MenuClick(item, "Exit"));
  const auto chosen = std::chrono::steady_clock::now();
  // The window goes at once; the panel ends after its pause, taking the port with it.
  EXPECT_TRUE(WaitFor([&] { return !Shown(); }, std::chrono::milliseconds(500)));
  EXPECT_FALSE(panel_->Ended());
  ASSERT_TRUE(WaitFor([&] { return panel_->Ended(); }, std::chrono::seconds(10)));
  const auto took = std::chrono::steady_clock::now() - chosen;
  EXPECT_GE(took, std::chrono::milliseconds(1800));
  EXPECT_EQ(panel_->ExitCode(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "COM1")));
  // The tray read the item and its menu without a complaint from Qt's D-Bus side (an
  // entry point it cannot serve is said on stderr): the start line is all.
  const std::string err = PanelErr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

// The captions the window system shows are the boxes' own: Qt on X11 would append the
// application's name, and would give the help form's empty caption the program's name.
TEST_F(PanelDesktop, CaptionsAreExactlyTheBoxesOwn) {
  // A settings file that cannot be written: start-up stops in an "Error" box.
  fs::create_directory(dir_ / "ostrel_gps_monitor.ini");
  desktop_ = std::make_unique<Desktop>(dir_, DesktopOptions{});
  if (!desktop_->Ready()) GTEST_SKIP() << desktop_->Why();
  panel_ = std::make_unique<Child>(std::vector<std::string>{OSTREL_PANEL_PATH}, dir_,
                                   dir_ / "panel.err", desktop_->Env());
  std::string box;
  ASSERT_TRUE(WaitFor([&] { return !(box = desktop_->VisibleWindow("^Error")).empty(); },
                      std::chrono::seconds(15)));
  EXPECT_EQ(desktop_->WindowName(box), "Error");
  desktop_->Run("xdotool windowfocus --sync " + box + " key Return");

  std::string window;
  ASSERT_TRUE(WaitFor([&] { return !(window = desktop_->VisibleWindow("^Ostrel")).empty(); },
                      std::chrono::seconds(10)));
  EXPECT_EQ(desktop_->WindowName(window), "Ostrel GPS Control Panel");
  // Minimised a second after start (no tray here); brought back as a task bar does.
  ASSERT_TRUE(WaitFor([&] { return !Shown(); }, std::chrono::seconds(10)));
  desktop_->Run("xdotool windowactivate --sync " + window);
  ASSERT_TRUE(WaitFor([&] { return Shown(); }, std::chrono::seconds(5)));

  // Help, where the window has its button; a click in the instant the window maps may
  // go nowhere, so a user would click again.
  std::string help;
  auto help_shown = [&] {
    std::istringstream ids(desktop_->Run("xdotool search --onlyvisible --class ostrel-panel"));
    for (std::string id; std::getline(ids, id);)
      if (id != window) help = id;
    return !help.empty();
  };
  ASSERT_TRUE(WaitFor(
      [&] {
        desktop_->Run("xdotool mousemove --window " + window + " 254 451 click 1");
        return WaitFor(help_shown, std::chrono::seconds(1));
      },
      std::chrono::seconds(6)));
  EXPECT_EQ(desktop_->WindowName(help), "");
}

// A laptop's 1366 x 768 screen at 125 %: the whole window, frame included, is on it.
TEST_F(PanelDesktop, WindowFitsA1366By768ScreenAt125Percent) {
  Start({.width = 1366, .height = 768}, "[Debug]\nPanel=2\n", {"QT_SCALE_FACTOR=1.25"});
  if (IsSkipped() || HasFatalFailure()) return;
  std::string window;
  ASSERT_TRUE(WaitFor([&] { return !(window = desktop_->VisibleWindow(kMainWindow)).empty(); },
                      std::chrono::seconds(10)));
  const WindowBox frame = desktop_->Frame(window);
  EXPECT_GE(frame.x, 0);
  EXPECT_GE(frame.y, 0);
  EXPECT_LE(frame.x + frame.width, 1366) << frame.width;
  EXPECT_LE(frame.y + frame.height, 768) << frame.height;
  // Not shrunk to nothing either: most of the screen's height.
  EXPECT_GE(frame.height, 600);
}

// The run command on a machine without a display: the panel goes offscreen and says
// its start line, nothing of Qt's it cannot help.
TEST_F(PanelDesktop, OffscreenStartSaysOnlyItsStartLine) {
  // Names alone unset the variables.
  Child panel({OSTREL_PANEL_PATH}, dir_, dir_ / "panel.err",
              {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"});
  ASSERT_TRUE(WaitFor([&] { return PanelErr().find("GPS Data port") != std::string::npos; },
                      std::chrono::seconds(15)))
      << PanelErr();
  const std::string start = "ostrel-panel: GPS Data port COM1 at " + (dir_ / "COM1").string() +
                            " (" + fs::read_symlink(dir_ / "COM1").string() + ")\n";
  panel.Signal(SIGTERM);
  ASSERT_TRUE(WaitFor([&] { return panel.Ended(); }, std::chrono::seconds(10)));
  EXPECT_EQ(PanelErr(), start);
}

}  // namespace
