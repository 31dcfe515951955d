// The link against the real module emulator: the module process dies (unplugged) and
// starts again (plugged back in).
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link_rig.h"
#include "support/test_peer.h"

extern char** environ;

namespace ostrel {
namespace {

using test::Bytes;
using test::LinkOnSocket;
using test::RxWaiting;
using test::TestPeer;
using test::WaitUntil;
using namespace std::chrono_literals;

class EmulatorProcess {
 public:
  EmulatorProcess(const std::string& socket, const std::string& eeprom) {
    std::vector<std::string> args = {KASTREL_EMULATOR_PATH, "--socket", socket, "--eeprom",
                                     eeprom, "--period", "100"};
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
  }
  ~EmulatorProcess() { Kill(); }
  bool Running() const { return pid_ > 0; }
  // Pulled out: no goodbye, the kernel drops its end of the socket.
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// Takes chunks like the tick until an NMEA sentence has come through.
bool SentenceArrives(LinkOnSocket& rig) {
  std::string seen;
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < end) {
    if (RxWaiting(rig.Link()) > 0) {
      const Bytes chunk = rig.TakeAll();
      seen.append(chunk.begin(), chunk.end());
      if (seen.find("$GP") != std::string::npos && seen.find("\r\n") != std::string::npos)
        return true;
    }
    std::this_thread::sleep_for(20ms);  // the tick's pace, roughly
  }
  return false;
}

TEST(LinkOnEmulatorTest, ModuleProcessKilledAndRestarted) {
  const std::string name = TestPeer::UniqueName("emulator");
  const std::string eeprom = ::testing::TempDir() + name + ".eeprom";
  LinkOnSocket rig(name);
  UsbLink& link = rig.Link();

  auto emulator = std::make_unique<EmulatorProcess>(name, eeprom);
  ASSERT_TRUE(emulator->Running());
  ASSERT_TRUE(WaitUntil([&] { return link.OpenDevice(); }, 10000ms));
  rig.Start();
  EXPECT_TRUE(SentenceArrives(rig));

  emulator->Kill();
  link.CloseDevice();  // supervision, after the silence
  EXPECT_FALSE(link.OpenDevice());

  emulator = std::make_unique<EmulatorProcess>(name, eeprom);
  ASSERT_TRUE(WaitUntil([&] { return link.OpenDevice(); }, 10000ms));
  EXPECT_TRUE(SentenceArrives(rig));

  emulator.reset();
  ::unlink(eeprom.c_str());
}

}  // namespace
}  // namespace ostrel
