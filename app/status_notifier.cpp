#include "app/status_notifier.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QImage>
#include <QList>
#include <QMenu>
#include <QtEndian>

#include "app/dbus_menu.h"

namespace ostrel {

namespace {

constexpr const char* kWatcher = "org.kde.StatusNotifierWatcher";
constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kMenuPath = "/MenuBar";

}  // namespace

// One picture of the icon: ARGB32 in network byte order, as the protocol has it.
struct SniPixmap {
  int width = 0;
  int height = 0;
  QByteArray data;
};
using SniPixmaps = QList<SniPixmap>;

struct SniToolTip {
  QString icon_name;
  SniPixmaps icon;
  QString title;
  QString text;
};

QDBusArgument& operator<<(QDBusArgument& arg, const SniPixmap& p) {
  arg.beginStructure();
  arg << p.width << p.height << p.data;
  arg.endStructure();
  return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, SniPixmap& p) {
  arg.beginStructure();
  arg >> p.width >> p.height >> p.data;
  arg.endStructure();
  return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const SniToolTip& t) {
  arg.beginStructure();
  arg << t.icon_name << t.icon << t.title << t.text;
  arg.endStructure();
  return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, SniToolTip& t) {
  arg.beginStructure();
  arg >> t.icon_name >> t.icon >> t.title >> t.text;
  arg.endStructure();
  return arg;
}

namespace {

// The sizes trays ask for most, drawn from the icon (sharp where it is a drawing).
SniPixmaps Pixmaps(const QIcon& icon) {
  SniPixmaps out;
  if (icon.isNull()) return out;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    QImage image = icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
    SniPixmap p{image.width(), image.height(), {}};
    p.data.resize(static_cast<qsizetype>(image.sizeInBytes()));
    auto* to = reinterpret_cast<quint32*>(p.data.data());
    for (int y = 0; y < image.height(); ++y) {
      const auto* from = reinterpret_cast<const quint32*>(image.constScanLine(y));
      for (int x = 0; x < image.width(); ++x) *to++ = qToBigEndian(from[x]);
    }
    out << p;
  }
  return out;
}

}  // namespace

}  // namespace ostrel

Q_DECLARE_METATYPE(ostrel::SniPixmap)
Q_DECLARE_METATYPE(ostrel::SniToolTip)

namespace ostrel {

// org.kde.StatusNotifierItem on the session bus, answering from the notifier's state.
class StatusNotifierItemAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
  Q_PROPERTY(QString Category READ Category)
  Q_PROPERTY(QString Id READ Id)
  Q_PROPERTY(QString Title READ Title)
  Q_PROPERTY(QString Status READ Status)
  Q_PROPERTY(int WindowId READ WindowId)
  Q_PROPERTY(QString IconName READ NoName)
  Q_PROPERTY(ostrel::SniPixmaps IconPixmap READ IconPixmap)
  Q_PROPERTY(QString OverlayIconName READ NoName)
  Q_PROPERTY(ostrel::SniPixmaps OverlayIconPixmap READ NoPixmaps)
  Q_PROPERTY(QString AttentionIconName READ NoName)
  Q_PROPERTY(ostrel::SniPixmaps AttentionIconPixmap READ NoPixmaps)
  Q_PROPERTY(QString AttentionMovieName READ NoName)
  Q_PROPERTY(ostrel::SniToolTip ToolTip READ ToolTip)
  Q_PROPERTY(bool ItemIsMenu READ ItemIsMenu)
  Q_PROPERTY(QDBusObjectPath Menu READ Menu)

 public:
  explicit StatusNotifierItemAdaptor(StatusNotifier* owner)
      : QDBusAbstractAdaptor(owner), owner_(*owner) {}

  QString Category() const { return QStringLiteral("ApplicationStatus"); }
  QString Id() const { return QCoreApplication::applicationName(); }
  QString Title() const { return owner_.Title(); }
  QString Status() const { return QStringLiteral("Active"); }
  int WindowId() const { return 0; }
  QString NoName() const { return {}; }
  SniPixmaps IconPixmap() const { return Pixmaps(owner_.Icon()); }
  SniPixmaps NoPixmaps() const { return {}; }
  SniToolTip ToolTip() const { return {{}, {}, owner_.Title(), owner_.Text()}; }
  // Activate restores; the menu is read through dbusmenu, or asked for by ContextMenu.
  bool ItemIsMenu() const { return false; }
  QDBusObjectPath Menu() const {
    return QDBusObjectPath(owner_.Exported() ? QString::fromLatin1(kMenuPath)
                                             : QStringLiteral("/NO_DBUSMENU"));
  }

 public slots:
  void Activate(int, int) { emit owner_.activated(); }
  void SecondaryActivate(int, int) {}
  void ContextMenu(int x, int y) { emit owner_.contextMenuRequested(QPoint(x, y)); }
  void Scroll(int, const QString&) {}

 signals:
  void NewTitle();
  void NewIcon();
  void NewToolTip();
  void NewStatus(const QString& status);

 private:
  StatusNotifier& owner_;
};

StatusNotifier::StatusNotifier(QMenu& menu, QObject* parent)
    : QObject(parent), menu_(new DBusMenuExporter(menu)) {
  qDBusRegisterMetaType<SniPixmap>();
  qDBusRegisterMetaType<SniPixmaps>();
  qDBusRegisterMetaType<SniToolTip>();
  adaptor_ = new StatusNotifierItemAdaptor(this);
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  watcher_ = new QDBusServiceWatcher(QString::fromLatin1(kWatcher), bus,
                                     QDBusServiceWatcher::WatchForRegistration, this);
  connect(watcher_, &QDBusServiceWatcher::serviceRegistered, this, [this] {
    registered_ = false;
    emit trayAppeared();
  });
}

StatusNotifier::~StatusNotifier() { Unregister(); }

void StatusNotifier::Unregister() {
  if (!exported_) return;
  // The tray drops an item whose name has gone from the bus.
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.unregisterService(ServiceName());
  bus.unregisterObject(QString::fromLatin1(kItemPath));
  bus.unregisterObject(QString::fromLatin1(kMenuPath));
  exported_ = false;
  registered_ = false;
}

bool StatusNotifier::TrayOnBus() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  return bus.isConnected() && bus.interface()->isServiceRegistered(QString::fromLatin1(kWatcher));
}

QString StatusNotifier::ServiceName() const {
  return QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(QCoreApplication::applicationPid());
}

bool StatusNotifier::Register() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  // Once: a watcher that comes back gets the same object again.
  if (!exported_) {
    exported_ = bus.registerObject(QString::fromLatin1(kItemPath), this) &&
                bus.registerObject(QString::fromLatin1(kMenuPath), menu_) &&
                bus.registerService(ServiceName());
    if (!exported_) {
      bus.unregisterObject(QString::fromLatin1(kItemPath));
      bus.unregisterObject(QString::fromLatin1(kMenuPath));
      return false;
    }
  }
  QDBusInterface watcher(QString::fromLatin1(kWatcher), QStringLiteral("/StatusNotifierWatcher"),
                         QString::fromLatin1(kWatcher), bus);
  registered_ = watcher.call(QStringLiteral("RegisterStatusNotifierItem"), ServiceName()).type() !=
                QDBusMessage::ErrorMessage;
  return registered_;
}

void StatusNotifier::SetIcon(const QIcon& icon) {
  icon_ = icon;
  if (registered_) emit adaptor_->NewIcon();
}

void StatusNotifier::Notify(const QString& title, const QString& text) {
  QDBusMessage notice = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"),
      QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  notice << QCoreApplication::applicationName() << 0u << QStringLiteral("dialog-warning") << title
         << text << QStringList() << QVariantMap() << -1;
  // No reply is awaited: a desktop without a notice service loses only the notice.
  QDBusConnection::sessionBus().send(notice);
}

void StatusNotifier::SetToolTip(const QString& title, const QString& text) {
  const bool new_title = title != title_;
  title_ = title;
  text_ = text;
  if (!registered_) return;
  if (new_title) emit adaptor_->NewTitle();
  emit adaptor_->NewToolTip();
}

}  // namespace ostrel

#include "status_notifier.moc"
