#pragma once
// The way a second copy reaches the running panel: a local socket next to the
// single-instance mark, in the user's own runtime directory. The second copy asks the
// running panel to show its window, which then needs no tray to be found.
#include <QObject>
#include <functional>
#include <string>

class QLocalServer;
class QLocalSocket;

namespace ostrel {

// What the second copy's box says: single-click trays and no tray at all exist.
inline constexpr const char* kAlreadyRunningText =
    "An instance of the GPS Control Panel is already running. Please click its icon in "
    "the system tray, or use the running window.";

// The channel's socket in `dir` (the single-instance mark's directory).
std::string ChannelPath(const std::string& dir);

// The running panel's end: `show` runs for each request, with the activation token the
// second copy was started with (empty when none came). Only the holder of the
// single-instance mark listens, so a socket left by a crashed panel is its to replace.
class ShowRequests : public QObject {
  Q_OBJECT

 public:
  ShowRequests(const std::string& dir, std::function<void(const std::string& token)> show,
               QObject* parent = nullptr);
  bool Listening() const;

 private:
  void Read(QLocalSocket& client);

  QLocalServer* server_;
  std::function<void(const std::string&)> show_;
};

// The second copy's end: asks the running panel to show itself, handing on the token
// a Wayland desktop started it with (XDG_ACTIVATION_TOKEN), so the compositor lets the
// running window come to the front. False when nobody answered within a second.
bool AskRunningPanelToShow(const std::string& dir, const std::string& token = {});

}  // namespace ostrel
