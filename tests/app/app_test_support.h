#pragma once
// What the window's tests add to the engine's (engine_test_support.h): an answerer for
// modal boxes.
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <vector>

#include "engine_test_support.h"

class QWidget;

namespace ostrel::test {

// A box the answerer has seen.
struct SeenBox {
  QString caption;
  QString text;     // the message, or the input box's prompt
  QString initial;  // the input box's initial text
};

// Answers modal boxes from the event loop they run, so no test hangs on one. Each box
// takes the next scripted answer; without one a message box gets its default button
// and an input box is cancelled.
class ModalAnswerer : public QObject {
 public:
  using Answer = std::function<void(QWidget*)>;
  ModalAnswerer();

  void Push(Answer answer) { answers_.push_back(std::move(answer)); }
  static Answer Click(int standard_button);
  static Answer Enter(const QString& text);

  const std::vector<SeenBox>& Seen() const { return seen_; }
  void Clear() { seen_.clear(); }

 private:
  void Poll();

  QTimer timer_;
  std::deque<Answer> answers_;
  std::vector<SeenBox> seen_;
};

}  // namespace ostrel::test
