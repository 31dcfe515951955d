// TVSPort on a real pseudo-terminal with real client processes opening its link.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>

#include <QTimer>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "dataport/create_virtual_port.h"
#include "dataport/external_commands.h"
#include "platform/port_directory.h"
#include "platform/serial_ports.h"
#include "platform/vsport_qt.h"
#include "pty_harness.h"
#include "support/param_name.h"

namespace ostrel {
namespace {

using namespace testing_pty;
namespace fs = std::filesystem;

// Opens the link as an application would.
int OpenPort(const std::string& link) { return ::open(link.c_str(), O_RDWR | O_NOCTTY); }

class VSPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = std::make_unique<TVSPort>(dir.Path().string());
    ASSERT_TRUE(port->CreatePort("COM1"));
    link = port->LinkPath();
    QObject::connect(port.get(), &TVSPort::OnRxChar, [this](int count) {
      std::string buf(static_cast<std::size_t>(count), '\0');
      const int32_t n = port->Read(reinterpret_cast<std::uint8_t*>(buf.data()), count);
      received.append(buf.data(), static_cast<std::size_t>(n));
    });
  }
  void Send(const std::string& bytes) {
    port->Write(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                static_cast<int32_t>(bytes.size()));
  }
  // A client that reads `want` bytes (5 s at most) and reports them.
  std::unique_ptr<Child> Reader(std::size_t want, const std::string& writes_first = "") {
    const std::string path = link;
    return std::make_unique<Child>([path, want, writes_first](int report, int) {
      const int fd = OpenPort(path);
      if (fd < 0) return 2;
      if (!writes_first.empty() && !WriteAll(fd, writes_first)) return 3;
      WriteAll(report, ReadUpTo(fd, want, 5000));
      ::close(fd);
      return 0;
    });
  }

  TempDir dir;
  std::unique_ptr<TVSPort> port;
  std::string link;
  std::string received;
};

TEST_F(VSPortTest, LinkPointsAtTheSlaveWithSerialPortPermissions) {
  EXPECT_EQ(link, dir.Path().string() + "/COM1");
  EXPECT_EQ(fs::read_symlink(link).string(), port->SlavePath());
  struct stat st {};
  ASSERT_EQ(::stat(port->SlavePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  EXPECT_TRUE(port->SharedWithDialout());
  const group* dialout = ::getgrnam("dialout");
  if (dialout != nullptr && ::geteuid() == 0) {
    EXPECT_EQ(st.st_gid, dialout->gr_gid);
  }
  EXPECT_TRUE(fs::exists(dir.Path().string() + "/.COM1.lock"));
}

// What gpsd becomes after dropping its privileges: not root, in the port's group.
TEST_F(VSPortTest, DialoutMemberWhoIsNotRootCanOpenThePort) {
  const group* dialout = ::getgrnam("dialout");
  if (::geteuid() != 0 || dialout == nullptr) GTEST_SKIP() << "needs root and a dialout group";
  const auto open_as = [this](gid_t gid) {
    const std::string path = link;
    Child c([path, gid](int report, int) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(65534) != 0) return 2;
      const int fd = OpenPort(path);
      WriteAll(report, fd >= 0 ? "ok" : std::to_string(errno));
      return 0;
    });
    WaitFor([&] { return c.Exited(); });
    return c.Report();
  };
  EXPECT_EQ(open_as(dialout->gr_gid), "ok");
  EXPECT_EQ(open_as(65534), std::to_string(EACCES));  // and the mode keeps others out
}

TEST_F(VSPortTest, BytesPassUnchangedBothWays) {
  const std::string nmea =
      "$GPGGA,030719.000,3747.0873,S,17518.8938,E,1,08,1.1,59.9,M,23.7,M,,0000*7D\r\n";
  const std::string binary("\x00\xB5\x62\x0D\x0A\x03\x04\x11\x13\x7F\xFF\x0D", 12);
  const std::string out = nmea + binary + nmea;
  const std::string in = std::string("$PUBX,00*33\r\n") + binary;
  auto client = Reader(out.size(), in);
  ASSERT_TRUE(WaitFor([&] { return port->ClientAttached(); }));
  Send(out);
  ASSERT_TRUE(WaitFor([&] { return client->Exited(); }));
  EXPECT_EQ(client->ExitCode(), 0);
  EXPECT_EQ(client->Report(), out);
  ASSERT_TRUE(WaitFor([&] { return received.size() >= in.size(); }));
  EXPECT_EQ(received, in);
}

TEST_F(VSPortTest, LateClientGetsLiveDataNotABacklog) {
  for (int i = 0; i < 300; ++i) Send("$GPOLD,stale sentence nobody reads*00\r\n");  // > 16 KB
  auto client = Reader(11);
  ASSERT_TRUE(WaitFor([&] { return port->ClientAttached(); }));
  Send("$GPNEW*00\r\n");
  ASSERT_TRUE(WaitFor([&] { return client->Exited(); }));
  EXPECT_EQ(client->Report(), "$GPNEW*00\r\n");
}

TEST_F(VSPortTest, WhatALeavingClientLeftUnreadIsNotServedToTheNext) {
  const std::string path = link;
  {
    Child idle([path](int report, int go) {
      const int fd = OpenPort(path);
      WriteAll(report, "open");
      AwaitGo(go);  // never reads
      ::close(fd);
      return 0;
    });
    ASSERT_TRUE(WaitFor([&] { return port->ClientAttached() && idle.Report() == "open"; }));
    for (int i = 0; i < 50; ++i) Send("$GPOLD,unread*00\r\n");
    idle.Go();
    ASSERT_TRUE(WaitFor([&] { return idle.Exited() && port->Departures() == 1; }));
  }
  auto client = Reader(11);
  ASSERT_TRUE(WaitFor([&] { return port->ClientAttached(); }));
  Send("$GPNEW*00\r\n");
  ASSERT_TRUE(WaitFor([&] { return client->Exited(); }));
  EXPECT_EQ(client->Report(), "$GPNEW*00\r\n");
}

TEST_F(VSPortTest, AClientsSttySaneIsUndoneWhenItLeaves) {
  const std::string path = link;
  Child sane([path](int, int) {
    const int fd = OpenPort(path);
    termios t{};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0) return 2;
    t.c_iflag |= ICRNL | IXON;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return 3;
    ::close(fd);
    return 0;
  });
  ASSERT_TRUE(WaitFor([&] { return sane.Exited() && port->Departures() >= 1; }));
  ASSERT_EQ(sane.ExitCode(), 0);

  const std::string out = "$GPX*00\r\n";
  const std::string path2 = link;
  Child next([path2, out](int report, int) {
    const int fd = OpenPort(path2);
    WriteAll(report, ReadUpTo(fd, out.size(), 5000));
    WriteAll(fd, "A\r\n");  // after our output: an echo of it would come first
    ::close(fd);
    return 0;
  });
  ASSERT_TRUE(WaitFor([&] { return port->ClientAttached(); }));
  Send(out);
  ASSERT_TRUE(WaitFor([&] { return next.Exited() && received.size() >= 3; }));
  EXPECT_EQ(next.Report(), out);  // CR LF not turned into LF LF
  EXPECT_EQ(received, "A\r\n");   // nothing of ours echoed back
}

// What a client set on the slave and left behind when it exited, as an application of
// an ordinary user does it (root opens a port in exclusive mode all the same).
struct LeftBehind {
  const char* name;
  int (*set)(int fd);
};

const LeftBehind kLeftBehind[] = {
    {"exclusive_mode", [](int fd) { return ::ioctl(fd, TIOCEXCL); }},
    {"output_stopped", [](int fd) { return ::tcflow(fd, TCOOFF); }},
};

void PrintTo(const LeftBehind& c, std::ostream* os) { *os << c.name; }

class VSPortLeftBehindTest : public VSPortTest, public ::testing::WithParamInterface<LeftBehind> {};

// Drops to nobody; the slave is given to nobody so it may open it.
bool BecomeNobody() { return ::setgid(65534) == 0 && ::setuid(65534) == 0; }

TEST_P(VSPortLeftBehindTest, NextClientCanOpenReadAndWrite) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the clients as another user";
  ASSERT_EQ(::chown(port->SlavePath().c_str(), 65534, static_cast<gid_t>(-1)), 0);
  const std::string slave = port->SlavePath();
  auto set = GetParam().set;
  Child first([slave, set](int, int) {
    if (!BecomeNobody()) return 9;
    const int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
    return fd >= 0 && set(fd) == 0 ? 0 : 2;  // exits without undoing it
  });
  ASSERT_TRUE(WaitFor([&] { return first.Exited() && port->Departures() >= 1; }));
  ASSERT_EQ(first.ExitCode(), 0);

  // The port the next application finds behind the link.
  const std::string now = port->SlavePath();
  ASSERT_EQ(::chown(now.c_str(), 65534, static_cast<gid_t>(-1)), 0);
  Child next([now](int report, int) {
    if (!BecomeNobody()) return 9;
    const int fd = ::open(now.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      WriteAll(report, std::string("open: ") + std::strerror(errno));
      return 2;
    }
    const std::string got = ReadUpTo(fd, 9, 5000);
    if (::write(fd, "B\r\n", 3) != 3) {
      WriteAll(report, got + "write: " + std::strerror(errno));
      return 3;
    }
    WriteAll(report, got);
    return 0;
  });
  ASSERT_TRUE(WaitFor([&] { return port->ClientAttached() || next.Exited(); }));
  Send("$GPX*00\r\n");
  ASSERT_TRUE(WaitFor([&] { return next.Exited(); }));
  EXPECT_EQ(next.ExitCode(), 0) << next.Report();
  EXPECT_EQ(next.Report(), "$GPX*00\r\n");
  ASSERT_TRUE(WaitFor([&] { return received.size() >= 3; }));
  EXPECT_EQ(received, "B\r\n");
}

INSTANTIATE_TEST_SUITE_P(Client, VSPortLeftBehindTest, ::testing::ValuesIn(kLeftBehind),
                         ostrel::test::ParamName());

TEST_F(VSPortTest, EchoTurnedOnByAStayingClientIsTurnedOffBeforeTheNextWrite) {
  const std::string path = link;
  const std::string out = "$GPX*00\r\n";
  Child sane([path, out](int report, int go) {
    const int fd = OpenPort(path);
    termios t{};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0) return 2;
    t.c_lflag |= ECHO | ICANON;
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return 3;
    WriteAll(report, "set");
    WriteAll(report, ReadUpTo(fd, out.size(), 5000));
    AwaitGo(go);  // stays until the end of the test
    ::close(fd);
    return 0;
  });
  ASSERT_TRUE(WaitFor([&] { return port->ClientAttached() && sane.Report() == "set"; }));
  Send(out);
  ASSERT_TRUE(WaitFor([&] { return sane.Report() == "set" + out; }));
  // An echo would have come back by now; give the event loop a last look.
  ASSERT_FALSE(WaitFor([&] { return !received.empty(); }, 300)) << received;
  const int fd = ::open(port->SlavePath().c_str(), O_RDWR | O_NOCTTY);
  termios t{};
  ASSERT_EQ(::tcgetattr(fd, &t), 0);
  ::close(fd);
  EXPECT_EQ(t.c_lflag & (ECHO | ICANON), 0u);
  sane.Go();
}

// CPU time of this process while the event loop runs `ms` with a write every 100 ms.
double CpuMsOverEventLoop(TVSPort& port, int ms) {
  timespec a{}, b{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&port] {
    static const std::uint8_t kLine[] = "$GPGGA,,,,,,0,00,,,,,,,*66\r\n";
    port.Write(kLine, sizeof kLine - 1);
  });
  tick.start(100);
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
  return static_cast<double>(b.tv_sec - a.tv_sec) * 1e3 +
         static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e6;
}

// Two readers split the bytes between them; the port sees every open and says so once
// while the second holds it, and again only after the port was free.
TEST_F(VSPortTest, SecondReaderIsSaidOnceUntilThePortIsFree) {
  int said = 0;
  QObject::connect(port.get(), &TVSPort::SecondReader, [&] { ++said; });
  const std::string path = link;
  auto holder = [path] {
    return std::make_unique<Child>([path](int report, int go) {
      const int fd = OpenPort(path);
      WriteAll(report, fd >= 0 ? "open" : "failed");
      AwaitGo(go);
      ::close(fd);
      return 0;
    });
  };
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    auto first = holder();
    ASSERT_TRUE(WaitFor([&] { return first->Report() == "open" && port->Holders() == 1; }));
    EXPECT_EQ(said, round);
    auto second = holder();
    ASSERT_TRUE(WaitFor([&] { return second->Report() == "open" && said == round + 1; }));
    auto third = holder();
    ASSERT_TRUE(WaitFor([&] { return third->Report() == "open" && port->Holders() == 3; }));
    // One at a time: the kernel merges like events that queue up unread.
    second->Go();
    ASSERT_TRUE(WaitFor([&] { return second->Exited() && port->Holders() == 2; }));
    third->Go();
    ASSERT_TRUE(WaitFor([&] { return third->Exited() && port->Holders() == 1; }));
    EXPECT_EQ(said, round + 1);
    first->Go();
    ASSERT_TRUE(WaitFor([&] { return first->Exited() && port->Holders() == 0; }));
  }
}

TEST_F(VSPortTest, NoBusyLoopWhileNobodyIsAttached) {
  const std::string path = link;
  Child visit([path](int, int) {
    ::close(OpenPort(path));  // from now on the master reports POLLHUP
    return 0;
  });
  ASSERT_TRUE(WaitFor([&] { return visit.Exited() && port->Departures() == 1; }));
  const double cpu_ms = CpuMsOverEventLoop(*port, 1000);
  std::printf("CPU over 1000 ms of event loop without a client: %.2f ms\n", cpu_ms);
  EXPECT_LT(cpu_ms, 50.0);
}

TEST_F(VSPortTest, LinkAndLockGoWithThePortButAForeignLinkStays) {
  const std::string lock = dir.Path().string() + "/.COM1.lock";
  port.reset();
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  EXPECT_FALSE(fs::exists(lock));

  port = std::make_unique<TVSPort>(dir.Path().string());
  ASSERT_TRUE(port->CreatePort("COM1"));
  fs::remove(link);
  fs::create_symlink("/dev/ttyS0", link);  // someone else's now
  port.reset();
  EXPECT_EQ(fs::read_symlink(link).string(), "/dev/ttyS0");
}

TEST_F(VSPortTest, SecondHolderInTheSameProcessIsRefused) {
  TVSPort other(dir.Path().string());
  EXPECT_FALSE(other.Open("COM1"));
  EXPECT_FALSE(other.CreatePort("COM1"));
  EXPECT_EQ(fs::read_symlink(link).string(), port->SlavePath());
}

TEST_F(VSPortTest, ForeignEntriesAreNeverReplaced) {
  std::ofstream(dir.Path().string() + "/COM2") << "not a port";
  fs::create_symlink("/dev/ttyS0", dir.Path().string() + "/COM3");
  TVSPort other(dir.Path().string());
  EXPECT_FALSE(other.CreatePort("COM2"));
  EXPECT_FALSE(other.Open("COM3"));
  EXPECT_FALSE(fs::exists(dir.Path().string() + "/.COM2.lock"));
  EXPECT_EQ(fs::read_symlink(dir.Path().string() + "/COM3").string(), "/dev/ttyS0");
}

// An entry named like our port that is not ours: it must stay as it is.
struct ForeignEntry {
  const char* name;
  const char* target;  // the link's text; "" for a plain file, "pty" for a live one
  bool leftover_lock;  // a free lock file of ours beside it
  bool lock_of_another_user;
};

const ForeignEntry kForeignEntries[] = {
    {"plain_file", "", false, false},
    {"real_device_with_our_lock", "/dev/ttyS0", true, false},
    {"file_link_with_our_lock", "data.txt", true, false},
    {"live_pty_of_another_program", "pty", false, false},
    {"live_pty_with_our_lock", "pty", true, false},
    {"lock_of_another_user", "/dev/pts/999", true, true},
};

void PrintTo(const ForeignEntry& c, std::ostream* os) { *os << c.name; }

class ForeignEntryTest : public ::testing::TestWithParam<ForeignEntry> {
 protected:
  TempDir dir;
};

TEST_P(ForeignEntryTest, IsNeitherTakenNorRemoved) {
  const ForeignEntry& c = GetParam();
  if (c.lock_of_another_user && ::geteuid() != 0) GTEST_SKIP() << "needs root to chown";
  const std::string link = dir.Path().string() + "/COM2",
                    lock = dir.Path().string() + "/.COM2.lock";
  std::ofstream(dir.Path().string() + "/data.txt") << "a file";
  // Another program's pseudo-terminal (what `socat pty,link=COM2` makes), alive.
  const int other = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::unlockpt(other), 0);
  std::string target = c.target;
  if (target == "pty") target = ::ptsname(other);
  if (target.empty())
    std::ofstream(link) << "not a port";
  else
    fs::create_symlink(target, link);
  if (c.leftover_lock) std::ofstream(lock) << "";
  if (c.lock_of_another_user) {
    ASSERT_EQ(::chown(lock.c_str(), 65534, 65534), 0);
  }

  TVSPort port(dir.Path().string());
  EXPECT_FALSE(port.Open("COM2"));
  EXPECT_FALSE(port.CreatePort("COM2"));
  if (target.empty())
    EXPECT_FALSE(fs::is_symlink(link));
  else
    EXPECT_EQ(fs::read_symlink(link).string(), target);
  EXPECT_EQ(fs::exists(lock), c.leftover_lock);
  ::close(other);
}

INSTANTIATE_TEST_SUITE_P(PortDirectory, ForeignEntryTest, ::testing::ValuesIn(kForeignEntries),
                         ostrel::test::ParamName());

// A panel killed outright leaves its link and its lock file; the number of its terminal
// is free, and another program may have it by the next start. The lock names the terminal
// the link was made for, so the link is still known as ours and replaced.
TEST(PortDirectory, KilledOwnersLinkIsTakenOverWhenItsNumberWasReused) {
  TempDir dir;
  const std::string link = dir.Path().string() + "/COM2";
  std::string reused;
  {
    TVSPort killed(dir.Path().string());
    ASSERT_TRUE(killed.CreatePort("COM2"));
    reused = killed.SlavePath();
    std::ifstream lock(dir.Path().string() + "/.COM2.lock");
    std::string recorded;
    std::getline(lock, recorded);
    EXPECT_EQ(recorded, reused);
    // What a kill leaves: the lock file and the link, with the lock let go. A clean end
    // would remove both.
    fs::copy_file(dir.Path().string() + "/.COM2.lock", dir.Path().string() + "/left.lock");
  }
  fs::rename(dir.Path().string() + "/left.lock", dir.Path().string() + "/.COM2.lock");
  fs::create_symlink(reused, link);
  // Another program's terminal under the same number: open its master until one lands there.
  std::vector<int> masters;
  bool taken = false;
  for (int i = 0; i < 64 && !taken; ++i) {
    const int m = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(m, 0);
    masters.push_back(m);
    taken = reused == ::ptsname(m);
  }
  if (!taken) {
    for (int m : masters) ::close(m);
    GTEST_SKIP() << "the terminal number was not handed out again";
  }

  TVSPort next(dir.Path().string());
  EXPECT_TRUE(next.Open("COM2")) << next.Failure();
  EXPECT_EQ(fs::read_symlink(link).string(), next.SlavePath());
  for (int m : masters) ::close(m);
}

// --- the port choice with the real listing and another process owning a port ---

struct Shown : MessageSink {
  std::vector<std::string> boxes;
  void ShowMessage(const std::string& caption, const std::string& text) override {
    boxes.push_back(caption + ": " + text);
  }
};

class PortChoiceTest : public ::testing::Test {
 protected:
  std::string Choose(TVSPort& port) {
    SystemComPorts listing(dir.Path().string(), [this](const std::string& e) { errors += e; });
    VirtualPortSetup setup{listing,
                           port,
                           shown,
                           [this] { ++exits; },
                           [this](const std::string& l) { label = l; },
                           [this](const std::string& n) { notes += n; }};
    return Create_Virtual_Port(0, setup);
  }
  TempDir dir;
  Shown shown;
  std::string errors, label, notes;
  int exits = 0;
};

TEST_F(PortChoiceTest, PortOwnedByARunningProgramIsRefusedThenTakenOverWhenItEnds) {
  const std::string link = dir.Path().string() + "/COM1";
  fs::create_symlink("/dev/pts/999", link);
  const std::string lock = dir.Path().string() + "/.COM1.lock";
  auto owner = std::make_unique<Child>([lock](int report, int go) {
    const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) return 2;
    WriteAll(report, "locked");
    AwaitGo(go);
    return 0;
  });
  ASSERT_TRUE(WaitFor([&] { return owner->Report() == "locked"; }));

  {
    TVSPort port(dir.Path().string());
    EXPECT_EQ(Choose(port), "");
    EXPECT_EQ(shown.boxes, std::vector<std::string>{
                               "Information: The GPS Data COM port is already being used by "
                               "another application."});
    EXPECT_EQ(exits, 1);
    EXPECT_EQ(fs::read_symlink(link).string(), "/dev/pts/999");
  }

  owner->Go();
  ASSERT_TRUE(WaitFor([&] { return owner->Exited(); }));
  shown.boxes.clear();
  TVSPort port(dir.Path().string());
  EXPECT_EQ(Choose(port), "COM1");
  EXPECT_EQ(label, "COM1");
  EXPECT_TRUE(shown.boxes.empty());
  EXPECT_EQ(fs::read_symlink(link).string(), port.SlavePath());  // a fresh pseudo-terminal
  EXPECT_NE(port.SlavePath(), "/dev/pts/999");
  EXPECT_EQ(errors.find("SetupDi"), std::string::npos);
}

TEST_F(PortChoiceTest, FolderThatCannotBeWrittenIsNamedWithTheReason) {
  // Root writes through mode bits; sysfs refuses it all the same.
  const bool root = ::geteuid() == 0;
  const std::string folder = root ? "/sys" : dir.Path().string();
  if (!root) ::chmod(folder.c_str(), 0555);
  TVSPort port(folder);
  EXPECT_EQ(Choose(port), "");
  if (!root) ::chmod(folder.c_str(), 0755);
  EXPECT_EQ(shown.boxes,
            std::vector<std::string>{"Error: COM9 could not be used as the GPS Data COM port!"});
  EXPECT_EQ(notes, "COM9 could not be used as the GPS Data COM port! The folder " + folder +
                       " cannot be written: Permission denied.\n");
}

TEST_F(PortChoiceTest, RealComEntriesAreSkipped) {
  std::ofstream(dir.Path().string() + "/COM1") << "";
  fs::create_symlink("/dev/ttyS0", dir.Path().string() + "/COM2");
  TVSPort port(dir.Path().string());
  EXPECT_EQ(Choose(port), "COM3");
  EXPECT_EQ(port.LinkPath(), dir.Path().string() + "/COM3");
}

// --- commands from an application through the real port and a real 200 ms timer ---

class QtOneShot : public OneShotTimer {
 public:
  explicit QtOneShot(std::function<void()> fire) {
    timer_.setInterval(200);
    QObject::connect(&timer_, &QTimer::timeout, std::move(fire));
  }
  void Enable() override { timer_.start(); }
  void Disable() override { timer_.stop(); }
  bool IsActive() const override { return timer_.isActive(); }

 private:
  QTimer timer_;
};

std::string Block(char marker, const std::string& payload) {
  return marker + payload + std::string(63 - payload.size(), '_');
}

std::string Queued(const CommandQueue& q) {
  const auto* d = reinterpret_cast<const char*>(q.Data());
  return std::string(d + q.SendPos(), d + q.EndPos());
}

class CommandsOverPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(port.CreatePort("COM4"));
    QObject::connect(&port, &TVSPort::OnRxChar,
                     [this](int count) { ext.VSPortRxChar(static_cast<std::uint32_t>(count)); });
  }
  struct NoBoxes : MessageSink {
    void ShowMessage(const std::string&, const std::string& text) override {
      ADD_FAILURE() << text;
    }
  };
  TempDir dir;
  TVSPort port{dir.Path().string()};
  CommandQueue queue;
  std::atomic<int32_t> block_size{64};
  NoBoxes boxes;
  QtOneShot timer{[this] { ext.VSPortReadTimer(); }};
  ExternalCommands ext{port, timer, boxes, queue, block_size, SystemClock()};
};

TEST_F(CommandsOverPortTest, TwentyBytesBecomeOneSequenceAfterTheTimer) {
  const std::string cmd("\xB5\x62\x06\x01\x03\x00\xF0\x05\x00\xFF\x19\r\n$PUBX*0", 20);
  const std::string path = port.LinkPath();
  Child app([path, cmd](int, int go) {
    const int fd = OpenPort(path);
    WriteAll(fd, cmd);
    AwaitGo(go);
    ::close(fd);
    return 0;
  });
  ASSERT_TRUE(WaitFor([&] { return queue.Pending(); }, 3000));
  EXPECT_EQ(Queued(queue), Block('*', "c") + Block('!', cmd) + Block('*', "*"));
}

TEST_F(CommandsOverPortTest, WriteDuringASequenceWaitsForTheNextWrite) {
  BeginSequence(queue, 64);
  const std::uint8_t rate[] = {'9', '6'};
  AppendBlocks(queue, rate, sizeof rate, false, 64);
  EndSequence(queue, 64);
  const std::string path = port.LinkPath();
  Child app([path](int, int go) {
    const int fd = OpenPort(path);
    WriteAll(fd, "HELD");
    AwaitGo(go);
    WriteAll(fd, "MORE");
    AwaitGo(go);
    ::close(fd);
    return 0;
  });
  ASSERT_TRUE(WaitFor([&] { return ext.ExternalLength() == 4; }, 3000));
  EXPECT_FALSE(timer.IsActive());
  ClearQueue(queue);  // the sender is done with the settings
  app.Go();
  ASSERT_TRUE(WaitFor([&] { return queue.Pending(); }, 3000));
  EXPECT_EQ(Queued(queue), Block('*', "c") + Block('!', "HELDMORE") + Block('*', "*"));
}

}  // namespace
}  // namespace ostrel
