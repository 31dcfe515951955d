#pragma once
// The window for the keyboard and for screen readers: names, descriptions, headers and
// tab stops the shown texts do not give, and what the keys do. The texts on screen stay
// as they are; only what assistive technology reads is added.
#include <string>
#include <string_view>

class QWidget;

namespace ostrel {

struct MainFormUi;
class TGPS;

// Names and descriptions, tab stops, Return on buttons, Ctrl+Q and the
// File menu's mnemonics.
void SetUpAccess(MainFormUi& ui);

// Return and Enter click a focused button, as Space does (buttons outside dialogs only
// answer Space); for every button under `root`, the window's and the boxes'.
void ReturnClicksButtons(QWidget& root);

// What a screen reader reads for the speed ("45.000 K") and altitude ("545.4 M")
// labels: the units spelled out. Empty for an empty label.
std::string SpokenSpeed(std::string_view shown);
std::string SpokenAltitude(std::string_view shown);

// The sky plot in words: each satellite drawn, with its elevation and azimuth.
std::string SkyPlotDescription(const TGPS& gps);

// After a restore the keyboard starts on the window's first control.
void FocusFirstControl(MainFormUi& ui);

}  // namespace ostrel
