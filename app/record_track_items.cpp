#include "app/record_track_items.h"

#include <QAction>
#include <QInputDialog>
#include <QMenu>

namespace ostrel {

QAction* RecordTrackItems::AddTo(QMenu* menu, QAction* before, const char* name) {
  auto* item = new QAction(QString::fromLatin1(kRecordTrackText), menu);
  item->setObjectName(QString::fromLatin1(name));
  item->setCheckable(true);
  item->setChecked(on_);
  menu->insertAction(before, item);
  connect(item, &QAction::triggered, this, [this](bool checked) {
    // The mark is the engine's to set: Qt's own toggle is undone first.
    Show(!checked);
    if (asked) asked(checked);
  });
  items_.push_back(item);
  return item;
}

void RecordTrackItems::Show(bool on) {
  on_ = on;
  for (QAction* item : items_) item->setChecked(on);
}

int AskReplaySpeed(QWidget* parent) {
  const QStringList items = {QStringLiteral("x1 (as recorded)"), QStringLiteral("x2"),
                             QStringLiteral("x10")};
  bool ok = false;
  const QString item = QInputDialog::getItem(
      parent, QStringLiteral("Demonstration Speed"),
      QStringLiteral("The recording has its times. Play it at:"), items, 0, false, &ok);
  if (!ok) return 1;
  return item == items[2] ? 10 : item == items[1] ? 2 : 1;
}

}  // namespace ostrel
