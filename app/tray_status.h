#pragma once
// The state at a glance in the tray: one icon of a family per state, painted for each
// size a tray asks for, and the same state in words for the tooltip.
#include <QIcon>
#include <string>

namespace ostrel {

class TGPS;

enum class TrayState { kNoModule, kNoFix, kFix2D, kFix3D, kFix3DCorrected };

// From whether the module is open and the receiver's last navigation solution.
TrayState TrayStateOf(bool module_open, const TGPS& gps);

// "No GPS module", "GPS module found, no fix", "2D fix", "3D fix",
// "3D fix with SBAS/DGPS correction".
std::string TrayStateWords(TrayState state);

// Painted at 16 to 256 pixels: sharp at any size a tray or a scaled screen picks.
QIcon TrayStateIcon(TrayState state);

}  // namespace ostrel
