// The link against the real module emulator: the module process dies (unplugged) and
// starts again (plugged back in).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "link_rig.h"
#include "support/emulator_harness.h"
#include "support/test_peer.h"

namespace ostrel {
namespace {

using emulator_test::EmulatorProcess;
using test::Bytes;
using test::LinkOnSocket;
using test::RxWaiting;
using test::TestPeer;
using test::WaitUntil;
using namespace std::chrono_literals;

// The module on `socket`, streaming every 100 ms.
std::unique_ptr<EmulatorProcess> StartModule(const std::string& socket, const std::string& eeprom) {
  return std::make_unique<EmulatorProcess>(
      socket, std::vector<std::string>{"--eeprom", eeprom, "--period", "100"});
}

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

  auto emulator = StartModule(name, eeprom);
  ASSERT_TRUE(emulator->ready());
  ASSERT_TRUE(WaitUntil([&] { return link.OpenDevice(); }, 10000ms));
  rig.Start();
  EXPECT_TRUE(SentenceArrives(rig));

  emulator->Stop(SIGKILL);  // pulled out: no goodbye, the kernel drops its end
  link.CloseDevice();       // supervision, after the silence
  EXPECT_FALSE(link.OpenDevice());

  emulator = StartModule(name, eeprom);
  ASSERT_TRUE(WaitUntil([&] { return link.OpenDevice(); }, 10000ms));
  EXPECT_TRUE(SentenceArrives(rig));

  emulator.reset();
  ::unlink(eeprom.c_str());
}

}  // namespace
}  // namespace ostrel
