#pragma once
// What the window's tests share: a scratch folder per test and the window's environment
// in it, a pump that waits for a condition with a deadline, an answerer for modal boxes,
// the module emulator as a child process, and a reader of the command queue.
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/panel_environment.h"
#include "platform/clock.h"

namespace ostrel {
class CommandQueue;
}

namespace ostrel::test {

// Every test has a fresh folder of its own: the panel's folder, where it writes
// ostrel_gps_monitor.ini, error.log and its COMn link. The current directory is left alone.
class ScratchDir {
 public:
  std::string Path() const;
  std::string File(const std::string& name) const;

 private:
  QTemporaryDir dir_;
};

// The window's clock as a test sets it; read and set on the GUI thread only.
class FakeClock final : public Clock {
 public:
  Millis Now() const override { return now; }
  void Sleep(Millis ms) override { now += ms; }
  Millis now = 50000;
};

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
  QString text;      // the message, or the input box's prompt
  QString initial;   // the input box's initial text
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

// kastrel-emulator on a socket of its own, logging every packet to `log`.
class Emulator {
 public:
  Emulator(const std::string& socket, const std::string& dir,
           const std::vector<std::string>& extra = {});
  ~Emulator();
  bool Started() const { return started_; }
  // The "rx" lines of the log, without the poll byte '^': "j", "*c", "! CFG-PRT ...".
  std::vector<std::string> Received() const;

 private:
  QProcess process_;
  std::string log_;
  bool started_ = false;
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
