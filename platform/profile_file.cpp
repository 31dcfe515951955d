#include "platform/profile_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/regular_file.h"

namespace ostrel {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

enum class LineKind { kOther, kSection, kKey };

// One line of the text. `end` is where its terminator (LF or CR LF) starts, `next` where
// the following line starts; `name_end` is where the name ends in the raw text.
struct Line {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t next = 0;
  LineKind kind = LineKind::kOther;
  std::string_view name;
  std::string_view value;
  std::size_t name_end = 0;
};

Line ParseLine(std::string_view text, std::size_t begin) {
  Line line;
  line.begin = begin;
  std::size_t lf = text.find('\n', begin);
  if (lf == std::string_view::npos) {
    line.end = line.next = text.size();
  } else {
    line.next = lf + 1;
    line.end = (lf > begin && text[lf - 1] == '\r') ? lf - 1 : lf;
  }
  std::string_view raw = text.substr(begin, line.end - begin);
  std::string_view body = Trim(raw);
  if (body.empty() || body.front() == ';' || body.front() == '#') return line;

  if (body.front() == '[') {
    std::size_t close = body.rfind(']');
    if (close != std::string_view::npos && close > 0) {
      line.kind = LineKind::kSection;
      line.name = Trim(body.substr(1, close - 1));
      return line;
    }
  }
  std::size_t eq = raw.find('=');
  if (eq == std::string_view::npos) return line;
  std::string_view name = Trim(raw.substr(0, eq));
  if (name.empty()) return line;
  line.kind = LineKind::kKey;
  line.name = name;
  line.name_end = static_cast<std::size_t>(name.data() + name.size() - text.data());
  line.value = Trim(raw.substr(eq + 1));
  return line;
}

// A UTF-8 byte order mark, which Windows editors put at the start of a file: it belongs
// to no line, so the first section is still found, and it stays where it is on a write.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::size_t TextStart(std::string_view text) {
  return text.substr(0, kByteOrderMark.size()) == kByteOrderMark ? kByteOrderMark.size() : 0;
}

// Where [section] and its key lie in the text.
struct Place {
  bool section_found = false;
  std::size_t header_next = 0;    // start of the line after the section header
  std::size_t last_key_next = 0;  // start of the line after the section's last key line
  bool has_keys = false;
  bool key_found = false;
  Line key;
};

Place Locate(std::string_view text, std::string_view section, std::string_view key) {
  Place place;
  bool inside = false;
  for (std::size_t pos = TextStart(text); pos < text.size();) {
    Line line = ParseLine(text, pos);
    pos = line.next;
    if (line.kind == LineKind::kSection) {
      if (inside) break;  // only the first section of a name counts
      if (SameName(line.name, section)) {
        inside = true;
        place.section_found = true;
        place.header_next = line.next;
      }
    } else if (inside && line.kind == LineKind::kKey) {
      place.has_keys = true;
      place.last_key_next = line.next;
      if (!place.key_found && SameName(line.name, key)) {
        place.key_found = true;
        place.key = line;
      }
    }
  }
  return place;
}

std::string_view StripQuotes(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

bool HasLineBreak(std::string_view s) {
  return s.find('\n') != std::string_view::npos || s.find('\r') != std::string_view::npos;
}

std::string_view LineEndOf(std::string_view text) {
  std::size_t lf = text.find('\n');
  return (lf != std::string_view::npos && lf > 0 && text[lf - 1] == '\r') ? "\r\n" : "\n";
}

std::string Describe(const std::string& path, int err) {
  return "Unable to write to " + path + ": " + std::strerror(err);
}

// The whole file, and its owner. ENOENT gives an empty text with `exists` false; other
// failures throw.
std::string Slurp(const std::string& path, const std::string& shown, bool& exists,
                  uid_t* owner = nullptr, struct stat* opened = nullptr) {
  exists = false;
  int fd = OpenRegularFile(path, O_RDONLY);
  if (fd < 0) {
    if (errno == ENOENT) return {};
    throw ProfileError(Describe(shown, errno));
  }
  struct stat st {};
  ::fstat(fd, &st);
  if (owner != nullptr) *owner = st.st_uid;
  if (opened != nullptr) *opened = st;
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      ::close(fd);
      throw ProfileError(Describe(shown, err));
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  exists = true;
  return text;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// A link (one the open allowed) is followed, so the rename replaces the file it points
// to, not the link; the file must still be the one that was read.
std::string RealTarget(const std::string& path, const struct stat& read) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) throw ProfileError(Describe(path, errno));
  std::string target(real);
  std::free(real);
  if (::stat(target.c_str(), &st) != 0 || st.st_ino != read.st_ino || st.st_dev != read.st_dev)
    throw ProfileError(Describe(path, EAGAIN));
  return target;
}

// ".ostrel_gps_monitor.ini.tmp-" for "dir/ostrel_gps_monitor.ini".
std::string TemporaryPrefix(const std::string& base) { return "." + base + ".tmp-"; }

void ReplaceFile(const std::string& target, const std::string& shown, std::string_view text,
                 bool existed) {
  static std::atomic<unsigned> serial{0};
  std::size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string tmp = (slash == std::string::npos ? std::string() : dir) + TemporaryPrefix(base) +
                    std::to_string(::getpid()) + "-" + std::to_string(serial++);

  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) throw ProfileError(Describe(shown, errno));
  struct stat old {};
  bool ok = true;
  if (existed && ::stat(target.c_str(), &old) == 0) ok = ::fchmod(fd, old.st_mode & 07777) == 0;
  ok = ok && WriteAll(fd, text) && ::fsync(fd) == 0;
  int err = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(tmp.c_str(), target.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    throw ProfileError(Describe(shown, err));
  }
  // The rename itself reaches the disk with the directory.
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

}  // namespace

std::optional<std::string> ProfileLookup(std::string_view text, std::string_view section,
                                         std::string_view key) {
  Place place = Locate(text, Trim(section), Trim(key));
  if (!place.key_found) return std::nullopt;
  std::string_view value = StripQuotes(place.key.value);
  return std::string(value.substr(0, kProfileValueMax));
}

std::string ProfileUpdate(std::string_view text, std::string_view section, std::string_view key,
                          std::string_view value) {
  section = Trim(section);
  key = Trim(key);
  if (section.empty() || key.empty() || HasLineBreak(section) || HasLineBreak(key) ||
      HasLineBreak(value) || key.find('=') != std::string_view::npos || key.front() == ';' ||
      key.front() == '#' || key.front() == '[') {
    throw ProfileError("Cannot store [" + std::string(section) + "] " + std::string(key) +
                       " as one line of a profile file");
  }
  std::string_view eol = LineEndOf(text);
  Place place = Locate(text, section, key);
  std::string out;
  out.reserve(text.size() + section.size() + key.size() + value.size() + 8);

  if (place.key_found) {
    out.append(text.substr(0, place.key.name_end));
    out.append("=").append(value);
    out.append(text.substr(place.key.end));
    return out;
  }

  auto key_line = [&](std::string& s) { s.append(key).append("=").append(value).append(eol); };
  if (place.section_found) {
    std::size_t at = place.has_keys ? place.last_key_next : place.header_next;
    out.append(text.substr(0, at));
    if (at == text.size() && !text.empty() && text.back() != '\n') out.append(eol);
    key_line(out);
    out.append(text.substr(at));
    return out;
  }

  out.append(text);
  if (text.size() > TextStart(text) && text.back() != '\n') out.append(eol);
  out.append("[").append(section).append("]").append(eol);
  key_line(out);
  return out;
}

ProfileFile::ProfileFile(std::string path) : path_(std::move(path)) {}

std::string ProfileFile::Read(std::string_view section, std::string_view key,
                              std::string_view def) const {
  std::string text;
  try {
    bool exists = false;
    text = Slurp(path_, path_, exists);
  } catch (const ProfileError&) {
    return std::string(def);
  }
  std::optional<std::string> value = ProfileLookup(text, section, key);
  return value ? std::move(*value) : std::string(def);
}

void ProfileFile::Write(std::string_view section, std::string_view key,
                        std::string_view value) const {
  bool exists = false;
  uid_t owner = 0;
  struct stat read {};
  std::string text = Slurp(path_, path_, exists, &owner, &read);
  std::string updated;
  try {
    updated = ProfileUpdate(text, section, key, value);
  } catch (const ProfileError& e) {
    throw ProfileError("Unable to write to " + path_ + ": " + e.what());
  }
  if (exists && updated == text) return;
  // The new file would be ours: another user's file is never replaced.
  if (exists && owner != ::geteuid()) throw ProfileError(Describe(path_, EPERM));
  std::string target = exists ? RealTarget(path_, read) : path_;
  // The rename would go through a write-protected file; Windows refuses, and so do we.
  if (exists && ::access(target.c_str(), W_OK) != 0) throw ProfileError(Describe(path_, errno));
  ReplaceFile(target, path_, updated, exists);
}

void ProfileFile::RemoveStaleTemporaries() const {
  std::size_t slash = path_.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
  const std::string prefix =
      TemporaryPrefix(slash == std::string::npos ? path_ : path_.substr(slash + 1));
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    // ".<file>.tmp-<pid>-<serial>": the writer's process id.
    const char* digits = name.c_str() + prefix.size();
    char* end = nullptr;
    const long pid = std::strtol(digits, &end, 10);
    if (end == digits || *end != '-' || pid <= 0 || pid > INT_MAX) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // still running
    struct stat st {};
    const std::string path = dir + name;
    if (::fstatat(::dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == ::geteuid())
      ::unlink(path.c_str());
  }
  ::closedir(d);
}

}  // namespace ostrel
