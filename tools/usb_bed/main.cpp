// kastrel-usb-bed: the module emulator behind real USB, for tests. See bed_options.cpp.
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/usb_bed/bed_options.h"
#include "tools/usb_bed/emulator_link.h"
#include "tools/usb_bed/usbfs_device.h"

namespace {

using kastrel::usb_bed::BedOptions;
using kastrel::usb_bed::UsbfsDevice;

constexpr const char* kPreload = "libumockdev-preload.so.0";
// How often a followed emulator that went away is asked whether it listens again.
constexpr int kFollowRetryMs = 100;

// One write per line, so lines of the bed and of PROGRAM on a shared pipe never mix.
void Event(const std::string& line) {
  const std::string text = line + "\n";
  [[maybe_unused]] const auto n = write(STDOUT_FILENO, text.data(), text.size());
}

double Seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The test bed only works from a preloaded process: without it uevents go nowhere.
void ReexecPreloaded(char** argv) {
  const char* current = std::getenv("LD_PRELOAD");
  if (current != nullptr && std::strstr(current, "libumockdev-preload") != nullptr) return;
  std::string preload = kPreload;
  if (current != nullptr && *current != '\0') preload += std::string(":") + current;
  setenv("LD_PRELOAD", preload.c_str(), 1);
  // A sanitizer runtime must otherwise come first in the library list.
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::string asan_options = "verify_asan_link_order=0";
  if (asan != nullptr && *asan != '\0') asan_options = std::string(asan) + ":" + asan_options;
  setenv("ASAN_OPTIONS", asan_options.c_str(), 1);
  execv("/proc/self/exe", argv);
  std::perror("kastrel-usb-bed: re-exec under the umockdev preload");
  std::exit(2);
}

uid_t g_owner_uid;
gid_t g_owner_gid;
int ChownEntry(const char* path, const struct stat*, int, FTW*) {
  [[maybe_unused]] const int r = lchown(path, g_owner_uid, g_owner_gid);
  return 0;
}

// After fork only calls the umockdev preload does not wrap: it guards open(), fopen(),
// write() and more with locks that another thread of the bed may have held at the fork,
// and the child would wait on them for ever.
[[noreturn]] void ChildFail(const std::string& text) {
  syscall(SYS_write, STDERR_FILENO, text.data(), text.size());
  _exit(127);
}

pid_t StartProgram(const BedOptions& options, const sigset_t& original_mask, const passwd* user) {
  std::vector<char*> argv;
  for (const auto& a : options.program) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // Commands on the bed's stdin are the bed's own.
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  std::vector<gid_t> groups(64);
  if (user != nullptr) {
    int count = static_cast<int>(groups.size());
    if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
      groups.resize(static_cast<std::size_t>(count));
      getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count);
    }
    groups.resize(static_cast<std::size_t>(count));
  }
  const std::string cannot_run = std::string("kastrel-usb-bed: cannot run ") + argv[0] + "\n";
  const pid_t pid = fork();
  if (pid != 0) {
    if (null >= 0) close(null);
    return pid;
  }
  sigprocmask(SIG_SETMASK, &original_mask, nullptr);
  signal(SIGPIPE, SIG_DFL);
  if (null >= 0) dup2(null, STDIN_FILENO);
  if (user != nullptr && (setgroups(groups.size(), groups.data()) != 0 ||
                          setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0))
    ChildFail("kastrel-usb-bed: cannot switch user\n");
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  execvp(argv[0], argv.data());
  ChildFail(cannot_run);
}

std::string StatsLine(const UsbfsDevice& device, double started) {
  const auto s = device.Stats();
  char text[160];
  std::snprintf(text, sizeof text,
                "stats submitted=%ld reaped=%ld eagain=%ld seconds=%.3f clients=%ld", s.submitted,
                s.reaped, s.eagain, Seconds() - started, s.clients);
  return text;
}

}  // namespace

// NOLINTNEXTLINE(readability-function-size): the bed's set-up, in order
int main(int argc, char** argv) {
  BedOptions options;
  const std::string complaint =
      kastrel::usb_bed::ParseBedOptions(std::vector<std::string>(argv + 1, argv + argc), options);
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kastrel::usb_bed::kBedUsage, stdout);
    return 0;
  }
  if (!complaint.empty()) {
    std::fprintf(stderr, "kastrel-usb-bed: %s\n%s", complaint.c_str(), kastrel::usb_bed::kBedUsage);
    return 2;
  }
  const passwd* user = nullptr;
  if (!options.user.empty() && (user = getpwnam(options.user.c_str())) == nullptr) {
    std::fprintf(stderr, "kastrel-usb-bed: no user %s\n", options.user.c_str());
    return 2;
  }
  ReexecPreloaded(argv);

  // Blocked before umockdev starts its worker thread, so only the signalfd sees them.
  sigset_t handled;
  sigset_t original;
  sigemptyset(&handled);
  for (const int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&handled, s);
  sigprocmask(SIG_BLOCK, &handled, &original);
  signal(SIGPIPE, SIG_IGN);
  const int signals = signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
  const double started = Seconds();

  UMockdevTestbed* testbed = umockdev_testbed_new();
  int status = 0;
  {
    UsbfsDevice device(options.device, options.emulator_socket, options.node_mode, Event);
    std::string error;
    if (!device.Attach(testbed, error) || (!options.absent && !device.Plug(error))) {
      std::fprintf(stderr, "kastrel-usb-bed: %s\n", error.c_str());
      g_object_unref(testbed);
      return 2;
    }
    if (user != nullptr) {
      // The program's own preload makes its uevent sockets in the bed's root.
      gchar* root = umockdev_testbed_get_root_dir(testbed);
      g_owner_uid = user->pw_uid;
      g_owner_gid = user->pw_gid;
      nftw(root, ChownEntry, 16, FTW_PHYS);
      g_free(root);
    }

    const pid_t child = StartProgram(options, original, user);
    Event("ready");
    bool stdin_open = true;
    bool following = false;  // the followed emulator went away: waiting for it to listen
    std::string line;
    for (bool running = true; running;) {
      pollfd fds[4] = {{signals, POLLIN, 0}, {device.wake_fd(), POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
      if (stdin_open) fds[2] = {STDIN_FILENO, POLLIN, 0};
      const int emulator = device.EmulatorFd();
      if (emulator >= 0) {
        fds[3].fd = emulator;
        fds[3].events = static_cast<short>((device.WantsPacket() ? POLLIN : 0) |
                                           (device.HasOutPending() ? POLLOUT : 0));
      }
      if (poll(fds, 4, following ? kFollowRetryMs : -1) < 0 && errno != EINTR) break;

      if (fds[1].revents & POLLIN) device.ClearWake();
      if (fds[3].revents & POLLOUT) device.FlushOut();
      if (fds[3].revents & (POLLIN | POLLHUP | POLLERR)) {
        if (!device.ReadEmulator() && options.follow_emulator && device.Plugged()) {
          device.Unplug();
          following = true;
        }
      }
      if (following) {
        const int probe = kastrel::usb_bed::ConnectEmulator(options.emulator_socket);
        if (probe >= 0) {
          close(probe);
          following = !device.Plug(error);
        }
      }
      if (fds[2].revents & (POLLIN | POLLHUP)) {
        char chunk[256];
        const auto n = read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) stdin_open = false;
        if (n > 0) line.append(chunk, static_cast<std::size_t>(n));
        for (std::size_t end; (end = line.find('\n')) != std::string::npos;
             line.erase(0, end + 1)) {
          const std::string command = line.substr(0, end);
          if (command == "plug") {
            following = false;
            if (!device.Plug(error)) std::fprintf(stderr, "kastrel-usb-bed: %s\n", error.c_str());
          } else if (command == "unplug") {
            following = false;
            device.Unplug();
          } else if (command == "stats") {
            Event(StatsLine(device, started));
          } else if (command == "quit") {
            kill(child, SIGTERM);
          } else if (!command.empty()) {
            std::fprintf(stderr, "kastrel-usb-bed: unknown command %s\n", command.c_str());
          }
        }
      }
      if (fds[0].revents & POLLIN) {
        signalfd_siginfo info{};
        while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
          if (info.ssi_signo != SIGCHLD) {
            kill(child, static_cast<int>(info.ssi_signo));
            continue;
          }
          int wstatus = 0;
          if (waitpid(child, &wstatus, WNOHANG) == child) {
            status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
            running = false;
          }
        }
      }
    }
    if (options.stats) Event(StatsLine(device, started));
    Event("exited " + std::to_string(status));
    g_object_unref(testbed);
  }
  return status;
}
