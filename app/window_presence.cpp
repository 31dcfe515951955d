#include "app/window_presence.h"

namespace ostrel {

CloseOutcome DecideClose(bool exiting, bool session_ending) {
  return exiting || session_ending ? CloseOutcome::kEnd : CloseOutcome::kHide;
}

bool OnScreen(const WindowSight& sight) {
  return sight.visible && !(sight.minimized && !sight.exposed);
}

ProcessingChange PresenceTracker::Update(const WindowSight& sight) {
  const bool now = OnScreen(sight);
  if (!on_screen_) {
    if (now) on_screen_ = true;
    return ProcessingChange::kNone;
  }
  if (now == *on_screen_) return ProcessingChange::kNone;
  on_screen_ = now;
  return now ? ProcessingChange::kSwitchOn : ProcessingChange::kSwitchOff;
}

}  // namespace ostrel
