#pragma once
// Real client processes for the pseudo-terminal tests, and waiting with a deadline
// while the event loop runs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "support/temp_dir.h"

namespace ostrel::testing_pty {

// Runs the event loop until `done` holds or `ms` have passed; returns `done()`.
inline bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QEventLoop loop;
    QTimer::singleShot(5, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

// A forked process that runs `body` (plain POSIX only: no Qt in the child) with a pipe
// to report on and a pipe to be told "go" on.
class Child {
 public:
  // body(report_fd, go_fd) returns the exit status.
  explicit Child(const std::function<int(int, int)>& body) {
    int report[2], go[2];
    if (::pipe2(report, O_CLOEXEC) != 0 || ::pipe2(go, O_CLOEXEC) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(report[0]);
      ::close(go[1]);
      ::_exit(body(report[1], go[0]));
    }
    ::close(report[1]);
    ::close(go[0]);
    report_ = report[0];
    go_ = go[1];
    ::fcntl(report_, F_SETFL, O_NONBLOCK);
  }
  ~Child() {
    if (go_ >= 0) ::close(go_);
    if (!Exited()) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status_, 0);
    }
    ::close(report_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void Go() {
    const char g = 'g';
    if (::write(go_, &g, 1) != 1) std::abort();
  }
  bool Exited() {
    if (exited_) return true;
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    Collect();
    return exited_;
  }
  pid_t Pid() const { return pid_; }
  int ExitCode() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
  // Everything reported so far.
  const std::string& Report() {
    Collect();
    return report_text_;
  }

 private:
  void Collect() {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(report_, buf, sizeof buf)) > 0)
      report_text_.append(buf, static_cast<std::size_t>(n));
  }
  pid_t pid_ = -1;
  int report_ = -1;
  int go_ = -1;
  int status_ = 0;
  bool exited_ = false;
  std::string report_text_;
};

// --- helpers for child bodies ---

inline bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads from `fd` until `want` bytes came or `ms` passed.
inline std::string ReadUpTo(int fd, std::size_t want, int ms) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (got.size() < want) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, want - got.size()));
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

// Blocks until the parent says go (or goes away).
inline void AwaitGo(int go_fd) {
  char g;
  // A byte or the end: either lets the child go on, so the count does not matter.
  [[maybe_unused]] const ssize_t n = ::read(go_fd, &g, 1);
}

// The port directory: the support library's folder, which others may enter.
using test::TempDir;

}  // namespace ostrel::testing_pty
