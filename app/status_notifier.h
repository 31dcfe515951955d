#pragma once
// The tray icon for a StatusNotifier tray that came up after the panel (a desktop's bar
// started later at login, or restarted). Qt decides once per process whether its tray
// icons go through D-Bus, so an icon made after a late tray appeared would never show;
// this item speaks the StatusNotifierItem protocol itself instead. It watches the session
// bus for the tray's watcher and says when one appears; the window then registers it.
#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QString>

class QDBusServiceWatcher;

namespace ostrel {

class StatusNotifierItemAdaptor;

class LateStatusNotifier : public QObject {
  Q_OBJECT

 public:
  explicit LateStatusNotifier(QObject* parent = nullptr);
  ~LateStatusNotifier() override;

  // A tray's watcher is on the session bus now.
  static bool TrayOnBus();
  // Puts the icon into the tray; false when the session bus refused.
  bool Register();
  bool Registered() const { return registered_; }

  void SetIcon(const QIcon& icon);
  // The tray's title and the tooltip's heading and text.
  void SetToolTip(const QString& title, const QString& text);

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
  bool exported_ = false;
  bool registered_ = false;
  QIcon icon_;
  QString title_;
  QString text_;
};

}  // namespace ostrel
