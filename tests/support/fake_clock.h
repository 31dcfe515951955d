#pragma once
// The tests' one clock: time moves only when a test moves it or when the code under test
// sleeps, and a sleep never waits. A test may also hold a sleeper asleep (Pause) to decide
// what happens on another thread during one of the loop's waits.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/clock.h"

namespace ostrel::test {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(Millis start = 0) : now(start) {}

  Millis Now() const override { return now.load(); }
  void Sleep(Millis ms) override {
    {
      std::unique_lock lock(gate_mu_);
      ++sleeping_;
      gate_cv_.notify_all();
      gate_cv_.wait(lock, [&] { return !paused_; });
      --sleeping_;
    }
    now.fetch_add(ms);
    slept.fetch_add(ms);
    sleeps_.fetch_add(1);
    std::this_thread::yield();
  }
  void Set(Millis t) { now.store(t); }
  long Sleeps() const { return sleeps_.load(); }

  void Pause() {
    std::lock_guard lock(gate_mu_);
    paused_ = true;
  }
  void Resume() {
    std::lock_guard lock(gate_mu_);
    paused_ = false;
    gate_cv_.notify_all();
  }
  // Waits until a thread sits in Sleep.
  bool WaitAsleep(std::chrono::milliseconds deadline = std::chrono::milliseconds(5000)) {
    std::unique_lock lock(gate_mu_);
    return gate_cv_.wait_for(lock, deadline, [&] { return sleeping_ > 0; });
  }

  // Public so a test moves time on as it reads: `clock.now += 5000`.
  std::atomic<Millis> now;
  // The time spent in Sleep since the start (or since a test set it back to 0).
  std::atomic<Millis> slept{0};

 private:
  std::atomic<long> sleeps_{0};
  std::mutex gate_mu_;
  std::condition_variable gate_cv_;
  bool paused_ = false;
  int sleeping_ = 0;
};

}  // namespace ostrel::test
