#pragma once
// Whether an X server answers on a display name, asked before Qt is: Qt's own answer to a
// stale DISPLAY (a server that has gone) is to abort with advice to reinstall.
#include <string>

namespace ostrel {

// True when a connection to `display` (as DISPLAY names it) can be made.
bool XDisplayAnswers(const std::string& display);

}  // namespace ostrel
