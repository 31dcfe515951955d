#pragma once
// Stand-ins for the link's seams: a driver whose reads are scripted and block until a
// packet is there, and a clock whose Sleep moves time on without waiting.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/usb_driver.h"

namespace ostrel::test {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Polls `cond` until it holds or the deadline passes.
template <class Cond>
bool WaitUntil(Cond cond, std::chrono::milliseconds deadline = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

class FakeClock final : public Clock {
 public:
  Millis Now() const override { return now_.load(); }
  void Sleep(Millis ms) override {
    {
      std::unique_lock lock(gate_mu_);
      ++sleeping_;
      gate_cv_.notify_all();
      gate_cv_.wait(lock, [&] { return !paused_; });
      --sleeping_;
    }
    now_.fetch_add(ms);
    sleeps_.fetch_add(1);
    std::this_thread::yield();
  }
  void Set(Millis t) { now_.store(t); }
  long Sleeps() const { return sleeps_.load(); }

  // While paused, a sleeper stays asleep until Resume: the test decides what happens
  // on the other thread during one of the loop's 100 ms waits.
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
  bool WaitAsleep(std::chrono::milliseconds deadline = 5000ms) {
    std::unique_lock lock(gate_mu_);
    return gate_cv_.wait_for(lock, deadline, [&] { return sleeping_ > 0; });
  }

 private:
  std::atomic<Millis> now_{0};
  std::atomic<long> sleeps_{0};
  std::mutex gate_mu_;
  std::condition_variable gate_cv_;
  bool paused_ = false;
  int sleeping_ = 0;
};

class FakeDriver final : public UsbDriver {
 public:
  bool Open() override {
    std::lock_guard lock(mu_);
    ++opens_;
    if (!open_result_) return false;
    open_ = true;
    aborted_ = false;
    return true;
  }

  int BulkRead(std::uint8_t* dst, int max) override {
    std::unique_lock lock(mu_);
    ++reads_started_;
    last_max_ = max;
    last_dst_ = dst;
    cv_.notify_all();
    cv_.wait(lock, [&] { return !open_ || aborted_ || release_all_ || !packets_.empty(); });
    if (!open_ || aborted_ || packets_.empty()) return 0;
    Bytes p = std::move(packets_.front());
    packets_.pop_front();
    const int n = std::min(max, static_cast<int>(p.size()));
    std::copy_n(p.begin(), n, dst);
    return n;
  }

  void BulkWrite(const std::uint8_t* src, int len) override {
    std::lock_guard lock(mu_);
    writes_.emplace_back(src, src + len);
  }

  void AbortRead() override {
    std::lock_guard lock(mu_);
    aborted_ = true;
    ++aborts_;
    cv_.notify_all();
  }

  void Close() override {
    std::lock_guard lock(mu_);
    open_ = false;
    ++closes_;
    cv_.notify_all();
  }

  bool IsOpen() const override {
    std::lock_guard lock(mu_);
    return open_;
  }

  // --- test side ---
  void SetOpenResult(bool ok) {
    std::lock_guard lock(mu_);
    open_result_ = ok;
  }
  void Push(Bytes packet) {
    std::lock_guard lock(mu_);
    packets_.push_back(std::move(packet));
    cv_.notify_all();
  }
  // Every read from now on returns 0 at once (lets a test end the thread).
  void ReleaseAll() {
    std::lock_guard lock(mu_);
    release_all_ = true;
    cv_.notify_all();
  }
  // Waits until `count` reads have been issued in total and the last one has nothing to
  // return yet: the thread is parked inside a read.
  bool WaitReadPending(long count, std::chrono::milliseconds deadline = 5000ms) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, deadline,
                        [&] { return reads_started_ >= count && packets_.empty(); });
  }
  long ReadsStarted() const {
    std::lock_guard lock(mu_);
    return reads_started_;
  }
  int LastMax() const {
    std::lock_guard lock(mu_);
    return last_max_;
  }
  // Where the last read put (or will put) its bytes.
  const std::uint8_t* LastDestination() const {
    std::lock_guard lock(mu_);
    return last_dst_;
  }
  std::vector<Bytes> Writes() const {
    std::lock_guard lock(mu_);
    return writes_;
  }
  int Aborts() const {
    std::lock_guard lock(mu_);
    return aborts_;
  }
  int Closes() const {
    std::lock_guard lock(mu_);
    return closes_;
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool open_result_ = true;
  bool open_ = false;
  bool aborted_ = false;
  bool release_all_ = false;
  std::deque<Bytes> packets_;
  std::vector<Bytes> writes_;
  long reads_started_ = 0;
  int last_max_ = 0;
  const std::uint8_t* last_dst_ = nullptr;
  int opens_ = 0;
  int aborts_ = 0;
  int closes_ = 0;
};

// `n` bytes counting up from `first`, so every packet's place in the stream shows.
inline Bytes Count(int n, int first = 0) {
  Bytes b(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(first + i);
  return b;
}

}  // namespace ostrel::test
