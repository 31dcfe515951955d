#include "app/window_access.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QStringList>
#include <QTabBar>
#include <QTabWidget>

#include "app/main_form_ui.h"
#include "gps/tgps.h"

namespace ostrel {

namespace {

// The label's number and its unit letter spelled out; other units as they are.
std::string Spoken(std::string_view shown, std::string_view letter, const char* unit) {
  const std::size_t space = shown.rfind(' ');
  if (space == std::string_view::npos || shown.substr(space + 1) != letter)
    return std::string(shown);
  std::string out(shown.substr(0, space));
  return out.empty() ? out : out + " " + unit;
}

}  // namespace

void ReturnClicksButtons(QWidget& root) {
  for (QPushButton* button : root.findChildren<QPushButton*>()) button->setAutoDefault(true);
}

void SetUpAccess(MainFormUi& ui) {
  // The frameless scroll area around the client was a tab stop that showed no focus.
  ui.ClientScroll->setFocusPolicy(Qt::NoFocus);

  // The satellites: a name and a tab stop (their title row is the table's header).
  ui.SatGrid->setAccessibleName(QStringLiteral("Active satellites"));
  ui.SatGrid->setFocusPolicy(Qt::StrongFocus);
  ui.MaskAngleLabel->setBuddy(ui.Mask_Angle);
  ui.Mask_Angle->setAccessibleName(QStringLiteral("Mask Angle"));
  ui.SatLoc->setAccessibleName(QStringLiteral("Sky plot"));
  ui.SatLoc->setAccessibleDescription(QStringLiteral("No satellites drawn"));
  ui.FixMode->setAccessibleName(QStringLiteral("GPS Fix Status"));
  ui.Latitude->setAccessibleName(QStringLiteral("Latitude"));
  ui.Longitude->setAccessibleName(QStringLiteral("Longitude"));
  ui.Speed->setAccessibleName(QStringLiteral("Speed"));
  ui.Elevation->setAccessibleName(QStringLiteral("Elevation"));
  ui.Connection_Label->setAccessibleName(QStringLiteral("GPS Receiver status"));
  ui.GPS_Virtual_Port->setAccessibleName(QStringLiteral("GPS Data port"));

  ReturnClicksButtons(*ui.Client);
  ui.Exit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  ui.Exit->setText(QStringLiteral("E&xit"));
  ui.Demonstration->setText(QStringLiteral("&Demonstration"));
}

std::string SpokenSpeed(std::string_view shown) {
  return Spoken(shown, "K", "kilometres per hour");
}

std::string SpokenAltitude(std::string_view shown) { return Spoken(shown, "M", "metres"); }

std::string SkyPlotDescription(const TGPS& gps) {
  QStringList parts;
  for (int prn = 1; prn <= kMaxSatId; ++prn) {
    const TSatellite& sat = gps.Sat[static_cast<std::size_t>(prn)];
    if (!sat.Used) continue;
    parts << QStringLiteral("satellite %1 at elevation %2 degrees, azimuth %3 degrees")
                 .arg(prn)
                 .arg(sat.Elevation)
                 .arg(sat.Azimuth);
  }
  if (parts.isEmpty()) return "No satellites drawn";
  return QStringLiteral("%1 satellites drawn: %2")
      .arg(parts.size())
      .arg(parts.join(QStringLiteral("; ")))
      .toStdString();
}

void FocusFirstControl(MainFormUi& ui) {
  QWidget* focus = ui.PageControl->window()->focusWidget();
  if (focus == nullptr || !focus->isVisible())
    ui.PageControl->tabBar()->setFocus(Qt::OtherFocusReason);
}

}  // namespace ostrel
