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
  icon_->show();
}

void PanelTray::WatchForLateTray() {
  // Qt's icon serves a tray that was there at start; one that comes later gets this.
  if (QSystemTrayIcon::isSystemTrayAvailable() || late_) return;
  late_ = new LateStatusNotifier(this);
  late_->SetIcon(icon_->icon());
  ShowTip();
  auto take = [this] {
    if (late_->Register()) emit lateTrayTookIcon();
  };
  connect(late_, &LateStatusNotifier::trayAppeared, this, take);
  connect(late_, &LateStatusNotifier::activated, this, &PanelTray::restoreRequested);
  connect(late_, &LateStatusNotifier::contextMenuRequested, menu_,
          [this](QPoint at) { menu_->popup(at); });
  if (LateStatusNotifier::TrayOnBus()) take();
}

bool PanelTray::Available() const {
  return QSystemTrayIcon::isSystemTrayAvailable() || (late_ && late_->Registered());
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
  if (late_) late_->SetIcon(icon);
  ShowTip();
}

void PanelTray::Hide() { icon_->hide(); }

void PanelTray::ShowTip() {
  // Headed by the window's title (Qt's icon has no heading of its own), the state in
  // words, then the status and port lines.
  QString text = tip_;
  if (state_) text.prepend(QString::fromStdString(TrayStateWords(*state_)) + u'\n');
  const QString title = window_.windowTitle();
  icon_->setToolTip(title + u'\n' + text);
  if (late_) late_->SetToolTip(title, text);
}

QAction* PanelTray::ExitAction() const {
  return menu_->findChild<QAction*>(QStringLiteral("TrayExit"));
}

}  // namespace ostrel
