#pragma once
// TReadThread: the one background thread. It moves the module's bytes from the driver into
// RxBuffer, keeps RxLength and LastRxTime, and respects the receive cycle's RxHold. It
// never parses, displays or writes; when the bytes it hands over complete a line it tells
// the link's ArrivalNotifier.
//
// The program creates it once, running. It ends by itself after a read that returns once
// StopReading is set (File > Exit), or with the process. The window waits for it at the
// end for a bounded time only (QuitAndJoin): a driver call that never returns must not
// hang the exit. The destructor joins only a thread that has ended and leaves one still
// running to the process, so a thread that would not end keeps its objects alive.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "link/usb_link.h"

namespace ostrel {

class TReadThread {
 public:
  // Called on the read thread just before it ends (the window's ThreadDone does nothing).
  using TerminateHandler = std::function<void()>;

  // Sets RxLength 0, LastRxTime now, RxHold false, then starts the loop at once. The
  // loop's pauses (no device open, RxHold set) sleep on `pauses`, the link's clock when
  // null: a program whose link runs on a test's clock passes the real one, as a sleep
  // that never waits would turn the pauses into a busy loop.
  explicit TReadThread(UsbLink& link, TerminateHandler on_terminate = {}, Clock* pauses = nullptr);
  ~TReadThread();
  TReadThread(const TReadThread&) = delete;
  TReadThread& operator=(const TReadThread&) = delete;

  // The loop has ended.
  bool Finished() const { return finished_.load(); }

  // Ends the loop at its next look at the flags (at once after a read, within one sleep
  // otherwise) and joins. A read pending in the driver must be released by the caller
  // (StopAndAbort). False, and the thread left running, if it did not end by the deadline.
  bool QuitAndJoin(std::chrono::milliseconds deadline);

 private:
  void Execute();
  // One of the loop's 100 ms waits; false when the loop must end instead.
  bool Pause();

  UsbLink& link_;
  Clock& pauses_;
  TerminateHandler on_terminate_;
  std::atomic<bool> quit_{false};
  std::atomic<bool> finished_{false};
  std::mutex done_mu_;
  std::condition_variable done_cv_;
  std::thread thread_;
};

}  // namespace ostrel
