#pragma once
// The clock seam: every time the program reads and every sleep it takes goes through
// here, so tests can put 5000 ms against 5001 ms of silence without waiting.
#include <cstdint>

namespace ostrel {

using Millis = std::int64_t;

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since program start, from a steady clock.
  virtual Millis Now() const = 0;
  virtual void Sleep(Millis ms) = 0;
};

// The real clock: std::chrono::steady_clock and std::this_thread::sleep_for.
Clock& SystemClock();

}  // namespace ostrel
