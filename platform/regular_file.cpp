#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ostrel {

bool ForeignLinkInStickyDirectory(const std::string& path) {
  struct stat link {};
  if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return false;
  if (link.st_uid == ::geteuid()) return false;
  const std::size_t slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  struct stat parent {};
  if (::stat(dir.c_str(), &parent) != 0) return true;
  const bool shared = (parent.st_mode & S_ISVTX) != 0 && (parent.st_mode & S_IWOTH) != 0;
  // The directory's owner could have put anything there anyway.
  return shared && parent.st_uid != link.st_uid;
}

int OpenRegularFile(const std::string& path, int flags, mode_t mode) {
  flags |= O_NONBLOCK | O_CLOEXEC;
  int fd = ::open(path.c_str(), flags | O_NOFOLLOW, mode);
  if (fd < 0 && errno == ELOOP) {
    // A link: followed when the rule allows. In a sticky directory nobody else can swap
    // a link of ours or of the directory's owner between this look and the open.
    if (ForeignLinkInStickyDirectory(path)) {
      errno = EACCES;
      return -1;
    }
    fd = ::open(path.c_str(), flags, mode);
  }
  if (fd < 0) {
    // A FIFO without a reader, a socket, a device without hardware: none is a file.
    if (errno == ENXIO) errno = EINVAL;
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    errno = err;
    return -1;
  }
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return fd;
}

const char* OpenFailure(int err) {
  return err == EINVAL ? "not a regular file" : std::strerror(err);
}

std::FILE* OpenRegularStream(const std::string& path, const char* how) {
  const bool update = std::strchr(how, '+') != nullptr;
  int flags = 0;
  switch (how[0]) {
    case 'r':
      flags = update ? O_RDWR : O_RDONLY;
      break;
    case 'a':
      flags = (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
      break;
    default:
      errno = EINVAL;
      return nullptr;
  }
  const int fd = OpenRegularFile(path, flags);
  if (fd < 0) return nullptr;
  std::FILE* f = ::fdopen(fd, how);
  if (f == nullptr) {
    const int err = errno;
    ::close(fd);
    errno = err;
  }
  return f;
}

}  // namespace ostrel
