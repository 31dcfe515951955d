#pragma once
// The way a second copy reaches the running panel: a local socket next to the
// single-instance mark, in the user's own runtime directory. The second copy asks the
// running panel to show its window, which then needs no tray to be found.
#include <QObject>
#include <functional>
#include <string>

class QLocalServer;

namespace ostrel {

// What the second copy's box says: single-click trays and no tray at all exist.
inline constexpr const char* kAlreadyRunningText =
    "An instance of the GPS Control Panel is already running. Please click its icon in "
    "the system tray, or use the running window.";

// The channel's socket in `dir` (the single-instance mark's directory).
std::string ChannelPath(const std::string& dir);

// The running panel's end: `show` runs for each request. Only the holder of the
// single-instance mark listens, so a socket left by a crashed panel is its to replace.
class ShowRequests : public QObject {
  Q_OBJECT

 public:
  ShowRequests(const std::string& dir, std::function<void()> show, QObject* parent = nullptr);
  bool Listening() const;

 private:
  QLocalServer* server_;
  std::function<void()> show_;
};

// The second copy's end: asks the running panel to show itself; false when nobody
// answered within a second.
bool AskRunningPanelToShow(const std::string& dir);

}  // namespace ostrel
