// What a close does and when processing follows the window, from what the window
// system reports.
#include "app/window_presence.h"

#include <gtest/gtest.h>

namespace ostrel {
namespace {

TEST(WindowPresence, OnlyExitAndTheSessionsEndEndThePanel) {
  EXPECT_EQ(DecideClose(false, false), CloseOutcome::kHide);
  EXPECT_EQ(DecideClose(true, false), CloseOutcome::kEnd);
  EXPECT_EQ(DecideClose(false, true), CloseOutcome::kEnd);
}

TEST(WindowPresence, ProcessingFollowsOnlyWhatReallyLeavesTheScreen) {
  constexpr WindowSight kShown{true, false, true};
  constexpr WindowSight kHidden{false, false, false};
  // Asked to minimise, still there (a tiling manager), then really minimised.
  constexpr WindowSight kMinimiseIgnored{true, true, true};
  constexpr WindowSight kMinimised{true, true, false};

  PresenceTracker tracker;
  // Before the window was first shown nothing is switched.
  EXPECT_EQ(tracker.Update(kHidden), ProcessingChange::kNone);
  EXPECT_EQ(tracker.Update(kShown), ProcessingChange::kNone);
  EXPECT_EQ(tracker.Update(kMinimiseIgnored), ProcessingChange::kNone);
  EXPECT_EQ(tracker.Update(kMinimised), ProcessingChange::kSwitchOff);
  EXPECT_EQ(tracker.Update(kMinimised), ProcessingChange::kNone);
  EXPECT_EQ(tracker.Update(kShown), ProcessingChange::kSwitchOn);
  EXPECT_EQ(tracker.Update(kHidden), ProcessingChange::kSwitchOff);
  EXPECT_EQ(tracker.Update(kMinimiseIgnored), ProcessingChange::kSwitchOn);
  // A window not yet exposed after a show is already on its way to the screen.
  EXPECT_TRUE(OnScreen({true, false, false}));
}

}  // namespace
}  // namespace ostrel
