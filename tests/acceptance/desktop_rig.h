#pragma once
// A private desktop for the panel: an Xvfb display, optionally the openbox window
// manager, and a private D-Bus session bus, optionally with a StatusNotifier tray host
// (sni_watcher) on it. The test then acts as a user and as the tray: it looks at what
// the window system shows (xdotool, xprop), closes windows as a window manager does,
// and calls the tray icon's Activate and menu over D-Bus (gdbus).
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/process_rig.h"

namespace ostrel::acceptance {

struct DesktopOptions {
  int width = 1280;
  int height = 1024;
  bool window_manager = true;
  bool status_notifier = false;
};

struct WindowBox {
  int x = 0, y = 0, width = 0, height = 0;
};

class Desktop {
 public:
  // Everything lives in `dir` (logs, the display number, the bus address).
  Desktop(const std::filesystem::path& dir, DesktopOptions options);
  ~Desktop();
  // False when a tool is missing or did not come up; `Why` says which.
  bool Ready() const { return ready_; }
  const std::string& Why() const { return why_; }

  // The environment a program on this desktop gets: DISPLAY, the xcb platform and the
  // private session bus.
  std::vector<std::string> Env() const;
  // Runs a shell command on this desktop; its standard output.
  std::string Run(const std::string& command) const;

  // The panel's first viewable window whose name matches the regular expression, or "".
  std::string VisibleWindow(const std::string& name) const;
  // The window's _NET_WM_NAME as the window system holds it ("" when empty).
  std::string WindowName(const std::string& id) const;
  // The window's frame (decorations included) on the screen.
  WindowBox Frame(const std::string& id) const;
  // What a window manager's close button does: WM_DELETE_WINDOW to the window.
  void Close(const std::string& id) const;
  // A PNG of the window.
  bool Screenshot(const std::string& id, const std::filesystem::path& png) const;

  // The StatusNotifier tray: the first icon registered with the host, waited for.
  std::string TrayItem();
  // What the tray host does on a left click on the icon.
  bool Activate(const std::string& item) const;
  // A property of the icon's StatusNotifierItem interface, as gdbus prints it.
  std::string ItemProperty(const std::string& item, const std::string& name) const;
  // The icon's menu as the tray reads it (dbusmenu's layout, as gdbus prints it).
  std::string MenuLayout(const std::string& item) const;
  // Clicks the icon's menu entry with this label; false when there is none.
  bool MenuClick(const std::string& item, const std::string& label) const;

 private:
  bool Start(const std::vector<std::string>& argv, const std::string& log,
             std::unique_ptr<Child>& child);

  std::filesystem::path dir_;
  DesktopOptions options_;
  std::string display_;
  std::string bus_;
  std::unique_ptr<Child> xvfb_;
  std::unique_ptr<Child> wm_;
  std::unique_ptr<Child> bus_daemon_;
  std::unique_ptr<Child> watcher_;
  bool ready_ = false;
  std::string why_;
};

}  // namespace ostrel::acceptance
