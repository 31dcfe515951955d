#include "link/read_thread.h"

#include <cstring>
#include <utility>

namespace ostrel {
namespace {

constexpr Millis kPause = 100;

}  // namespace

TReadThread::TReadThread(UsbLink& link, TerminateHandler on_terminate, Clock* pauses)
    : link_(link),
      pauses_(pauses != nullptr ? *pauses : link.GetClock()),
      on_terminate_(std::move(on_terminate)) {
  LinkState& s = link_.State();
  {
    std::lock_guard lock(s.HandOver);
    s.EmptyRx();
    s.LastRxTime.store(link_.GetClock().Now());
    s.RxHold.store(false);
  }
  thread_ = std::thread([this] { Execute(); });
}

TReadThread::~TReadThread() {
  if (!thread_.joinable()) return;
  // A thread still running (QuitAndJoin ran out of time, or was never called) goes on
  // with the process; joining it here could hang the exit.
  if (finished_.load())
    thread_.join();
  else
    thread_.detach();
}

bool TReadThread::QuitAndJoin(std::chrono::milliseconds deadline) {
  quit_.store(true);
  {
    std::unique_lock lock(done_mu_);
    if (!done_cv_.wait_for(lock, deadline, [this] { return finished_.load(); })) return false;
  }
  if (thread_.joinable()) thread_.join();
  return true;
}

bool TReadThread::Pause() {
  pauses_.Sleep(kPause);
  return !quit_.load();
}

// NOLINTNEXTLINE(readability-function-size): the read loop's waits and hand-overs in one place
void TReadThread::Execute() {
  LinkState& s = link_.State();
  std::uint8_t* const buf = s.RxBuffer;

  while (!quit_.load()) {
    if (!s.DeviceOpen.load()) {
      Pause();
      continue;
    }

    // Stretch 1: hold test, room check and start under the lock, so a take cannot fall
    // between them and the read always lands behind the bytes already waiting.
    int32_t start = -1;
    for (;;) {
      {
        std::lock_guard lock(s.HandOver);
        if (!s.RxHold.load()) {
          // 1984 with 64-byte blocks: past that a full read would not fit. The receive
          // cycle has not taken anything for a long time, so the old bytes go.
          if (s.RxLength >= kRxBufferSize - s.BlockSize.load()) s.EmptyRx();
          start = s.RxLength;
        }
      }
      if (start >= 0 || !Pause()) break;
    }
    if (start < 0) break;

    const int32_t n = link_.ReadDevice(buf + start, kRxBufferSize - start);
    // File > Exit aborted the read (or it came back anyway): end, touching nothing.
    if (s.StopReading.load() || quit_.load()) break;
    if (n <= 0) {
      Pause();
      continue;
    }
    // Noted now, after the read: a read that was already pending when a block went out
    // may well bring its reply, one that came back before cannot.
    std::uint32_t blocks = 0;
    {
      std::lock_guard lock(s.HandOver);
      blocks = s.BlocksOut;
    }
    s.LastRxTime.store(link_.GetClock().Now());

    // Stretch 2: hand the new bytes over once the receive cycle has let go of its copy.
    bool handed = false;
    bool line = false;
    for (;;) {
      {
        std::lock_guard lock(s.HandOver);
        if (!s.RxHold.load()) {
          if (s.RxLength != start) {
            // Taken during the read: move the new bytes down behind what is left. The
            // destination never lies after the source, so forward is safe.
            for (int32_t i = 0; i < n; ++i) buf[s.RxLength + i] = buf[start + i];
          }
          line = std::memchr(buf + s.RxLength, '\n', static_cast<std::size_t>(n)) != nullptr;
          s.RxLength += n;
          s.NotePacket(blocks);
          handed = true;
        }
      }
      if (handed || !Pause()) break;
    }
    if (!handed) break;
    if (line) link_.LineArrived();
  }

  if (on_terminate_) on_terminate_();
  {
    std::lock_guard lock(done_mu_);
    finished_.store(true);
  }
  done_cv_.notify_all();
}

}  // namespace ostrel
