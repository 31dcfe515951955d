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

SingleInstance::SingleInstance(std::string_view name, const std::string& dir) {
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
    ::close(fd);
    return;
  }
  fd_ = fd;
}

SingleInstance::~SingleInstance() {
  if (fd_ >= 0) ::close(fd_);
}

bool AlreadyRunning(std::string_view name) {
  // Kept until the process ends, as the mutex handle is. Called from program entry only.
  static std::vector<std::unique_ptr<SingleInstance>> marks;
  marks.push_back(std::make_unique<SingleInstance>(name));
  return marks.back()->AlreadyRunning();
}

}  // namespace ostrel
