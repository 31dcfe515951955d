#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

namespace ostrel {
namespace {

bool PrivateDirectory(const std::string& dir) {
  struct stat st {};
  return !dir.empty() && ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

}  // namespace

std::string InstanceDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && PrivateDirectory(runtime)) return runtime;
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = (tmp != nullptr && *tmp == '/' ? std::string(tmp) : std::string("/tmp")) +
                    "/ostrel-panel-" + std::to_string(::geteuid());
  ::mkdir(dir.c_str(), 0700);  // one made by someone else fails the check below
  return PrivateDirectory(dir) ? dir : std::string();
}

SingleInstance::SingleInstance(std::string_view name, const std::string& dir,
                               std::string_view holder) {
  if (dir.empty()) return;
  std::string file(name);
  for (char& c : file)
    if (c == '/') c = '_';
  const std::string path = dir + "/" + file + ".lock";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return;
  // An open file description of its own: a second mark in this process conflicts too.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    already_running_ = errno == EWOULDBLOCK;
    // The holder writes its line while it holds the lock, in one call.
    char text[256];
    const ssize_t n = already_running_ ? ::pread(fd, text, sizeof text, 0) : 0;
    if (n > 0) holder_.assign(text, static_cast<std::size_t>(n));
    while (!holder_.empty() && (holder_.back() == '\n' || holder_.back() == '\0'))
      holder_.pop_back();
    ::close(fd);
    return;
  }
  fd_ = fd;
  // Who holds it, for a second start to say; an earlier holder's words go first.
  if (::ftruncate(fd, 0) == 0 && !holder.empty()) {
    [[maybe_unused]] const ssize_t n = ::pwrite(fd, holder.data(), holder.size(), 0);
  }
}

SingleInstance::~SingleInstance() {
  if (fd_ >= 0) ::close(fd_);
}

bool AlreadyRunning(std::string_view name) {
  std::string running;
  return AlreadyRunning({}, running, name);
}

bool AlreadyRunning(std::string_view holder, std::string& running, std::string_view name) {
  // Kept until the process ends, as the mutex handle is. Called from program entry only.
  static std::vector<std::unique_ptr<SingleInstance>> marks;
  marks.push_back(std::make_unique<SingleInstance>(name, InstanceDirectory(), holder));
  running = marks.back()->Holder();
  return marks.back()->AlreadyRunning();
}

}  // namespace ostrel
