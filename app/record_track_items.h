#pragma once
// "Record Track": one check item in the File menu and one in the tray menu. Both show
// whether the engine records; a click asks the engine, whose answer sets the marks.
#include <QObject>
#include <functional>
#include <vector>

class QAction;
class QMenu;
class QWidget;

namespace ostrel {

inline constexpr const char* kRecordTrackText = "Record Track";

class RecordTrackItems final : public QObject {
 public:
  explicit RecordTrackItems(QObject* parent) : QObject(parent) {}
  // A new item in `menu` before `before`, marked as the last Show said; `name` is its
  // object name.
  QAction* AddTo(QMenu* menu, QAction* before, const char* name);
  void Show(bool on);
  // The user asks for recording on (true) or off.
  std::function<void(bool on)> asked;

 private:
  std::vector<QAction*> items_;
  bool on_ = false;
};

// File > Demonstration of a recording with its times: x1 (as recorded), x2 or x10.
// Cancel plays it as recorded.
int AskReplaySpeed(QWidget* parent);

}  // namespace ostrel
