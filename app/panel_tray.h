#pragma once
// The panel in the system tray: the panel's own StatusNotifier item whenever a tray's
// watcher is on the session bus, at start or later (named after the window, which Qt's
// item is not), Qt's icon for an XEmbed tray; the icon's menu (Restore, Exit), the state
// at a glance and the tooltip under the window's title. The window acts on what the tray
// asks for.
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>
#include <optional>

#include "app/tray_status.h"

class QAction;
class QMenu;
class QWidget;

namespace ostrel {

class StatusNotifier;

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
  // A notice on the desktop, through whichever icon is in use.
  void Notify(const QString& title, const QString& text);
  // Watching for a StatusNotifier tray starts here, once the window's answers to the
  // signals are connected (a tray already on the bus takes the icon at once).
  void WatchForStatusNotifierTray();
  // The panel's own item, while it is in use.
  StatusNotifier* Notifier() const { return notifier_; }

 signals:
  // Qt's icon was activated (the window decides which clicks restore).
  void activated(QSystemTrayIcon::ActivationReason reason);
  void restoreRequested();
  void exitRequested();
  // The icon has just been put into a StatusNotifier tray (also one that started after
  // the panel).
  void trayTookIcon();

 private:
  void ShowTip();

  QWidget& window_;
  QSystemTrayIcon* icon_;
  QMenu* menu_;
  StatusNotifier* notifier_ = nullptr;
  std::optional<TrayState> state_;
  QString tip_;
};

}  // namespace ostrel
