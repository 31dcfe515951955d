#pragma once
// A QMenu on the session bus as com.canonical.dbusmenu, the menu protocol StatusNotifier
// trays (KDE, GNOME's AppIndicator, XFCE, LXQt) read an item's menu through: the tray
// draws the menu itself and sends back which entry was clicked. Qt's own exporter is
// private to its tray icon, which the panel's own item replaces.
#include <QHash>
#include <QObject>
#include <QString>
#include <QVariantMap>

class QAction;
class QMenu;

namespace ostrel {

class DBusMenuAdaptor;

class DBusMenuExporter : public QObject {
  Q_OBJECT

 public:
  // The entries of `menu` as they stand at each request; a change to any of them tells
  // the tray to read the menu again.
  explicit DBusMenuExporter(QMenu& menu);

  // Entry 0 is the menu itself; every action keeps its number for as long as it lives.
  int IdOf(QAction* action);
  QAction* ActionOf(int id) const;
  QMenu& Menu() const { return menu_; }
  uint Revision() const { return revision_; }
  // What the protocol says of an entry: type, label (mnemonic as '_'), enabled, visible,
  // check mark.
  static QVariantMap Properties(const QAction& action);
  // The protocol's label: '&' marks the mnemonic, which it writes '_'.
  static QString Label(const QString& text);

 signals:
  // The menu changed: the tray reads it again.
  void layoutUpdated(uint revision, int parent);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Changed();
  void Follow(QAction* action);

  QMenu& menu_;
  QHash<QObject*, int> ids_;
  int next_id_ = 1;
  uint revision_ = 1;
};

}  // namespace ostrel
