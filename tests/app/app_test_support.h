#pragma once
// What the window's tests share: the window's environment in a test's own folder
// (support/temp_dir.h) on the fake clock (support/fake_clock.h), a pump that waits for a
// condition with a deadline, an answerer for modal boxes, the module emulator as a child
// process, and a reader of the command queue.
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/panel_environment.h"
#include "platform/clock.h"
#include "support/emulator_harness.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace ostrel {
class CommandQueue;
}

namespace ostrel::test {

// The window's environment: `clock`, the module by its ids or on the socket `socket`,
// and `folder`.
PanelEnvironment Environment(Clock& clock, const std::string& socket, const std::string& folder);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

// Runs the event loop until `done` holds or `ms` have passed; the last value of `done`.
bool WaitFor(const std::function<bool()>& done, int ms = 10000);

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

// kastrel-emulator (support/emulator_harness.h) on a socket of its own, logging every
// packet to a file in `dir`.
class Emulator {
 public:
  Emulator(const std::string& socket, const std::string& dir,
           const std::vector<std::string>& extra = {});
  bool Started() const { return process_->ready(); }
  // The "rx" lines of the log, without the poll byte '^': "j", "*c", "! CFG-PRT ...".
  std::vector<std::string> Received() const;

 private:
  std::string log_;
  std::unique_ptr<emulator_test::EmulatorProcess> process_;
};

// A socket name nobody else uses: "ostrel-app-<pid>-<n>".
std::string UniqueSocket();

// The blocks from SendPos to the queue's 0 byte, 64 bytes each.
std::vector<std::string> QueuedBlocks(const CommandQueue& queue);
// A control block: '*', `text`, '_' fill to 64 bytes.
std::string Control(const std::string& text);
// A data block: '!', the bytes, '_' fill.
std::string Data(const unsigned char* bytes, std::size_t n);

}  // namespace ostrel::test
