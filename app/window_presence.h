#pragma once
// What a close does, and whether the window is where the user can see it. Plain logic,
// fed with what the window system reports, so that it behaves the same on X11, on
// Wayland and on the offscreen platform.
#include <optional>

namespace ostrel {

enum class CloseOutcome { kHide, kEnd };

// Only the panel's own Exit (menu or tray) and the session's end end the panel; every
// other close hides. Wayland delivers a title bar's close, Alt+F4, a task bar's Close and
// a compositor's kill as closes that are not "spontaneous", so their origin cannot tell
// a user from the program.
CloseOutcome DecideClose(bool exiting, bool session_ending);

// The window as the window system reports it. A minimise request is only a request:
// tiling window managers and Wayland compositors may leave the window where it is, and
// then it stays exposed.
struct WindowSight {
  bool visible = false;
  bool minimized = false;
  bool exposed = false;
};

// Visible and not minimised away: the displays are seen and worth their processing.
bool OnScreen(const WindowSight& sight);

enum class ProcessingChange { kNone, kSwitchOff, kSwitchOn };

// Turns the window's comings and goings into switching processing off (when it has
// really left the screen) and back on (when it is seen again). Nothing happens before
// the window was first on screen, and nothing between changes, so a user's own choice
// of the check box stands while the window stays where it is.
class PresenceTracker {
 public:
  ProcessingChange Update(const WindowSight& sight);

 private:
  std::optional<bool> on_screen_;
};

}  // namespace ostrel
