#include "app/dbus_menu.h"

#include <QAction>
#include <QActionEvent>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QList>
#include <QMenu>
#include <QStringList>

namespace ostrel {

// An entry and, down to the depth asked for, the entries under it: (ia{sv}av).
struct DBusMenuLayout {
  int id = 0;
  QVariantMap properties;
  QList<DBusMenuLayout> children;
};

// An entry's properties alone: (ia{sv}).
struct DBusMenuItem {
  int id = 0;
  QVariantMap properties;
};
using DBusMenuItems = QList<DBusMenuItem>;

// A click or an opening reported with others: (isvu).
struct DBusMenuEvent {
  int id = 0;
  QString event;
  QDBusVariant data;
  uint timestamp = 0;
};

}  // namespace ostrel

Q_DECLARE_METATYPE(ostrel::DBusMenuLayout)
Q_DECLARE_METATYPE(ostrel::DBusMenuItem)
Q_DECLARE_METATYPE(ostrel::DBusMenuEvent)

namespace ostrel {

QDBusArgument& operator<<(QDBusArgument& arg, const DBusMenuLayout& item) {
  arg.beginStructure();
  arg << item.id << item.properties;
  // The children go as variants, which is what lets the type nest.
  arg.beginArray(qMetaTypeId<QDBusVariant>());
  for (const DBusMenuLayout& child : item.children) arg << QDBusVariant(QVariant::fromValue(child));
  arg.endArray();
  arg.endStructure();
  return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, DBusMenuLayout& item) {
  arg.beginStructure();
  arg >> item.id >> item.properties;
  arg.beginArray();
  item.children.clear();
  while (!arg.atEnd()) {
    QDBusVariant child;
    arg >> child;
    DBusMenuLayout read;
    qvariant_cast<QDBusArgument>(child.variant()) >> read;
    item.children << read;
  }
  arg.endArray();
  arg.endStructure();
  return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const DBusMenuItem& item) {
  arg.beginStructure();
  arg << item.id << item.properties;
  arg.endStructure();
  return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, DBusMenuItem& item) {
  arg.beginStructure();
  arg >> item.id >> item.properties;
  arg.endStructure();
  return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const DBusMenuEvent& e) {
  arg.beginStructure();
  arg << e.id << e.event << e.data << e.timestamp;
  arg.endStructure();
  return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, DBusMenuEvent& e) {
  arg.beginStructure();
  arg >> e.id >> e.event >> e.data >> e.timestamp;
  arg.endStructure();
  return arg;
}

// com.canonical.dbusmenu, answered from the menu as it stands.
class DBusMenuAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
  Q_PROPERTY(uint Version READ Version)
  Q_PROPERTY(QString TextDirection READ TextDirection)
  Q_PROPERTY(QString Status READ Status)
  Q_PROPERTY(QStringList IconThemePath READ IconThemePath)

 public:
  explicit DBusMenuAdaptor(DBusMenuExporter* owner) : QDBusAbstractAdaptor(owner), owner_(*owner) {
    connect(owner, &DBusMenuExporter::layoutUpdated, this, &DBusMenuAdaptor::LayoutUpdated);
  }

  uint Version() const { return 3; }
  QString TextDirection() const { return QStringLiteral("ltr"); }
  QString Status() const { return QStringLiteral("normal"); }
  QStringList IconThemePath() const { return {}; }

 public slots:
  uint GetLayout(int parentId, int recursionDepth, const QStringList&,
                 ostrel::DBusMenuLayout& layout) {
    QMenu* menu = MenuOf(parentId);
    layout = menu ? Layout(*menu, parentId, PropertiesOf(parentId), recursionDepth)
                  : DBusMenuLayout{parentId, {}, {}};
    return owner_.Revision();
  }
  ostrel::DBusMenuItems GetGroupProperties(const QList<int>& ids, const QStringList&) {
    DBusMenuItems out;
    for (int id : ids)
      if (id == 0 || owner_.ActionOf(id)) out << DBusMenuItem{id, PropertiesOf(id)};
    return out;
  }
  QDBusVariant GetProperty(int id, const QString& name) {
    return QDBusVariant(PropertiesOf(id).value(name));
  }
  void Event(int id, const QString& event, const QDBusVariant&, uint) {
    QAction* action = owner_.ActionOf(id);
    // After the reply: Exit must not end the panel inside the call.
    if (event == QLatin1String("clicked") && action && action->isEnabled())
      QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
  }
  // Spelled out: QtDBus finds a parameter's type by its name, which a typedef hides.
  QList<int> EventGroup(const QList<ostrel::DBusMenuEvent>& events) {
    QList<int> unknown;
    for (const DBusMenuEvent& e : events) {
      if (e.id != 0 && !owner_.ActionOf(e.id)) unknown << e.id;
      Event(e.id, e.event, e.data, e.timestamp);
    }
    return unknown;
  }
  // The menu is always up to date: nothing to fetch before it opens.
  bool AboutToShow(int) { return false; }
  QList<int> AboutToShowGroup(const QList<int>&, QList<int>& errors) {
    errors.clear();
    return {};
  }

 signals:
  void LayoutUpdated(uint revision, int parent);
  void ItemActivationRequested(int id, uint timestamp);

 private:
  QMenu* MenuOf(int id) const {
    if (id == 0) return &owner_.Menu();
    QAction* action = owner_.ActionOf(id);
    return action ? action->menu() : nullptr;
  }
  QVariantMap PropertiesOf(int id) const {
    if (id == 0) return {{QStringLiteral("children-display"), QStringLiteral("submenu")}};
    QAction* action = owner_.ActionOf(id);
    return action ? DBusMenuExporter::Properties(*action) : QVariantMap{};
  }
  DBusMenuLayout Layout(QMenu& menu, int id, const QVariantMap& properties, int depth) {
    DBusMenuLayout out{id, properties, {}};
    if (depth == 0) return out;
    for (QAction* action : menu.actions()) {
      const int child = owner_.IdOf(action);
      if (action->menu())
        out.children << Layout(*action->menu(), child, PropertiesOf(child), depth - 1);
      else
        out.children << DBusMenuLayout{child, DBusMenuExporter::Properties(*action), {}};
    }
    return out;
  }

  DBusMenuExporter& owner_;
};

DBusMenuExporter::DBusMenuExporter(QMenu& menu) : QObject(&menu), menu_(menu) {
  qDBusRegisterMetaType<DBusMenuLayout>();
  qDBusRegisterMetaType<DBusMenuItem>();
  qDBusRegisterMetaType<DBusMenuItems>();
  qDBusRegisterMetaType<DBusMenuEvent>();
  qDBusRegisterMetaType<QList<DBusMenuEvent>>();
  new DBusMenuAdaptor(this);
  menu.installEventFilter(this);
  for (QAction* action : menu.actions()) Follow(action);
}

int DBusMenuExporter::IdOf(QAction* action) {
  auto at = ids_.find(action);
  if (at != ids_.end()) return *at;
  const int id = next_id_++;
  ids_.insert(action, id);
  // By then the object is a QObject only: it is looked up as one.
  connect(action, &QObject::destroyed, this, [this](QObject* gone) { ids_.remove(gone); });
  return id;
}

QAction* DBusMenuExporter::ActionOf(int id) const {
  return static_cast<QAction*>(ids_.key(id, nullptr));
}

QVariantMap DBusMenuExporter::Properties(const QAction& action) {
  QVariantMap p;
  if (action.isSeparator()) {
    p.insert(QStringLiteral("type"), QStringLiteral("separator"));
  } else {
    p.insert(QStringLiteral("label"), Label(action.text()));
    if (action.isCheckable()) {
      p.insert(QStringLiteral("toggle-type"), QStringLiteral("checkmark"));
      p.insert(QStringLiteral("toggle-state"), action.isChecked() ? 1 : 0);
    }
    if (action.menu()) p.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
  }
  // The protocol's defaults are enabled and visible: only the exceptions go.
  if (!action.isEnabled()) p.insert(QStringLiteral("enabled"), false);
  if (!action.isVisible()) p.insert(QStringLiteral("visible"), false);
  return p;
}

QString DBusMenuExporter::Label(const QString& text) {
  QString out;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c == u'_') {
      out += QStringLiteral("__");
    } else if (c == u'&' && i + 1 < text.size()) {
      // "&&" is a plain '&'; '&' before anything else marks the mnemonic.
      if (text[i + 1] == u'&') {
        out += u'&';
        ++i;
      } else {
        out += u'_';
      }
    } else {
      out += c;
    }
  }
  return out;
}

bool DBusMenuExporter::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::ActionAdded:
      Follow(static_cast<QActionEvent*>(event)->action());
      Changed();
      break;
    case QEvent::ActionChanged:
    case QEvent::ActionRemoved:
      Changed();
      break;
    default:
      break;
  }
  return QObject::eventFilter(watched, event);
}

void DBusMenuExporter::Follow(QAction* action) {
  if (QMenu* sub = action->menu()) sub->installEventFilter(this);
}

void DBusMenuExporter::Changed() {
  ++revision_;
  emit layoutUpdated(revision_, 0);
}

}  // namespace ostrel

#include "dbus_menu.moc"
