// ostrel-panel: the Kastrel GPS module's control panel. Its configuration is the
// settings file in the current directory; it takes no options of its own.
#include <QApplication>
#include <QMessageBox>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

#include "app/instance_channel.h"
#include "app/main_form.h"
#include "app/quiet_qt.h"
#include "app/session_end.h"
#include "app/settings.h"
#include "platform/single_instance.h"

namespace {

// Without a display Qt would abort; the panel then runs on the offscreen platform.
void ChoosePlatform() {
  const bool display = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
  if (!display && !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

}  // namespace

int main(int argc, char** argv) {
  ostrel::QuietQtNoise();
  ChoosePlatform();
  // A closed stderr (`ostrel-panel 2>&1 | head`) must not end the panel and leave the
  // port's link behind: a write that fails is only that write's failure.
  std::signal(SIGPIPE, SIG_IGN);
  if (ostrel::AlreadyRunning()) {
    std::fprintf(stderr, "ostrel-panel: another GPS Control Panel is already running\n");
    QApplication app(argc, argv);
    // The running panel shows its window, so the box's advice holds without a tray too.
    const char* token = std::getenv("XDG_ACTIVATION_TOKEN");
    ostrel::AskRunningPanelToShow(ostrel::InstanceDirectory(), token ? token : "");
    QMessageBox::information(nullptr, QStringLiteral("GPS Control Panel"),
                             QString::fromLatin1(ostrel::kAlreadyRunningText));
    return 0;
  }
  // What writers killed in the middle of a settings write left behind.
  ostrel::ProfileFile(ostrel::kSettingsFileName).RemoveStaleTemporaries();
  QApplication app(argc, argv);
  // No display name: Qt would append it to every caption on X11.
  QApplication::setApplicationName(QStringLiteral("ostrel-panel"));
  // The window lives in the tray; hiding it must not end the program.
  QApplication::setQuitOnLastWindowClosed(false);
  // A session that ends (SIGTERM, SIGHUP, Ctrl-C) closes the window like any other
  // close: straight to FormDestroy, and the GPS Data port link goes with it. Installed
  // first, as start-up may stop in an error box.
  ostrel::QuitOnSessionEnd();
  try {
    // The system clock, the module by its USB ids or on Ezusb-0, the current directory.
    auto form = std::make_unique<ostrel::TMainForm>(ostrel::RealEnvironment());
    if (ostrel::SessionEnded()) return 0;
    if (!form->Exiting()) form->show();
    // A second copy's request to show the window (its box then says where it is).
    const ostrel::ShowRequests show_requests(
        ostrel::InstanceDirectory(), [&form](const std::string& token) {
          // Qt's Wayland plug-in activates with the token it finds here.
          if (!token.empty()) qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(token));
          form->ShowWindow();
        });
    const std::string port = form->PortDescription();
    if (port.empty())
      std::fprintf(stderr, "ostrel-panel: no GPS Data port\n");
    else
      std::fprintf(stderr, "ostrel-panel: GPS Data port %s\n", port.c_str());
    QApplication::exec();
  } catch (const std::exception& e) {
    QMessageBox::critical(nullptr, QString::fromLatin1(ostrel::kPanelTitle),
                          QString::fromLocal8Bit(e.what()));
  }
  return 0;
}
