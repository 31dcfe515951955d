// A StatusNotifier watcher with a host, as a desktop's tray runs it, on the session bus
// of DBUS_SESSION_BUS_ADDRESS. With it on the bus the panel shows its icon through the
// StatusNotifier protocol. Prints "ready" once it owns its name and then one line
// "item SERVICE" for each icon that registers; the test acts as the tray from there.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <cstdio>

class Watcher : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ HostRegistered)
  Q_PROPERTY(int ProtocolVersion READ ProtocolVersion)
  Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ Items)

 public:
  bool HostRegistered() const { return true; }
  int ProtocolVersion() const { return 0; }
  QStringList Items() const { return items_; }

 public slots:
  void RegisterStatusNotifierItem(const QString& service) {
    // An item may name its object path instead of a service: then it is the sender's.
    const QString name = service.startsWith(QLatin1Char('/')) ? message().service() : service;
    items_ << name;
    std::printf("item %s\n", name.toUtf8().constData());
    std::fflush(stdout);
    emit StatusNotifierItemRegistered(name);
  }
  void RegisterStatusNotifierHost(const QString&) {}

 signals:
  void StatusNotifierItemRegistered(const QString& service);
  void StatusNotifierItemUnregistered(const QString& service);
  void StatusNotifierHostRegistered();

 private:
  QStringList items_;
};

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QDBusConnection bus = QDBusConnection::sessionBus();
  Watcher watcher;
  if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                          QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                              QDBusConnection::ExportAllProperties) ||
      !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
    std::fprintf(stderr, "sni_watcher: %s\n", bus.lastError().message().toUtf8().constData());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  return QCoreApplication::exec();
}

#include "sni_watcher.moc"
