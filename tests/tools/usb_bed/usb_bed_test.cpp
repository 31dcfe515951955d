// kastrel-usb-bed with the real emulator behind it and a real libusb client in front:
// what a driver of the module sees through libusb, and the bed's own control surface.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/bed_harness.h"
#include "support/emulator_harness.h"
#include "support/param_name.h"

namespace {

using kastrel::usb_bed_test::BedProcess;
using kastrel::usb_bed_test::Millis;
using ostrel::emulator_test::EmulatorProcess;
using ostrel::emulator_test::TempPath;
using ostrel::emulator_test::UniqueName;

constexpr Millis kDeadline{15000};

// One emulator per test, on a name of its own so nothing else reaches it.
class UsbBed : public ::testing::Test {
 protected:
  void StartEmulator(std::vector<std::string> args = {}) {
    args.insert(args.end(), {"--eeprom", eeprom_});
    emulator_ = std::make_unique<EmulatorProcess>(socket_, args);
    ASSERT_TRUE(emulator_->ready());
  }
  void TearDown() override {
    emulator_.reset();
    std::remove(eeprom_.c_str());
  }
  std::vector<std::string> Bed(std::vector<std::string> extra = {}) const {
    extra.insert(extra.begin(), {"--emulator-socket", socket_});
    return extra;
  }
  static std::vector<std::string> Client(std::vector<std::string> args,
                                         const std::string& ids = "1209:4b53") {
    args.insert(args.begin(), USB_BED_CLIENT_PATH);
    args.push_back(ids);
    return args;
  }

  const std::string socket_ = UniqueName("usb-bed");
  const std::string eeprom_ = TempPath("usb-bed-eeprom");
  std::unique_ptr<EmulatorProcess> emulator_;
};

bool ValidSentence(const std::string& sentence) {
  const auto star = sentence.find('*');
  if (sentence.size() < 4 || sentence[0] != '$' || star == std::string::npos ||
      star + 3 != sentence.size())
    return false;
  unsigned sum = 0;
  for (std::size_t i = 1; i < star; ++i) sum ^= static_cast<unsigned char>(sentence[i]);
  char expected[3];
  std::snprintf(expected, sizeof expected, "%02X", sum);
  return sentence.substr(star + 1) == expected;
}

// The last "stats name=value ..." line of the bed, by name.
std::map<std::string, double> LastStats(const BedProcess& bed) {
  std::map<std::string, double> values;
  for (const auto& line : bed.lines()) {
    if (line.rfind("stats ", 0) != 0) continue;
    values.clear();
    std::istringstream fields(line.substr(6));
    for (std::string field; fields >> field;) {
      const auto eq = field.find('=');
      if (eq != std::string::npos) values[field.substr(0, eq)] = std::stod(field.substr(eq + 1));
    }
  }
  return values;
}

struct EnumerationCase {
  const char* name;
  std::vector<std::string> bed_args;
  std::string ids;
  std::vector<std::string> expected;  // lines the client prints, in order
};

void PrintTo(const EnumerationCase& c, std::ostream* os) { *os << c.name; }

class Enumeration : public UsbBed, public ::testing::WithParamInterface<EnumerationCase> {};

TEST_P(Enumeration, LibusbSeesTheDescribedDevice) {
  StartEmulator();
  const auto& param = GetParam();
  BedProcess bed(Bed(param.bed_args), Client({"list"}, param.ids));
  ASSERT_EQ(bed.WaitExit(kDeadline), 0) << bed.Transcript();
  std::vector<std::string> seen;
  for (const auto& line : bed.lines())
    if (line.rfind("device ", 0) == 0 || line.rfind("endpoint ", 0) == 0) seen.push_back(line);
  EXPECT_EQ(seen, param.expected) << bed.Transcript();
  // Enumeration reads sysfs only: the node is never opened.
  EXPECT_EQ(bed.Count("opened"), 0) << bed.Transcript();
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, Enumeration,
    ::testing::Values(EnumerationCase{"ModuleWithDefaultIds",
                                      {},
                                      "1209:4b53",
                                      {"device 1209:4b53 bus 1 address 2", "endpoint 81 bulk 64",
                                       "endpoint 01 bulk 64"}},
                      EnumerationCase{"ModuleWithNamedIdsBusAndAddress",
                                      {"--id", "abcd:0123", "--bus", "3", "--dev", "7"},
                                      "abcd:0123",
                                      {"device abcd:0123 bus 3 address 7", "endpoint 81 bulk 64",
                                       "endpoint 01 bulk 64"}},
                      EnumerationCase{"OtherShapeHasAThirdEndpoint",
                                      {"--shape", "other"},
                                      "1209:4b53",
                                      {"device 1209:4b53 bus 1 address 2", "endpoint 81 bulk 64",
                                       "endpoint 01 bulk 64", "endpoint 82 interrupt 8"}},
                      EnumerationCase{"AbsentDeviceIsNotListed", {"--absent"}, "1209:4b53", {}}),
    ostrel::test::ParamName());

TEST_F(UsbBed, VersionRequestOutGetsTheFirmwareReplyIn) {
  StartEmulator({"--firmware-version", "7.3"});
  BedProcess bed(Bed(), Client({"version"}));
  EXPECT_EQ(bed.WaitForPrefix("reply ", kDeadline), "reply *v7.3\\r\\n") << bed.Transcript();
  EXPECT_EQ(bed.WaitExit(kDeadline), 0) << bed.Transcript();
  EXPECT_EQ(bed.Count("opened"), 1);
  EXPECT_EQ(bed.Count("claimed"), 1);
}

// The stream crosses whole at any read size (a packet larger than the read is taken by
// the next reads), and a pending IN transfer costs no polling: the client reaps only
// when the handler says a URB is done.
class NmeaStream : public UsbBed, public ::testing::WithParamInterface<int> {};

TEST_P(NmeaStream, ArrivesWholeWithoutBusyPolling) {
  StartEmulator({"--period", "250"});
  BedProcess bed(Bed({"--stats"}), Client({"nmea", "30", std::to_string(GetParam())}));
  ASSERT_EQ(bed.WaitExit(kDeadline), 0) << bed.Transcript();
  int sentences = 0;
  for (const auto& line : bed.lines()) {
    if (line.rfind("nmea ", 0) != 0) continue;
    ++sentences;
    EXPECT_TRUE(ValidSentence(line.substr(5))) << line;
  }
  EXPECT_EQ(sentences, 30);
  auto stats = LastStats(bed);
  const auto reaped = static_cast<long>(stats["reaped"]);
  const auto eagain = static_cast<long>(stats["eagain"]);
  const auto submitted = static_cast<long>(stats["submitted"]);
  const auto seconds = stats["seconds"];
  EXPECT_GT(reaped, 0);
  EXPECT_LE(reaped, submitted);
  // Each wake-up reaps what is done and then hears EAGAIN once; a client spinning on a
  // node that always polls writable hears it thousands of times a second.
  EXPECT_LE(eagain, reaped + static_cast<long>(20 * seconds) + 5) << bed.Transcript();
}

INSTANTIATE_TEST_SUITE_P(ReadSizes, NmeaStream, ::testing::Values(64, 16, 5),
                         [](const auto& row) { return "Read" + std::to_string(row.param); });

// A module that ends every transfer on a packet boundary sends a zero-length packet after
// each full one: it completes a read with no bytes, and the stream goes on around it.
TEST_F(UsbBed, ZeroLengthPacketsCompleteReadsEmptyAndTheStreamGoesOn) {
  StartEmulator({"--period", "250", "--zero-length"});
  BedProcess bed(Bed(), Client({"nmea", "30", "64"}));
  ASSERT_EQ(bed.WaitExit(kDeadline), 0) << bed.Transcript();
  int sentences = 0;
  int empty = -1;
  for (const auto& line : bed.lines()) {
    if (line.rfind("empty ", 0) == 0) empty = std::stoi(line.substr(6));
    if (line.rfind("nmea ", 0) != 0) continue;
    ++sentences;
    EXPECT_TRUE(ValidSentence(line.substr(5))) << line;
  }
  EXPECT_EQ(sentences, 30);
  EXPECT_GT(empty, 10) << bed.Transcript();
}

TEST_F(UsbBed, CancelledReadReportsCancelledAndTheDeviceWorksOn) {
  StartEmulator();
  BedProcess bed(Bed(), Client({"cancel"}));
  EXPECT_EQ(bed.WaitForPrefix("read ", kDeadline), "read cancelled yes") << bed.Transcript();
  EXPECT_EQ(bed.WaitForPrefix("reply ", kDeadline), "reply *v1.4\\r\\n") << bed.Transcript();
  EXPECT_EQ(bed.WaitExit(kDeadline), 0) << bed.Transcript();
}

TEST_F(UsbBed, UnplugEndsThePendingReadAndHotplugSeesBothWays) {
  StartEmulator();
  BedProcess bed(Bed({"--stats"}), Client({"unplug"}));
  ASSERT_EQ(bed.WaitForPrefix("pending", kDeadline), "pending") << bed.Transcript();
  bed.Send("unplug");
  EXPECT_EQ(bed.WaitForPrefix("read no-device", kDeadline), "read no-device yes")
      << bed.Transcript();
  EXPECT_EQ(bed.WaitForPrefix("submit ", kDeadline), "submit LIBUSB_ERROR_NO_DEVICE")
      << bed.Transcript();
  bed.Send("plug");
  EXPECT_EQ(bed.WaitForPrefix("reply ", kDeadline), "reply *v1.4\\r\\n") << bed.Transcript();
  EXPECT_EQ(bed.WaitExit(kDeadline), 0) << bed.Transcript();
  EXPECT_EQ(bed.Count("left"), 1) << bed.Transcript();
  EXPECT_EQ(bed.Count("arrived"), 1) << bed.Transcript();
  EXPECT_EQ(bed.Count("plugged /dev/bus/usb/001/002"), 2) << bed.Transcript();
  // The descriptor of the first plug is closed: the bed keeps state for the last one only.
  EXPECT_EQ(LastStats(bed)["clients"], 1) << bed.Transcript();
}

// A module that stops reading: OUT transfers wait in the bed until libusb's timeout
// discards them, and the pipe works on once the module reads again.
TEST_F(UsbBed, StalledOutPipeTimesOutAndRecovers) {
  StartEmulator();
  BedProcess bed(Bed(), Client({"stall", "5000"}));
  ASSERT_EQ(bed.WaitForPrefix("claimed", kDeadline), "claimed") << bed.Transcript();
  ::kill(emulator_->pid(), SIGSTOP);
  EXPECT_EQ(bed.WaitForPrefix("write ", kDeadline), "write LIBUSB_ERROR_TIMEOUT")
      << bed.Transcript();
  ::kill(emulator_->pid(), SIGCONT);
  EXPECT_EQ(bed.WaitForPrefix("reply ", kDeadline), "reply *v1.4\\r\\n") << bed.Transcript();
  EXPECT_EQ(bed.WaitExit(kDeadline), 0) << bed.Transcript();
}

// Plug cycles leave the bed as it was: no descriptor and no thread more.
TEST_F(UsbBed, PlugCyclesKeepDescriptorsAndThreads) {
  StartEmulator();
  BedProcess bed(Bed(), {"sleep", "60"});
  ASSERT_EQ(bed.WaitForPrefix("ready", kDeadline), "ready") << bed.Transcript();
  const auto count = [&](const char* what) {
    const auto dir = "/proc/" + std::to_string(bed.pid()) + "/" + what;
    return std::distance(std::filesystem::directory_iterator(dir),
                         std::filesystem::directory_iterator());
  };
  const auto cycle = [&] {
    bed.Send("unplug");
    ASSERT_EQ(bed.WaitForPrefix("unplugged", kDeadline), "unplugged");
    bed.Send("plug");
    ASSERT_EQ(bed.WaitForPrefix("plugged", kDeadline), "plugged /dev/bus/usb/001/002");
    bed.Send("stats");
    ASSERT_NE(bed.WaitForPrefix("stats", kDeadline), "");
  };
  cycle();
  const auto fds = count("fd");
  const auto threads = count("task");
  constexpr int kCycles = 20;
  for (int i = 0; i < kCycles; ++i) cycle();
  // umockdev's worker may hold a passing descriptor just as we look; anything lost per
  // cycle would show kCycles more.
  EXPECT_LT(count("fd"), fds + kCycles / 4);
  EXPECT_LT(count("task"), threads + kCycles / 4);
  bed.Send("quit");
  EXPECT_EQ(bed.WaitExit(kDeadline), 143);
}

struct AccessCase {
  const char* name;
  const char* node_mode;
  const char* expected;
};

void PrintTo(const AccessCase& c, std::ostream* os) { *os << c.name; }

class Access : public UsbBed, public ::testing::WithParamInterface<AccessCase> {};

TEST_P(Access, NodeModeDecidesWhetherAnotherUserMayOpen) {
  if (geteuid() != 0) GTEST_SKIP() << "switching to another user needs root";
  StartEmulator();
  // The build tree may sit where that user cannot reach (a CI clone under /root).
  const std::filesystem::path client = TempPath("usb-bed-client");
  std::filesystem::copy_file(USB_BED_CLIENT_PATH, client);
  std::filesystem::permissions(
      client, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                  std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                  std::filesystem::perms::others_exec);
  auto program = Client({"version"});
  program[0] = client.string();
  BedProcess bed(Bed({"--user", "nobody", "--node-mode", GetParam().node_mode}), program);
  EXPECT_EQ(bed.WaitFor(
                [](const std::string& l) {
                  return l.rfind("reply ", 0) == 0 || l.rfind("fail ", 0) == 0;
                },
                kDeadline),
            GetParam().expected)
      << bed.Transcript();
  bed.WaitExit(kDeadline);
  std::filesystem::remove(client);
}

INSTANTIATE_TEST_SUITE_P(Modes, Access,
                         ::testing::Values(AccessCase{"Open", "0666", "reply *v1.4\\r\\n"},
                                           AccessCase{"RootOnly", "0600",
                                                      "fail open LIBUSB_ERROR_ACCESS"}),
                         ostrel::test::ParamName());

struct EndingCase {
  const char* name;
  std::vector<std::string> program;
  std::function<void(BedProcess&)> end;
  int status;
};

void PrintTo(const EndingCase& c, std::ostream* os) { *os << c.name; }

class Ending : public UsbBed, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(Ending, BedEndsWithTheProgramsStatus) {
  StartEmulator();
  BedProcess bed(Bed(), GetParam().program);
  ASSERT_EQ(bed.WaitForPrefix("ready", kDeadline), "ready") << bed.Transcript();
  GetParam().end(bed);
  EXPECT_EQ(bed.WaitExit(kDeadline), GetParam().status) << bed.Transcript();
  EXPECT_EQ(bed.Count("exited " + std::to_string(GetParam().status)), 1) << bed.Transcript();
}

INSTANTIATE_TEST_SUITE_P(
    Ways, Ending,
    ::testing::Values(
        EndingCase{"OwnStatus", {"sh", "-c", "exit 3"}, [](BedProcess&) {}, 3},
        EndingCase{
            "TermIsPassedOn", {"sleep", "30"}, [](BedProcess& b) { b.Signal(SIGTERM); }, 143},
        EndingCase{"IntIsPassedOn", {"sleep", "30"}, [](BedProcess& b) { b.Signal(SIGINT); }, 130},
        EndingCase{"QuitCommand", {"sleep", "30"}, [](BedProcess& b) { b.Send("quit"); }, 143}),
    ostrel::test::ParamName());

TEST_F(UsbBed, FollowedEmulatorUnplugsAndReplugsTheDevice) {
  StartEmulator({"--unplug-every", "1:1"});
  BedProcess bed(Bed({"--follow-emulator"}), {"sleep", "30"});
  ASSERT_EQ(bed.WaitForPrefix("plugged", kDeadline), "plugged /dev/bus/usb/001/002")
      << bed.Transcript();
  EXPECT_EQ(bed.WaitForPrefix("unplugged", kDeadline), "unplugged") << bed.Transcript();
  EXPECT_EQ(bed.WaitForPrefix("plugged", kDeadline), "plugged /dev/bus/usb/001/002")
      << bed.Transcript();
  bed.Send("quit");
  EXPECT_EQ(bed.WaitExit(kDeadline), 143);
}

}  // namespace
