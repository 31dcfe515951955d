#pragma once
// Deadlines for the helpers that run a program as a child of a test.
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

namespace ostrel::test {

// What is left until `end`, in milliseconds for poll(); 0 once it has passed.
inline int RemainingMs(std::chrono::steady_clock::time_point end) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
          .count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Waits for the child's end until the deadline; the exit status, 128+signal, or -1.
inline int WaitExit(pid_t pid, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (true) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 || std::chrono::steady_clock::now() >= end) return -1;
    // A child's end raises no event we can poll on without a signal handler; look again soon.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace ostrel::test
