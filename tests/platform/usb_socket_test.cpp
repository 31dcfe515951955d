// The driver stand-in on a real abstract socket, against a test peer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <ostream>
#include <sstream>
#include <thread>

#include "platform/abstract_socket.h"
#include "platform/usb_driver.h"
#include "support/param_name.h"
#include "support/test_peer.h"

namespace ostrel {
namespace {

using test::Bytes;
using test::Count;
using test::TestPeer;
using test::WaitUntil;
using namespace std::chrono_literals;

// True once the thread sleeps in the kernel (state S), e.g. inside recv().
bool Blocked(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
}

// A read on its own thread, to be woken by the test.
struct PendingRead {
  explicit PendingRead(UsbDriver& driver) {
    result = std::async(std::launch::async, [this, &driver] {
      tid.store(::gettid());
      std::uint8_t buf[64];
      const int n = driver.BulkRead(buf, 64);
      returned_at = std::chrono::steady_clock::now();
      return n;
    });
  }
  bool WaitBlocked() {
    return WaitUntil([&] { return tid.load() != 0 && Blocked(tid.load()); });
  }
  std::atomic<pid_t> tid{0};
  std::chrono::steady_clock::time_point returned_at;
  std::future<int> result;
};

class UsbSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer_.Listening());
    ASSERT_TRUE(driver_->Open());
    ASSERT_TRUE(peer_.Accept());
  }

  TestPeer peer_{TestPeer::UniqueName("sock")};
  std::unique_ptr<UsbDriver> driver_ = MakeSocketUsbDriver(peer_.Name());
};

TEST(UsbSocketOpen, FailsWithoutAModuleAndLeavesNoHandle) {
  auto driver = MakeSocketUsbDriver(TestPeer::UniqueName("nobody"));
  EXPECT_FALSE(driver->Open());
  EXPECT_FALSE(driver->IsOpen());
  std::uint8_t buf[64];
  EXPECT_EQ(driver->BulkRead(buf, 64), 0);
  driver->BulkWrite(buf, 1);  // harmless
  driver->AbortRead();
  driver->Close();
}

TEST(UsbSocketOpen, RefusesNamesThatDoNotFitTheAddress) {
  EXPECT_FALSE(MakeSocketUsbDriver("")->Open());
  EXPECT_FALSE(MakeSocketUsbDriver(std::string(200, 'x'))->Open());
}

// The module's name as the socket address holds it: a NUL, the name, no terminator, and
// nothing for a name that is empty or does not fit.
TEST(AbstractAddress, HoldsTheNameBehindANulOrNothing) {
  const struct {
    const char* name;
    std::size_t size;
    bool fits;
  } cases[] = {
      {"empty", 0, false},
      {"one byte", 1, true},
      {"longest", kMaxAbstractName, true},
      {"one too long", kMaxAbstractName + 1, false},
  };
  for (const auto& c : cases) {
    const std::string name(c.size, 'k');
    const AbstractAddress a = MakeAbstractAddress(name);
    if (!c.fits) {
      EXPECT_EQ(a.length, 0u) << c.name;
      continue;
    }
    EXPECT_EQ(a.address.sun_family, AF_UNIX) << c.name;
    EXPECT_EQ(a.address.sun_path[0], '\0') << c.name;
    EXPECT_EQ(std::string(a.address.sun_path + 1, c.size), name) << c.name;
    EXPECT_EQ(a.length, offsetof(sockaddr_un, sun_path) + 1 + c.size) << c.name;
  }
  EXPECT_EQ(kMaxAbstractName, 107u);
}

TEST(UsbSocketOpen, ReachesAModuleWithTheLongestName) {
  const std::string tag = TestPeer::UniqueName("long");
  TestPeer peer(tag + std::string(kMaxAbstractName - tag.size(), 'x'));
  ASSERT_TRUE(peer.Listening());
  auto driver = MakeSocketUsbDriver(peer.Name());
  EXPECT_TRUE(driver->Open());
  driver->Close();
}

TEST_F(UsbSocketTest, EachPacketIsOneReadOfItsOwnSize) {
  for (int size : {1, 2, 17, 63, 64}) peer_.Send(Count(size, size));
  for (int size : {1, 2, 17, 63, 64}) {
    std::uint8_t buf[64];
    ASSERT_EQ(driver_->BulkRead(buf, 64), size);
    EXPECT_EQ(Bytes(buf, buf + size), Count(size, size));
  }
}

// On USB a zero-length packet ends a transfer whose length is a multiple of 64: the read
// goes on to the next packet, and only the module's hang-up ends the link.
TEST_F(UsbSocketTest, ZeroLengthPacketIsNeitherDataNorTheEnd) {
  for (const Bytes& p : {Bytes{}, Bytes{}, Count(64), Bytes{}, Count(5)}) peer_.Send(p);
  std::uint8_t buf[64];
  EXPECT_EQ(driver_->BulkRead(buf, 64), 64);
  EXPECT_EQ(driver_->BulkRead(buf, 64), 5);
  peer_.Send({});
  peer_.Hangup();
  EXPECT_EQ(driver_->BulkRead(buf, 64), 0);
  EXPECT_EQ(driver_->BulkRead(buf, 64), 0);
}

TEST_F(UsbSocketTest, WritesArriveAsPacketsAndAnEmptyWriteSendsNothing) {
  const std::uint8_t j = 'j';
  driver_->BulkWrite(&j, 1);
  driver_->BulkWrite(&j, 0);
  const Bytes block = Count(64, 1);
  driver_->BulkWrite(block.data(), 64);
  EXPECT_EQ(peer_.Recv(), Bytes{'j'});
  EXPECT_EQ(peer_.Recv(), block);
}

// Every way the read can be ended from outside returns 0 promptly, not at the next packet.
struct WakeCase {
  const char* name;
  void (*wake)(UsbDriver&, TestPeer&);
};
// Shown by its name in test output, not as raw bytes.
void PrintTo(const WakeCase& c, std::ostream* os) { *os << c.name; }

class WakePendingReadTest : public UsbSocketTest, public ::testing::WithParamInterface<WakeCase> {};

TEST_P(WakePendingReadTest, ReadReturnsZeroAtOnce) {
  PendingRead read(*driver_);
  ASSERT_TRUE(read.WaitBlocked());
  const auto woken = std::chrono::steady_clock::now();
  GetParam().wake(*driver_, peer_);
  ASSERT_EQ(read.result.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(read.result.get(), 0);
  EXPECT_LT(read.returned_at - woken, 500ms);
  // Nothing more comes from a woken link.
  std::uint8_t buf[64];
  EXPECT_EQ(driver_->BulkRead(buf, 64), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Wake, WakePendingReadTest,
    ::testing::Values(WakeCase{"AbortPipe", [](UsbDriver& d, TestPeer&) { d.AbortRead(); }},
                      WakeCase{"Close", [](UsbDriver& d, TestPeer&) { d.Close(); }},
                      WakeCase{"ModuleHungUp", [](UsbDriver&, TestPeer& p) { p.Hangup(); }}),
    ostrel::test::ParamName());

TEST_F(UsbSocketTest, ReopensAfterAClose) {
  driver_->Close();
  EXPECT_FALSE(driver_->IsOpen());
  ASSERT_TRUE(driver_->Open());
  ASSERT_TRUE(peer_.Accept());
  peer_.Send(Count(3));
  std::uint8_t buf[64];
  EXPECT_EQ(driver_->BulkRead(buf, 64), 3);
}

// Close while the reader is inside recv(): the descriptor number is handed out again at
// once, and a reader that kept using the number would read some other socket's bytes.
TEST_F(UsbSocketTest, ReaderNeverReadsAReusedDescriptorAfterClose) {
  std::atomic<bool> stop{false};
  std::atomic<int> foreign{0};
  std::thread reader([&] {
    std::uint8_t buf[64];
    while (!stop.load()) {
      const int n = driver_->BulkRead(buf, 64);
      for (int i = 0; i < n; ++i)
        if (buf[i] == 'Z') foreign.fetch_add(1);
    }
  });
  for (int round = 0; round < 200; ++round) {
    peer_.Send(Bytes{'A'});
    driver_->Close();
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    const std::uint8_t z = 'Z';
    ::send(pair[1], &z, 1, 0);
    ASSERT_TRUE(driver_->Open());
    ASSERT_TRUE(peer_.Accept());
    ::close(pair[0]);
    ::close(pair[1]);
  }
  stop.store(true);
  driver_->AbortRead();
  reader.join();
  EXPECT_EQ(foreign.load(), 0);
}

}  // namespace
}  // namespace ostrel
