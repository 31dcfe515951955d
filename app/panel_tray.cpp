#include "app/panel_tray.h"

#include <QAction>
#include <QMenu>
#include <QWidget>

#include "app/panel_icon.h"
#include "app/status_notifier.h"

namespace ostrel {

PanelTray::PanelTray(QWidget& window)
    : QObject(&window),
      window_(window),
      icon_(new QSystemTrayIcon(PanelIcon(), &window)),
      menu_(new QMenu(&window)) {
  icon_->setObjectName(QStringLiteral("TrayIcon"));
  tip_ = window.windowTitle();
  icon_->setToolTip(tip_);
  connect(icon_, &QSystemTrayIcon::activated, this, &PanelTray::activated);
  // What tray programs on Linux offer on the icon; a StatusNotifier tray shows it on
  // a right click.
  menu_->setObjectName(QStringLiteral("TrayMenu"));
  QAction* restore = menu_->addAction(QStringLiteral("Restore"));
  restore->setObjectName(QStringLiteral("TrayRestore"));
  QAction* exit = menu_->addAction(QStringLiteral("Exit"));
  exit->setObjectName(QStringLiteral("TrayExit"));
  connect(restore, &QAction::triggered, this, &PanelTray::restoreRequested);
  connect(exit, &QAction::triggered, this, &PanelTray::exitRequested);
  icon_->setContextMenu(menu_);
  // With a StatusNotifier tray on the bus Qt's icon would be a second item in it, under
  // the program's name: the panel's own item takes that tray (WatchForStatusNotifierTray).
  if (!StatusNotifier::TrayOnBus()) icon_->show();
}

void PanelTray::WatchForStatusNotifierTray() {
  // Qt's icon keeps an XEmbed tray it is in; every other case is the own item's.
  if (notifier_ || (icon_->isVisible() && QSystemTrayIcon::isSystemTrayAvailable())) return;
  notifier_ = new StatusNotifier(*menu_, this);
  notifier_->SetIcon(icon_->icon());
  ShowTip();
  auto take = [this] {
    if (notifier_->Register()) emit trayTookIcon();
  };
  connect(notifier_, &StatusNotifier::trayAppeared, this, take);
  connect(notifier_, &StatusNotifier::activated, this, &PanelTray::restoreRequested);
  connect(notifier_, &StatusNotifier::contextMenuRequested, menu_,
          [this](QPoint at) { menu_->popup(at); });
  if (StatusNotifier::TrayOnBus()) take();
}

bool PanelTray::Available() const {
  return (icon_->isVisible() && QSystemTrayIcon::isSystemTrayAvailable()) ||
         (notifier_ && notifier_->Registered());
}

void PanelTray::SetTip(const QString& tip) {
  tip_ = tip;
  ShowTip();
}

void PanelTray::SetState(TrayState state) {
  if (state_ == state) return;
  state_ = state;
  const QIcon icon = TrayStateIcon(state);
  icon_->setIcon(icon);
  if (notifier_) notifier_->SetIcon(icon);
  ShowTip();
}

void PanelTray::Hide() {
  icon_->hide();
  if (notifier_) notifier_->Unregister();
}

void PanelTray::Notify(const QString& title, const QString& text) {
  if (notifier_ && notifier_->Registered())
    notifier_->Notify(title, text);
  else if (icon_->isVisible())
    icon_->showMessage(title, text, QSystemTrayIcon::Warning);
}

void PanelTray::ShowTip() {
  // Headed by the window's title (Qt's icon has no heading of its own), the state in
  // words, then the status and port lines.
  QString text = tip_;
  if (state_) text.prepend(QString::fromStdString(TrayStateWords(*state_)) + u'\n');
  const QString title = window_.windowTitle();
  icon_->setToolTip(title + u'\n' + text);
  if (notifier_) notifier_->SetToolTip(title, text);
}

QAction* PanelTray::ExitAction() const {
  return menu_->findChild<QAction*>(QStringLiteral("TrayExit"));
}

}  // namespace ostrel
