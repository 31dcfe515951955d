#pragma once
// The tray icon for StatusNotifier trays (KDE, GNOME's AppIndicator, XFCE, LXQt, swaybar
// and the other Wayland bars), whether the tray was there at start or came up later (a
// desktop's bar started later at login, or restarted). Qt decides once per process
// whether its tray icons go through D-Bus, so its icon would never show in a late tray,
// and its item is named after the program, not the window; this item speaks the
// StatusNotifierItem protocol itself, its menu through dbusmenu. It watches the session
// bus for the tray's watcher and says when one appears; the window then registers it.
#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QString>

class QDBusServiceWatcher;
class QMenu;

namespace ostrel {

class DBusMenuExporter;
class StatusNotifierItemAdaptor;

class StatusNotifier : public QObject {
  Q_OBJECT

 public:
  // `menu` is what the tray shows on the item.
  explicit StatusNotifier(QMenu& menu, QObject* parent = nullptr);
  ~StatusNotifier() override;

  // A tray's watcher is on the session bus now.
  static bool TrayOnBus();
  // Puts the icon into the tray; false when the session bus refused.
  bool Register();
  bool Registered() const { return registered_; }
  bool Exported() const { return exported_; }
  // The item leaves the tray (at exit).
  void Unregister();

  void SetIcon(const QIcon& icon);
  // The tray's title and the tooltip's heading and text.
  void SetToolTip(const QString& title, const QString& text);
  // A desktop notice, as Qt's icon gives one (org.freedesktop.Notifications).
  void Notify(const QString& title, const QString& text);

  // What the adaptor shows.
  const QIcon& Icon() const { return icon_; }
  const QString& Title() const { return title_; }
  const QString& Text() const { return text_; }
  QString ServiceName() const;

 signals:
  // A tray's watcher has appeared on the session bus (also again after it went).
  void trayAppeared();
  // A left click on the icon.
  void activated();
  // The tray asks for the icon's menu at this point on the screen.
  void contextMenuRequested(QPoint at);

 private:
  QDBusServiceWatcher* watcher_ = nullptr;
  StatusNotifierItemAdaptor* adaptor_ = nullptr;
  DBusMenuExporter* menu_ = nullptr;
  bool exported_ = false;
  bool registered_ = false;
  QIcon icon_;
  QString title_;
  QString text_;
};

}  // namespace ostrel
