#pragma once
// The driver seam for tests: the one fake module under the real UsbLink. The clock to go
// with it is support/fake_clock.h.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "link/usb_link.h"
#include "platform/usb_driver.h"
#include "support/fake_clock.h"

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

// The module behind the driver seam, for the link's tests and the receive cycle's alike.
// Reads are scripted (Push) and block until a packet is there, the read is aborted or the
// device closed, or ReleaseAll lets every read return 0 at once. Each write is recorded,
// and a 64-byte one (a command block) may be answered: `reply` gives the module's answer
// and `arrive` takes it in, as the read thread would hand it over.
//
// Tests with a read thread use the locked accessors (Writes, SetOpenResult, ...). Tests
// that drive the link from one thread, as the receive cycle's do, may also set and read
// the public fields directly.
class FakeDriver final : public UsbDriver {
 public:
  bool Open() override {
    std::lock_guard lock(mu_);
    ++opens;
    // A refused open leaves the device closed, as the real drivers' Open closes first.
    open_ = present;
    if (open_) aborted_ = false;
    cv_.notify_all();
    return open_;
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
    const std::string_view block(reinterpret_cast<const char*>(src), static_cast<std::size_t>(len));
    {
      std::lock_guard lock(mu_);
      if (record) writes.emplace_back(block);
    }
    // Outside the lock: `arrive` takes the link's hand-over lock, as the read thread does.
    if (len == 64 && reply) {
      const std::string answer = reply(block);
      if (!answer.empty() && arrive) arrive(answer);
    }
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
    present = ok;
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
    std::vector<Bytes> out;
    for (const std::string& w : writes) out.emplace_back(w.begin(), w.end());
    return out;
  }
  // Writes other than the open byte 'j'.
  std::vector<std::string> WritesAfterOpen() const {
    std::lock_guard lock(mu_);
    std::vector<std::string> out;
    for (const std::string& w : writes) {
      if (w != "j") out.push_back(w);
    }
    return out;
  }
  int Aborts() const {
    std::lock_guard lock(mu_);
    return aborts_;
  }
  int Closes() const {
    std::lock_guard lock(mu_);
    return closes_;
  }

  bool present = true;  // whether Open finds the module
  bool record = true;   // off where a test counts allocations
  int opens = 0;
  std::vector<std::string> writes;
  std::function<std::string(std::string_view block)> reply;
  std::function<void(const std::string& bytes)> arrive;

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
  bool aborted_ = false;
  bool release_all_ = false;
  std::deque<Bytes> packets_;
  long reads_started_ = 0;
  int last_max_ = 0;
  const std::uint8_t* last_dst_ = nullptr;
  int aborts_ = 0;
  int closes_ = 0;
};

// The read thread's hand-over without the thread: one packet lands behind those
// waiting and LastRxTime moves on.
inline void Deliver(UsbLink& link, std::string_view bytes) {
  LinkState& s = link.State();
  std::lock_guard lock(s.HandOver);
  std::memcpy(s.RxBuffer + s.RxLength, bytes.data(), bytes.size());
  s.RxLength += static_cast<int32_t>(bytes.size());
  s.NotePacket(s.BlocksOut);
  s.LastRxTime.store(link.GetClock().Now());
}

// The bytes waiting in RxBuffer, read under the hand-over lock as the consumer reads them.
inline int32_t RxWaiting(UsbLink& link) {
  std::lock_guard lock(link.State().HandOver);
  return link.State().RxLength;
}

// The take of a tick that awaits a command's reply: whatever waits, the buffer then held.
inline int32_t TakeAny(UsbLink& link, std::uint8_t* chunk) {
  return link.TakeChunk(chunk, kRxBufferSize, UsbLink::TakeWhen::kAnyBytes).length;
}

// `n` bytes counting up from `first`, so every packet's place in the stream shows.
inline Bytes Count(int n, int first = 0) {
  Bytes b(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(first + i);
  return b;
}

}  // namespace ostrel::test
