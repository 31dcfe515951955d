#pragma once
// What the engine's and the window's tests share: the engine's environment in a test's
// own folder (support/temp_dir.h) on the fake clock (support/fake_clock.h), a pump that
// waits for a condition with a deadline, the module emulator as a child process, and a
// reader of the command queue.
#include <QObject>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/panel_environment.h"
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
