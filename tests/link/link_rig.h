#pragma once
// The whole link on a real socket with its read thread, for the integration tests.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "link/command_queue.h"
#include "link/read_thread.h"
#include "link/usb_link.h"
#include "support/fake_driver.h"

namespace ostrel::test {

inline long EnvOr(const char* name, long fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != 0 ? std::strtol(v, nullptr, 10) : fallback;
}

// Real time and real sleeps, with the read thread's 100 ms pauses shortened by `divisor`
// so a long run stays short (divisor 1 is the program's own clock).
class ScaledClock final : public Clock {
 public:
  explicit ScaledClock(long divisor) : divisor_(divisor < 1 ? 1 : divisor) {}
  Millis Now() const override { return SystemClock().Now(); }
  void Sleep(Millis ms) override {
    std::this_thread::sleep_for(std::chrono::microseconds(ms * 1000 / divisor_));
  }

 private:
  long divisor_;
};

class LinkOnSocket {
 public:
  explicit LinkOnSocket(const std::string& name, long divisor = 1)
      : clock_(divisor), driver_(MakeSocketUsbDriver(name)) {}
  ~LinkOnSocket() {
    link_.StopAndAbort();
    if (thread_) {
      EXPECT_TRUE(thread_->QuitAndJoin(5000ms));
    }
  }
  void Start() { thread_ = std::make_unique<TReadThread>(link_); }

  // What the tick does with the waiting bytes: take them under the hold, then let go.
  Bytes TakeAll() {
    std::uint8_t chunk[kRxBufferSize];
    const int32_t n = TakeAny(link_, chunk);
    link_.Release();
    return Bytes(chunk, chunk + n);
  }

  UsbLink& Link() { return link_; }

 private:
  ScaledClock clock_;
  std::unique_ptr<UsbDriver> driver_;
  CommandQueue queue_;
  UsbLink link_{*driver_, clock_, queue_};
  std::unique_ptr<TReadThread> thread_;
};

}  // namespace ostrel::test
