// ostrel-panel: the Kastrel GPS module's control panel. Its configuration is the
// settings file in the current directory; its own options are few (--help).
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "app/command_line.h"
#include "app/headless.h"
#include "app/instance_channel.h"
#include "app/main_form.h"
#include "app/quiet_qt.h"
#include "app/session_end.h"
#include "engine/panel_engine.h"
#include "engine/settings.h"
#include "engine/udev_rule.h"
#include "platform/single_instance.h"
#include "platform/x_display.h"

namespace {

// Without a display Qt would abort; the panel then runs on the offscreen platform.
void ChoosePlatform() {
  const bool display = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
  if (!display && !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

// A DISPLAY whose server has gone: said in our words, before Qt aborts with its own.
bool StaleDisplay(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::string_view(argv[i]).starts_with("-platform")) return false;
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  const char* display = std::getenv("DISPLAY");
  const bool x11 = platform != nullptr ? std::string_view(platform).starts_with("xcb")
                                       : std::getenv("WAYLAND_DISPLAY") == nullptr;
  if (!x11 || display == nullptr || ostrel::XDisplayAnswers(display)) return false;
  std::fprintf(stderr,
               "ostrel-panel: no X server answers on the display \"%s\" (DISPLAY). Start the "
               "panel in your desktop session, or without a window: ostrel-panel --no-window\n",
               display);
  return true;
}

// --no-window: the service program in this process's place, so that no window toolkit is
// loaded; beside this program in the build tree, in the libexec folder when installed.
// Where neither can be run, the service runs here.
int RunService(int argc, char** argv) {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    for (const std::filesystem::path& dir :
         {self.parent_path(), self.parent_path() / OSTREL_LIBEXEC_FROM_BIN}) {
      const std::string service = (dir / "ostrel-panel-service").lexically_normal().string();
      ::execv(service.c_str(), argv);
    }
  }
  return ostrel::ServiceMain(argc, argv);
}

// Nobody can press a box's OK: offscreen (a script, a CI run, 20 starts at once) a box
// would hold the program for ever. Asked once the application exists.
bool Unattended() {
  const QString platform = QGuiApplication::platformName();
  return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

// A second start: says which panel runs, and how to reach it. Without anyone to read a
// box it ends with 1, as the service does: this copy did not start.
int SayAlreadyRunning(int argc, char** argv, const std::string& running) {
  const bool service = running.starts_with("as a service");
  const std::string text =
      service ? "The GPS Control Panel already runs " + running +
                    ". Stop it first (systemctl --user stop ostrel-panel) to use its window."
              : std::string(ostrel::kAlreadyRunningText);
  std::fprintf(stderr, "ostrel-panel: another GPS Control Panel is already running%s%s\n",
               running.empty() ? "" : " ", running.c_str());
  QApplication app(argc, argv);
  ostrel::ReleaseXDisplayProbe();
  if (!service) {
    // The running panel shows its window, so the box's advice holds without a tray too.
    const char* token = std::getenv("XDG_ACTIVATION_TOKEN");
    ostrel::AskRunningPanelToShow(ostrel::InstanceDirectory(), token ? token : "");
  }
  if (Unattended()) return 1;
  QMessageBox::information(nullptr, QStringLiteral("GPS Control Panel"),
                           QString::fromStdString(text));
  return 0;
}

int RunWindow(int argc, char** argv, bool status) {
  std::string running;
  if (ostrel::AlreadyRunning("with a window (process " + std::to_string(::getpid()) + ")",
                             running)) {
    return SayAlreadyRunning(argc, argv, running);
  }
  // What writers killed in the middle of a settings write left behind.
  ostrel::ProfileFile(ostrel::kSettingsFileName).RemoveStaleTemporaries();
  QApplication app(argc, argv);
  ostrel::ReleaseXDisplayProbe();
  // No display name: Qt would append it to every caption on X11.
  QApplication::setApplicationName(QStringLiteral("ostrel-panel"));
  // The window lives in the tray; hiding it must not end the program.
  QApplication::setQuitOnLastWindowClosed(false);
  // A session that ends (SIGTERM, SIGHUP, Ctrl-C) closes the window like any other
  // close: straight to the end, and the GPS Data port link goes with it. Installed
  // first, as start-up may stop in an error box.
  ostrel::QuitOnSessionEnd();
  const bool unattended = Unattended();
  try {
    // The system clock, the module by its USB ids or on Ezusb-0, the current directory.
    auto form = std::make_unique<ostrel::TMainForm>(ostrel::RealEnvironment(), unattended);
    if (ostrel::SessionEnded()) return 0;
    // The error is on stderr; with nobody to read the window, running on is pointless.
    if (unattended && !form->Started() && !form->Exiting()) return 1;
    if (!form->Exiting()) form->show();
    // A second copy's request to show the window (its box then says where it is).
    const ostrel::ShowRequests show_requests(
        ostrel::InstanceDirectory(), [&form](const std::string& token) {
          // Qt's Wayland plug-in activates with the token it finds here.
          if (!token.empty()) qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(token));
          form->ShowWindow();
        });
    if (status && !form->Exiting()) form->ShowStatusWindow();
    const std::string port = form->Engine().PortDescription();
    if (port.empty())
      std::fprintf(stderr, "ostrel-panel: no GPS Data port\n");
    else
      std::fprintf(stderr, "ostrel-panel: GPS Data port %s\n", port.c_str());
    QApplication::exec();
    return form->Failed() ? 1 : 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ostrel-panel: %s\n", e.what());
    if (!unattended)
      QMessageBox::critical(nullptr, QString::fromLatin1(ostrel::kPanelTitle),
                            QString::fromLocal8Bit(e.what()));
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const ostrel::CommandLine line = ostrel::ParseCommandLine(argc, argv);
  if (line.udev_rule_ids > 0) return ostrel::UdevRuleMain(argc, argv, line.udev_rule_ids);
  if (line.exit_code >= 0) return ostrel::FinishNow(line);
  if (line.no_window) return RunService(argc, argv);
  ostrel::QuietQtNoise();
  // A closed stderr (`ostrel-panel 2>&1 | head`) must not end the panel and leave the
  // port's link behind: a write that fails is only that write's failure.
  std::signal(SIGPIPE, SIG_IGN);
  ChoosePlatform();
  if (StaleDisplay(argc, argv)) return 1;
  return RunWindow(argc, argv, line.status);
}
