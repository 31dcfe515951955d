#include "platform/single_instance.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace ostrel {
namespace {

std::string UniqueName(const char* what) {
  return std::string("ostrel-test-") + what + "-" + std::to_string(::getpid());
}

// This test program started again as the helper: `--hold NAME` takes the mark, says
// "held" or "running", and keeps it until its stdin closes or it is killed;
// `--probe NAME` exits 1 when the mark is taken, 0 when it was free.
int HelperMain(const std::string& mode, const std::string& name) {
  if (mode == "--probe") return AlreadyRunning(name) ? 1 : 0;
  SingleInstance mark(name);
  std::printf("%s\n", mark.Holding() ? "held" : "running");
  std::fflush(stdout);
  char c;
  while (::read(STDIN_FILENO, &c, 1) > 0) {
  }
  return 0;
}

struct Helper {
  pid_t pid = -1;
  int to_child = -1;
  int from_child = -1;
};

Helper Spawn(const char* mode, const std::string& name) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::string self = "/proc/self/exe";
  char* argv[] = {self.data(), const_cast<char*>(mode), const_cast<char*>(name.c_str()), nullptr};
  Helper h;
  if (::posix_spawn(&h.pid, self.c_str(), &actions, nullptr, argv, environ) != 0) h.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  h.to_child = in[1];
  h.from_child = out[0];
  return h;
}

// The helper's first line, or "" when none comes within the deadline.
std::string FirstLine(const Helper& h) {
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{h.from_child, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char c;
    if (::read(h.from_child, &c, 1) != 1) break;
    if (c == '\n') return line;
    line += c;
  }
  return "";
}

int ExitCode(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Finish(Helper& h) {
  ::close(h.to_child);
  ::close(h.from_child);
}

TEST(SingleInstance, SecondHolderInTheSameProcessSeesItRunning) {
  const std::string name = UniqueName("same");
  {
    SingleInstance first(name);
    ASSERT_TRUE(first.Holding());
    EXPECT_FALSE(first.AlreadyRunning());
    SingleInstance second(name);
    EXPECT_TRUE(second.AlreadyRunning());
    EXPECT_FALSE(second.Holding());
    SingleInstance other(name + "-other");
    EXPECT_FALSE(other.AlreadyRunning());
  }
  SingleInstance again(name);
  EXPECT_TRUE(again.Holding());
}

// A second start says which panel runs: the holder's line, not an earlier holder's.
TEST(SingleInstance, SecondHolderReadsWhoHoldsTheMark) {
  const std::string name = UniqueName("holder");
  { SingleInstance earlier(name, InstanceDirectory(), "with a window (process 1) and more"); }
  SingleInstance first(name, InstanceDirectory(), "as a service (process 2)\n");
  ASSERT_TRUE(first.Holding());
  SingleInstance second(name, InstanceDirectory(), "with a window (process 3)");
  EXPECT_TRUE(second.AlreadyRunning());
  EXPECT_EQ(second.Holder(), "as a service (process 2)");
  EXPECT_EQ(SingleInstance(name + "-free").Holder(), "");
}

TEST(SingleInstance, ProgramEntryKeepsTheMark) {
  const std::string name = UniqueName("entry");
  EXPECT_FALSE(AlreadyRunning(name));
  EXPECT_TRUE(AlreadyRunning(name));
  EXPECT_TRUE(SingleInstance(name).AlreadyRunning());
}

TEST(SingleInstance, AnotherProcessSeesOurMarkUntilWeRelease) {
  const std::string name = UniqueName("ours");
  auto mark = std::make_unique<SingleInstance>(name);
  ASSERT_TRUE(mark->Holding());
  Helper probe = Spawn("--probe", name);
  ASSERT_GT(probe.pid, 0);
  Finish(probe);
  EXPECT_EQ(ExitCode(probe.pid), 1);

  mark.reset();
  probe = Spawn("--probe", name);
  ASSERT_GT(probe.pid, 0);
  Finish(probe);
  EXPECT_EQ(ExitCode(probe.pid), 0);
}

TEST(SingleInstance, MarkOfAnotherProcessIsFreedWhenItDies) {
  const std::string name = UniqueName("theirs");
  Helper holder = Spawn("--hold", name);
  ASSERT_GT(holder.pid, 0);
  ASSERT_EQ(FirstLine(holder), "held");
  EXPECT_TRUE(SingleInstance(name).AlreadyRunning());

  ::kill(holder.pid, SIGKILL);  // a crash: no destructor runs
  EXPECT_EQ(ExitCode(holder.pid), 128 + SIGKILL);
  Finish(holder);
  bool free_again = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!free_again && std::chrono::steady_clock::now() < deadline) {
    free_again = SingleInstance(name).Holding();
  }
  EXPECT_TRUE(free_again);
}

// Someone else's socket bound under the name the mark once had (any user can bind any
// abstract name) keeps nobody from starting.
TEST(SingleInstance, AbstractNameTakenByAnotherUserStopsNothing) {
  const std::string name = UniqueName("abstract");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const uid_t victim = ::getuid();
  const pid_t other = ::fork();
  if (other == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string full = name + " uid " + std::to_string(victim);
    std::memcpy(addr.sun_path + 1, full.data(), full.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr),
               static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + full.size())) != 0)
      ::_exit(3);
    (void)!::write(ready[1], "b", 1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  SingleInstance mark(name);
  EXPECT_TRUE(mark.Holding());
  EXPECT_FALSE(mark.AlreadyRunning());
  ::kill(other, SIGKILL);
  ::waitpid(other, nullptr, 0);
}

// A scratch directory, and the environment as it was, put back afterwards.
class InstanceDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ostrel-instance-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    for (const char* var : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
      const char* v = std::getenv(var);
      saved_.emplace_back(var, v ? std::optional<std::string>(v) : std::nullopt);
    }
    shared_ = root_ + "/tmp";
    ASSERT_EQ(::mkdir(shared_.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(shared_.c_str(), 01777), 0);
    ::setenv("TMPDIR", shared_.c_str(), 1);
    fallback_ = shared_ + "/ostrel-panel-" + std::to_string(::geteuid());
  }
  void TearDown() override {
    for (const auto& [var, value] : saved_) {
      if (value)
        ::setenv(var.c_str(), value->c_str(), 1);
      else
        ::unsetenv(var.c_str());
    }
    std::filesystem::remove_all(root_);
  }
  std::string Dir(const char* name, mode_t mode) {
    std::string d = root_ + "/" + name;
    EXPECT_EQ(::mkdir(d.c_str(), mode), 0);
    EXPECT_EQ(::chmod(d.c_str(), mode), 0);
    return d;
  }
  std::string root_, shared_, fallback_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(InstanceDirectoryTest, OnlyADirectoryNobodyElseMayEnterHoldsTheMark) {
  ::setenv("XDG_RUNTIME_DIR", Dir("private", 0700).c_str(), 1);
  EXPECT_EQ(InstanceDirectory(), root_ + "/private");

  ::setenv("XDG_RUNTIME_DIR", Dir("open", 0755).c_str(), 1);
  EXPECT_EQ(InstanceDirectory(), fallback_);
  struct stat st {};
  ASSERT_EQ(::lstat(fallback_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(InstanceDirectory(), fallback_);
  SingleInstance mark(UniqueName("fallback"));
  EXPECT_TRUE(mark.Holding());
}

TEST_F(InstanceDirectoryTest, FallbackMadeByAnotherUserIsNotUsed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make the directory as another user";
  ::unsetenv("XDG_RUNTIME_DIR");
  ASSERT_EQ(::mkdir(fallback_.c_str(), 0700), 0);
  ASSERT_EQ(::chown(fallback_.c_str(), 65534, 65534), 0);
  EXPECT_EQ(InstanceDirectory(), "");
  // No mark at all: the panel starts (a second one would too) rather than never.
  SingleInstance mark(UniqueName("squatted"));
  EXPECT_FALSE(mark.Holding());
  EXPECT_FALSE(mark.AlreadyRunning());
}

}  // namespace
}  // namespace ostrel

int main(int argc, char** argv) {
  if (argc == 3 && (std::strcmp(argv[1], "--hold") == 0 || std::strcmp(argv[1], "--probe") == 0)) {
    return ostrel::HelperMain(argv[1], argv[2]);
  }
  // Marks of this run only, in a runtime directory of its own (the helpers inherit it).
  char runtime[] = "/tmp/ostrel-instance-run-XXXXXX";
  if (::mkdtemp(runtime) == nullptr) return 2;
  ::setenv("XDG_RUNTIME_DIR", runtime, 1);
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::filesystem::remove_all(runtime);
  return result;
}
