// The panel's USB driver run under kastrel-usb-bed: one scenario per run, each step printed
// as a line for the test that drives the bed. The read happens on a thread of its own, as
// the panel's read thread does, while this thread aborts, closes and opens.
//
//   usb_driver_probe cancel   a pending read ended by AbortRead, then the device works on
//   usb_driver_probe unplug   a pending read ended by unplugging; opened again once plugged
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/usb_libusb.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kDeadline = 10s;

void Say(const std::string& line) {
  const std::string text = line + "\n";
  [[maybe_unused]] const auto n = ::write(STDOUT_FILENO, text.data(), text.size());
}

long Ms(Clock::duration d) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// A BulkRead on its own thread; nothing arrives before the module has had its 'j'.
class PendingRead {
 public:
  explicit PendingRead(ostrel::UsbDriver& driver)
      : thread_([this, &driver] {
          std::uint8_t buf[64];
          result_ = driver.BulkRead(buf, 64);
          ended_at_ = Clock::now();
          ended_.store(true);
        }) {}
  ~PendingRead() { thread_.join(); }
  bool WaitEnd(Clock::duration limit) {
    const auto end = Clock::now() + limit;
    while (!ended_.load() && Clock::now() < end) std::this_thread::sleep_for(1ms);
    return ended_.load();
  }
  int result() const { return result_; }
  Clock::time_point ended_at() const { return ended_at_; }

 private:
  std::atomic<bool> ended_{false};
  int result_ = -1;
  Clock::time_point ended_at_;
  std::thread thread_;
};

// After 'j' the first packet of the stream; true once one came.
bool Streams(ostrel::UsbDriver& driver) {
  const std::uint8_t j = 'j';
  driver.BulkWrite(&j, 1);
  std::uint8_t buf[64];
  return driver.BulkRead(buf, 64) > 0;
}

bool OpenWithin(ostrel::UsbDriver& driver, Clock::duration limit) {
  const auto end = Clock::now() + limit;
  while (!driver.Open()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

int Cancel(ostrel::UsbDriver& driver) {
  {
    PendingRead read(driver);
    std::this_thread::sleep_for(200ms);
    if (read.WaitEnd(0s)) {
      Say("read ended by itself");
      return 1;
    }
    Say("pending");
    const auto aborted = Clock::now();
    driver.AbortRead();
    if (!read.WaitEnd(kDeadline)) {
      Say("read not ended");
      return 1;
    }
    Say("aborted " + std::to_string(read.result()) + " in " +
        std::to_string(Ms(read.ended_at() - aborted)) + " ms");
  }
  driver.Close();
  Say(std::string("closed ") + (driver.IsOpen() ? "open" : "shut"));
  if (!OpenWithin(driver, kDeadline)) return 1;
  Say(std::string("streams ") + (Streams(driver) ? "yes" : "no"));
  return 0;
}

int Unplug(ostrel::UsbDriver& driver) {
  {
    PendingRead read(driver);
    std::this_thread::sleep_for(200ms);
    Say("pending");
    if (!read.WaitEnd(kDeadline)) {
      Say("read not ended");
      return 1;
    }
    Say("ended " + std::to_string(read.result()));
  }
  // Gone: every read ends at once with nothing, as over a closed socket.
  std::uint8_t buf[64];
  const auto before = Clock::now();
  const int again = driver.BulkRead(buf, 64);
  Say("again " + std::to_string(again) + (Clock::now() - before < 100ms ? " at once" : " late"));
  driver.Close();
  Say(std::string("closed ") + (driver.Open() ? "opened" : "absent"));
  if (!OpenWithin(driver, kDeadline)) return 1;
  Say(std::string("streams ") + (Streams(driver) ? "yes" : "no"));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string scenario = argc > 1 ? argv[1] : "";
  // No emulator listens on this name: the driver can only reach the module through USB.
  auto driver =
      ostrel::MakeUsbDriver({{0x1209, 0x4b53}}, "ostrel-probe-nobody-" + std::to_string(::getpid()),
                            [](const ostrel::UsbNotice&) { Say("notice"); });
  if (!OpenWithin(*driver, kDeadline)) {
    Say("not opened");
    return 1;
  }
  Say("opened");
  if (scenario == "cancel") return Cancel(*driver);
  if (scenario == "unplug") return Unplug(*driver);
  Say("unknown scenario " + scenario);
  return 2;
}
