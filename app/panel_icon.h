#pragma once
// The panel's own icon, for the window and the tray, from the program's resources.
#include <QIcon>

namespace ostrel {

QIcon PanelIcon();

}  // namespace ostrel
