#pragma once
// The panel in the system tray: Qt's icon for a tray that is there at start, one of the
// panel's own for a StatusNotifier tray that comes later, the icon's menu (Restore,
// Exit), the state at a glance and the tooltip under the window's title. The window
// acts on what the tray asks for.
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>
#include <optional>

#include "app/tray_status.h"

class QAction;
class QMenu;
class QWidget;

namespace ostrel {

class LateStatusNotifier;

class PanelTray : public QObject {
  Q_OBJECT

 public:
  // `window` owns the menu and gives the title.
  explicit PanelTray(QWidget& window);

  QSystemTrayIcon* Icon() const { return icon_; }
  // The icon's menu, for the window's further items, and its Exit, which stays last.
  QMenu* Menu() const { return menu_; }
  QAction* ExitAction() const;
  // A tray shows the icon, so a hidden window can be found again.
  bool Available() const;
  // The status and port lines under the state.
  void SetTip(const QString& tip);
  // The icon and the words for the state; nothing when it is the one shown.
  void SetState(TrayState state);
  // At exit: the icon goes with the window.
  void Hide();
  // Watching for a tray that comes later starts here, once the window's answers to the
  // signals are connected (a tray already on the bus answers at once).
  void WatchForLateTray();

 signals:
  // Qt's icon was activated (the window decides which clicks restore).
  void activated(QSystemTrayIcon::ActivationReason reason);
  void restoreRequested();
  void exitRequested();
  // The icon has just been put into a tray that started after the panel.
  void lateTrayTookIcon();

 private:
  void ShowTip();

  QWidget& window_;
  QSystemTrayIcon* icon_;
  QMenu* menu_;
  LateStatusNotifier* late_ = nullptr;
  std::optional<TrayState> state_;
  QString tip_;
};

}  // namespace ostrel
