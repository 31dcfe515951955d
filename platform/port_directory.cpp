#include "platform/port_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>

namespace ostrel {

std::string PortLinkPath(const std::string& dir, const std::string& name) {
  return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string PortLockPath(const std::string& dir, const std::string& name) {
  return PortLinkPath(dir, "." + name + ".lock");
}

bool IsComPortName(const std::string& name) {
  if (name.size() < 4 || name.size() > 7 || name.compare(0, 3, "COM") != 0) return false;
  for (std::size_t i = 3; i < name.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

bool IsOwnLockFile(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
}

bool PointsIntoPts(const std::string& link) {
  char target[PATH_MAX];
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 && std::string(target, static_cast<std::size_t>(n)).rfind("/dev/pts/", 0) == 0;
}

bool IsVirtualPortEntry(const std::string& dir, const std::string& name) {
  struct stat st {};
  if (::lstat(PortLockPath(dir, name).c_str(), &st) != 0 || !IsOwnLockFile(st)) return false;
  const std::string link = PortLinkPath(dir, name);
  return ::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && PointsIntoPts(link);
}

std::string AbsoluteDirectory(const std::string& dir) {
  if (!dir.empty() && dir.front() == '/') return dir;
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return dir.empty() ? "." : dir;
  std::string base(cwd);
  if (dir.empty() || dir == ".") return base;
  std::string rest = dir.rfind("./", 0) == 0 ? dir.substr(2) : dir;
  return base == "/" ? "/" + rest : base + "/" + rest;
}

}  // namespace ostrel
