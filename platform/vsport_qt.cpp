#include "platform/vsport_qt.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/port_directory.h"

namespace ostrel {
namespace {

bool ValidPortName(const std::string& name) {
  return !name.empty() && name.front() != '.' && name.find('/') == std::string::npos;
}

// Once the slave has been opened and closed, the master reports POLLHUP for as long as
// no client holds the slave open.
bool ClientPresent(int master) {
  pollfd p{master, POLLIN, 0};
  ::poll(&p, 1, 0);
  return (p.revents & POLLHUP) == 0;
}

std::string ReadLink(const std::string& path) {
  char target[PATH_MAX];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// The group real serial ports have; gpsd, started as root, drops to it to keep its
// device. Root may hand the slave to it; another user only if it belongs to the group.
bool DialoutGroup(gid_t& gid) {
  const group* g = ::getgrnam("dialout");
  if (g == nullptr) return false;
  gid = g->gr_gid;
  if (::geteuid() == 0 || ::getegid() == gid) return true;
  gid_t groups[NGROUPS_MAX];
  const int n = ::getgroups(NGROUPS_MAX, groups);
  for (int i = 0; i < n; ++i)
    if (groups[i] == gid) return true;
  return false;
}

// Open descriptors of the slave among the processes whose /proc entries can be read
// (ours, or all of them for root).
int OpenDescriptorsOf(const std::string& path) {
  int count = 0;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return 0;
  while (const dirent* p = ::readdir(proc)) {
    if (p->d_name[0] < '1' || p->d_name[0] > '9') continue;
    const std::string fd_dir = std::string("/proc/") + p->d_name + "/fd";
    DIR* fds = ::opendir(fd_dir.c_str());
    if (fds == nullptr) continue;
    while (const dirent* f = ::readdir(fds)) {
      if (f->d_name[0] != '.' && ReadLink(fd_dir + "/" + f->d_name) == path) ++count;
    }
    ::closedir(fds);
  }
  ::closedir(proc);
  return count;
}

}  // namespace

TVSPort::TVSPort(const std::string& port_dir, QObject* parent)
    : QObject(parent),
      dir_(AbsoluteDirectory(port_dir)),
      in_(static_cast<std::size_t>(kInputQueueSize)) {
  setObjectName(QStringLiteral("VSPort"));
}

TVSPort::~TVSPort() { Release(); }

bool TVSPort::CreatePort(const std::string& name) { return Take(name); }

// A leftover link is never trusted: it may point at a pseudo-terminal number that
// another program got since. Taking over always means a fresh pseudo-terminal.
bool TVSPort::Open(const std::string& name) { return Take(name); }

bool TVSPort::Fail(std::string reason) {
  failure_ = std::move(reason);
  return false;
}

bool TVSPort::FailOn(const std::string& path, int err) {
  // `path` lies in the port folder: a folder that cannot be written is what a user must
  // mend, not the file in it.
  if (err == EACCES || err == EROFS || err == EPERM || err == ENOSPC || err == EDQUOT)
    return Fail("The folder " + dir_ + " cannot be written: " + std::strerror(err) + ".");
  return Fail(path + ": " + std::strerror(err) + ".");
}

bool TVSPort::Take(const std::string& name) {
  failure_.clear();
  if (master_ >= 0) return Fail("This panel holds its GPS Data port already.");
  if (!ValidPortName(name)) return Fail(name + " is no port name.");
  bool lock_existed = false;
  if (!LockPort(name, lock_existed)) return false;

  // Something under that name that is not ours (a real device, a file, a link to a real
  // port, another program's pseudo-terminal) is left alone. Ours is a link into /dev/pts
  // beside our lock file, and its owner has ended (we hold the lock now), so its
  // pseudo-terminal went with it. The number is free for reuse, though: a live terminal
  // there is another program's, unless the lock names it as its owner's (a panel that was
  // killed, its number since taken by someone else).
  struct stat st {};
  const std::string link = PortLinkPath(dir_, name);
  if (::lstat(link.c_str(), &st) == 0) {
    struct stat target {};
    const bool ours =
        lock_existed && S_ISLNK(st.st_mode) && PointsIntoPts(link) &&
        ((::stat(link.c_str(), &target) != 0 && errno == ENOENT) || LockNamesLinkTarget(link));
    if (!ours) {
      if (!lock_existed) ::unlink(lock_path_.c_str());
      ::close(lock_fd_);
      lock_fd_ = -1;
      lock_path_.clear();
      return Fail(link + " is there and is no port of this panel.");
    }
  }
  name_ = name;
  link_path_ = link;
  if (!MakePseudoTerminal() || !PointLink()) {
    link_path_.clear();
    Release();
    return false;
  }
  RecordLinkTarget();
  StartWatching();
  return true;
}

// flock on ".COM3.lock", held for the life of the process (the kernel drops it when the
// process ends, even on a crash). A lock file unlinked by its previous owner between our
// open and our flock would give a lock nobody else sees, hence the inode check.
bool TVSPort::LockPort(const std::string& name, bool& lock_existed) {
  const std::string path = PortLockPath(dir_, name);
  for (int attempt = 0; attempt < 5; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    lock_existed = fd < 0;
    if (fd < 0) {
      if (errno != EEXIST) return FailOn(path, errno);
      fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
      if (fd < 0) {
        if (errno == ENOENT) continue;
        return FailOn(path, errno);
      }
    }
    struct stat held {
    }, now{};
    // Another user's lock file, or not a file at all: not a port of ours.
    if (::fstat(fd, &held) != 0 || !IsOwnLockFile(held)) {
      ::close(fd);
      return Fail(path + " is no lock file of this user.");
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      return Fail("Another program holds " + path + ".");
    }
    if (::stat(path.c_str(), &now) == 0 && held.st_ino == now.st_ino && held.st_dev == now.st_dev) {
      lock_fd_ = fd;
      lock_path_ = path;
      return true;
    }
    ::close(fd);
  }
  return Fail(path + " keeps changing.");
}

bool TVSPort::MakePseudoTerminal() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master_ < 0) return Fail(std::string("No pseudo-terminal: ") + std::strerror(errno) + ".");
  char slave[PATH_MAX];
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
      ::ptsname_r(master_, slave, sizeof slave) != 0)
    return Fail(std::string("No pseudo-terminal: ") + std::strerror(errno) + ".");
  slave_path_ = slave;
  ApplyRawMode();

  gid_t dialout = 0;
  shared_with_dialout_ = DialoutGroup(dialout) &&
                         ::chown(slave, static_cast<uid_t>(-1), dialout) == 0 &&
                         ::chmod(slave, 0660) == 0;
  if (!shared_with_dialout_) ::chmod(slave, 0600);

  // Opened and closed once, the slave reports "nobody attached" as POLLHUP from now on;
  // before that first open the master would look attached.
  const int fd = ::open(slave, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail(std::string(slave) + ": " + std::strerror(errno) + ".");
  ::close(fd);
  return true;
}

// A symlink under a temporary name renamed into place: an application never finds the
// link half made or missing while an old one is replaced.
// The lock file holds the terminal its owner made, for the next owner after a crash.
// Should the write fail, a crash leaves what it always did: a link that is recognised as
// ours only while its number stays free.
bool TVSPort::RecordLinkTarget() {
  const std::string text = slave_path_ + "\n";
  return ::ftruncate(lock_fd_, 0) == 0 &&
         ::pwrite(lock_fd_, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

bool TVSPort::LockNamesLinkTarget(const std::string& link) const {
  char recorded[PATH_MAX];
  const ssize_t n = ::pread(lock_fd_, recorded, sizeof recorded - 1, 0);
  if (n <= 1 || recorded[n - 1] != '\n') return false;
  char target[PATH_MAX];
  const ssize_t t = ::readlink(link.c_str(), target, sizeof target);
  return t == n - 1 && std::memcmp(recorded, target, static_cast<std::size_t>(t)) == 0;
}

bool TVSPort::PointLink() {
  const std::string temp =
      PortLinkPath(dir_, "." + name_ + "." + std::to_string(::getpid()) + ".tmp");
  ::unlink(temp.c_str());
  if (::symlink(slave_path_.c_str(), temp.c_str()) != 0) return FailOn(temp, errno);
  if (::rename(temp.c_str(), link_path_.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return FailOn(link_path_, err);
  }
  return true;
}

void TVSPort::StartWatching() {
  master_notifier_ = new QSocketNotifier(master_, QSocketNotifier::Read, this);
  master_notifier_->setEnabled(false);
  connect(master_notifier_, &QSocketNotifier::activated, this, &TVSPort::MasterReadable);
  inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ >= 0 &&
      ::inotify_add_watch(inotify_, slave_path_.c_str(), IN_OPEN | IN_CLOSE) >= 0) {
    inotify_notifier_ = new QSocketNotifier(inotify_, QSocketNotifier::Read, this);
    connect(inotify_notifier_, &QSocketNotifier::activated, this, &TVSPort::InotifyReadable);
  }
  attached_ = false;
  CheckClient(false);
}

// A renewal runs inside one of the notifiers' own signals, so they are not deleted
// there and then; disabled, they stop watching their descriptor at once.
void TVSPort::StopWatching() {
  for (QSocketNotifier* n : {master_notifier_, inotify_notifier_}) {
    if (n == nullptr) continue;
    n->setEnabled(false);
    n->deleteLater();
  }
  master_notifier_ = nullptr;
  inotify_notifier_ = nullptr;
  if (inotify_ >= 0) ::close(inotify_);
  inotify_ = -1;
}

void TVSPort::Release() {
  StopWatching();
  // Only our own link goes: if someone re-pointed it, it is theirs now.
  if (!link_path_.empty() && !slave_path_.empty() && ReadLink(link_path_) == slave_path_)
    ::unlink(link_path_.c_str());
  if (lock_fd_ >= 0) {
    ::unlink(lock_path_.c_str());
    ::close(lock_fd_);
  }
  lock_fd_ = -1;
  if (master_ >= 0) ::close(master_);
  master_ = -1;
  attached_ = false;
}

int32_t TVSPort::Write(const std::uint8_t* bytes, int32_t count) {
  if (master_ < 0 || !attached_ || count <= 0) return 0;
  KeepRaw();
  const ssize_t n = ::write(master_, bytes, static_cast<std::size_t>(count));
  if (n >= 0) return static_cast<int32_t>(n);
  if (errno == EIO) CheckClient(false);
  return 0;  // a full queue (EAGAIN): the client is not reading; the data is dropped
}

// With echo on, the slave would send our own output back as if the client had written
// it (and the module would get it as commands); in canonical mode it would hold it back
// for a line editor. One ioctl to look, before each tick's write.
void TVSPort::KeepRaw() {
  constexpr tcflag_t kCooked = ECHO | ECHOE | ECHOK | ECHONL | ICANON;
  termios t{};
  if (::tcgetattr(master_, &t) != 0 || (t.c_lflag & kCooked) == 0) return;
  t.c_lflag &= ~kCooked;
  ::tcsetattr(master_, TCSANOW, &t);
}

int32_t TVSPort::Read(std::uint8_t* bytes, int32_t count) {
  std::size_t want = count > 0 ? static_cast<std::size_t>(count) : 0;
  if (want > in_len_) want = in_len_;
  for (std::size_t i = 0; i < want; ++i) bytes[i] = in_[(in_head_ + i) % in_.size()];
  in_head_ = (in_head_ + want) % in_.size();
  in_len_ -= want;
  if (attached_ && master_notifier_ != nullptr && in_len_ < in_.size())
    master_notifier_->setEnabled(true);
  return static_cast<int32_t>(want);
}

// Moves what the master holds into the input queue; true when anything came.
bool TVSPort::DrainMaster() {
  bool got = false;
  while (in_len_ < in_.size()) {
    const std::size_t tail = (in_head_ + in_len_) % in_.size();
    const std::size_t room = tail >= in_head_ ? in_.size() - tail : in_head_ - tail;
    const ssize_t n = ::read(master_, in_.data() + tail, room);
    if (n <= 0) break;  // EAGAIN: empty; EIO: nobody attached
    in_len_ += static_cast<std::size_t>(n);
    got = true;
  }
  return got;
}

void TVSPort::MasterReadable() {
  const bool got = DrainMaster();
  if (in_len_ >= in_.size()) master_notifier_->setEnabled(false);  // Read re-enables
  if (!ClientPresent(master_)) CheckClient(false);
  if (got) emit OnRxChar(static_cast<int>(in_len_));
}

void TVSPort::InotifyReadable() {
  alignas(inotify_event) char events[4096];
  bool closed = false;
  bool opened = false;
  for (;;) {
    const ssize_t n = ::read(inotify_, events, sizeof events);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(events + at);
      if ((e->mask & IN_OPEN) != 0) {
        opened = true;
        ++holders_;
      }
      if ((e->mask & IN_CLOSE) != 0) {
        closed = true;
        if (holders_ > 0) --holders_;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
  CheckClient(closed);
  // Opens that queue up unread are merged into one event; the descriptors that can be
  // seen in /proc make up for it (a reader of another user's is seen by its event).
  if (opened && attached_) holders_ = std::max(holders_, OpenDescriptorsOf(slave_path_));
  if (holders_ >= 2 && !second_said_) {
    second_said_ = true;
    emit SecondReader();
  }
}

// `client_closed`: a client closed the slave since the last look; with nobody attached
// now, its leftovers are cleaned up even if its whole visit fell between two looks.
void TVSPort::CheckClient(bool client_closed) {
  if (master_ < 0) return;
  if (ClientPresent(master_)) {
    if (!attached_) {
      attached_ = true;
      master_notifier_->setEnabled(in_len_ < in_.size());
    }
    return;
  }
  const bool was_attached = attached_;
  attached_ = false;
  master_notifier_->setEnabled(false);  // POLLHUP would keep it firing
  if (was_attached || client_closed) {
    const bool got = DrainMaster();
    ClientLeft();
    if (got) emit OnRxChar(static_cast<int>(in_len_));
  }
}

// The last client has gone. What it set on the slave would stay for the next one, as the
// master is still open here, so the port is reset as a real serial port is on its last
// close: exclusive mode off (left on, every later open fails with EBUSY), output flow on
// (stopped, the next client could not write), raw mode (after a `stty sane`, CR LF would
// arrive as LF and our output would come back as its input), and what it left unread
// flushed. A client's TCIOFF only sent a STOP byte; TCION would send a START byte of
// our own and undo nothing.
void TVSPort::ClientLeft() {
  ApplyRawMode();
  const int fd = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    ::ioctl(fd, TIOCNXCL);
    ::tcflow(fd, TCOON);
    ::tcflush(fd, TCIOFLUSH);
    ::close(fd);
  } else if (errno == EBUSY && !Renew()) {
    return;
  }
  DrainInotify();  // our own open and close, not a client's
  ++departures_;
  holders_ = 0;
  second_said_ = false;
  // A client that opened meanwhile had its events swallowed above: look again.
  if (ClientPresent(master_)) {
    attached_ = true;
    holders_ = 1;
    master_notifier_->setEnabled(in_len_ < in_.size());
  }
}

// Exclusive mode was left on, and only root may open the slave to turn it off: a fresh
// pseudo-terminal behind the same link is what the next client finds.
bool TVSPort::Renew() {
  StopWatching();
  ::close(master_);
  master_ = -1;
  const std::string old = slave_path_;
  if (!MakePseudoTerminal() || !PointLink()) {
    slave_path_ = old;  // the link still points there: it goes
    Release();
    return false;
  }
  StartWatching();
  return true;
}

void TVSPort::DrainInotify() {
  if (inotify_ < 0) return;
  char events[4096];
  while (::read(inotify_, events, sizeof events) > 0) {
  }
}

// No line-end translation, no echo, 8 data bits. On a pseudo-terminal the master's
// settings are the slave's, so this is what every client finds.
void TVSPort::ApplyRawMode() {
  termios t{};
  if (::tcgetattr(master_, &t) != 0) return;
  ::cfmakeraw(&t);
  ::tcsetattr(master_, TCSANOW, &t);
}

}  // namespace ostrel
