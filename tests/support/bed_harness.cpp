#include "support/bed_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "support/child_wait.h"

extern char** environ;

namespace kastrel::usb_bed_test {
namespace {

using SteadyClock = std::chrono::steady_clock;

using ostrel::test::RemainingMs;

}  // namespace

BedProcess::BedProcess(const std::vector<std::string>& bed_args,
                       const std::vector<std::string>& program) {
  int to_bed[2];
  int from_bed[2];
  if (pipe2(to_bed, O_CLOEXEC) != 0) return;
  if (pipe2(from_bed, O_CLOEXEC) != 0) {
    close(to_bed[0]);
    close(to_bed[1]);
    return;
  }
  std::vector<std::string> all{KASTREL_USB_BED_PATH};
  all.insert(all.end(), bed_args.begin(), bed_args.end());
  all.push_back("--");
  all.insert(all.end(), program.begin(), program.end());
  std::vector<char*> argv;
  argv.reserve(all.size() + 1);
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_bed[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, from_bed[1], STDOUT_FILENO);
  if (posix_spawn(&pid_, KASTREL_USB_BED_PATH, &actions, nullptr, argv.data(), environ) != 0)
    pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(to_bed[0]);
  close(from_bed[1]);
  in_ = to_bed[1];
  out_ = from_bed[0];
}

BedProcess::~BedProcess() {
  if (pid_ > 0 && WaitExit(Millis(0)) == -1) {
    kill(pid_, SIGTERM);
    if (WaitExit(Millis(5000)) == -1) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
}

void BedProcess::Send(const std::string& command) {
  const std::string line = command + "\n";
  [[maybe_unused]] const auto n = write(in_, line.data(), line.size());
}

void BedProcess::Signal(int signal_number) {
  if (pid_ > 0) kill(pid_, signal_number);
}

bool BedProcess::ReadLine(SteadyClock::time_point end) {
  while (pending_.find('\n') == std::string::npos) {
    pollfd p{out_, POLLIN, 0};
    if (out_ < 0 || poll(&p, 1, RemainingMs(end)) <= 0) return false;
    char chunk[512];
    const auto n = read(out_, chunk, sizeof chunk);
    if (n <= 0) {
      close(out_);
      out_ = -1;
      return false;
    }
    pending_.append(chunk, static_cast<std::size_t>(n));
  }
  const auto newline = pending_.find('\n');
  lines_.push_back(pending_.substr(0, newline));
  pending_.erase(0, newline + 1);
  return true;
}

std::string BedProcess::WaitFor(const std::function<bool(const std::string&)>& match,
                                Millis deadline) {
  const auto end = SteadyClock::now() + deadline;
  while (ReadLine(end)) {
    if (match(lines_.back())) return lines_.back();
  }
  return {};
}

std::string BedProcess::WaitForPrefix(const std::string& prefix, Millis deadline) {
  return WaitFor([&](const std::string& line) { return line.rfind(prefix, 0) == 0; }, deadline);
}

int BedProcess::WaitExit(Millis deadline) {
  if (pid_ <= 0) return -1;
  const auto end = SteadyClock::now() + deadline;
  while (ReadLine(end)) {
  }
  // Output has ended; the exit follows at once.
  const int status = ostrel::test::WaitExit(pid_, Millis(RemainingMs(end)));
  if (status >= 0) pid_ = -1;
  return status;
}

std::string BedProcess::Transcript() const {
  std::string text;
  for (const auto& line : lines_) text += line + "\n";
  return text;
}

int BedProcess::Count(const std::string& line) const {
  return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
}

}  // namespace kastrel::usb_bed_test
