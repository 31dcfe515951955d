// Choosing the GPS Data port over a faked listing and a faked port component.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "dataport/create_virtual_port.h"

namespace ostrel {
namespace {

class FakeListing : public ComPortLister {
 public:
  explicit FakeListing(std::vector<std::string> friendly) : friendly_(std::move(friendly)) {}
  int EnumerateComPorts(ComPortList& list) override {
    int n = 0;
    for (const std::string& f : friendly_) {
      if (n == kMaxComPorts) break;
      list[static_cast<std::size_t>(n++)] = {f, "description"};
    }
    return n;
  }

 private:
  std::vector<std::string> friendly_;
};

class FakePort : public VirtualPort {
 public:
  bool create_ok = true;
  bool open_ok = true;
  std::vector<std::string> calls;
  bool CreatePort(const std::string& name) override {
    calls.push_back("create " + name);
    return create_ok;
  }
  bool Open(const std::string& name) override {
    calls.push_back("open " + name);
    return open_ok;
  }
  int32_t Write(const std::uint8_t*, int32_t) override { return 0; }
  int32_t Read(std::uint8_t*, int32_t) override { return 0; }
  std::string Failure() const override { return create_ok ? "" : "The folder /f is full."; }
};

struct Messages : MessageSink {
  std::vector<std::pair<std::string, std::string>> shown;
  void ShowMessage(const std::string& caption, const std::string& text) override {
    shown.emplace_back(caption, text);
  }
};

struct Outcome {
  std::string result;
  std::string label = "unset";
  int exits = 0;
  std::string notes;
  FakePort port;
  Messages messages;
};

Outcome Choose(const std::vector<std::string>& listed, int configured, bool create_ok = true,
               bool open_ok = true) {
  Outcome run;
  FakeListing listing(listed);
  run.port.create_ok = create_ok;
  run.port.open_ok = open_ok;
  VirtualPortSetup setup{listing,
                         run.port,
                         run.messages,
                         [&run] { ++run.exits; },
                         [&run](const std::string& l) { run.label = l; },
                         [&run](const std::string& n) { run.notes += n; }};
  run.result = Create_Virtual_Port(configured, setup);
  return run;
}

const std::string kReal1 = "Communications Port (COM1)";
const std::string kReal2 = "Communications Port (COM2)";
const std::string kOurs3 = "ELTIMA Virtual Serial Port (COM3)";

TEST(CreateVirtualPort, RealCom1AndCom2GiveCom3) {
  const Outcome run = Choose({kReal1, kReal2}, 0);
  EXPECT_EQ(run.result, "COM3");
  EXPECT_EQ(run.label, "COM3");
  EXPECT_EQ(run.port.calls, std::vector<std::string>{"create COM3"});
  EXPECT_TRUE(run.messages.shown.empty());
  EXPECT_EQ(run.exits, 0);
}

TEST(CreateVirtualPort, EmptyListingGivesCom1) {
  const Outcome run = Choose({}, 0);
  EXPECT_EQ(run.result, "COM1");
  EXPECT_EQ(run.port.calls, std::vector<std::string>{"create COM1"});
}

TEST(CreateVirtualPort, Com12MakesCom1LookTaken) {
  const Outcome run = Choose({"USB Serial Port (COM12)"}, 0);
  EXPECT_EQ(run.result, "COM2");
  EXPECT_EQ(run.port.calls, std::vector<std::string>{"create COM2"});
}

TEST(CreateVirtualPort, LeftoverPortOfOursIsReopenedNotCreated) {
  const Outcome run = Choose({kReal1, kReal2, kOurs3}, 0);
  EXPECT_EQ(run.result, "COM3");
  EXPECT_EQ(run.port.calls, std::vector<std::string>{"open COM3"});
}

TEST(CreateVirtualPort, ConfiguredFreeNumberIsUsed) {
  const Outcome run = Choose({kReal1}, 5);
  EXPECT_EQ(run.result, "COM5");
  EXPECT_EQ(run.port.calls, std::vector<std::string>{"create COM5"});
}

TEST(CreateVirtualPort, ConfiguredRealPortFailsNineTimesAndNamesIt) {
  const Outcome run = Choose({"Communications Port (COM5)"}, 5);
  EXPECT_EQ(run.result, "");
  EXPECT_EQ(run.label, "");
  EXPECT_TRUE(run.port.calls.empty());  // a real port is never touched
  ASSERT_EQ(run.messages.shown.size(), 1u);
  EXPECT_EQ(run.messages.shown[0].first, "Error");
  EXPECT_EQ(run.messages.shown[0].second, "COM5 could not be used as the GPS Data COM port!");
  EXPECT_EQ(run.notes,
            "COM5 could not be used as the GPS Data COM port! COM5 is the name of a serial port "
            "of this machine (Communications Port (COM5)).\n");
  EXPECT_EQ(run.exits, 1);
}

TEST(CreateVirtualPort, RefusedCreationTriesCom1ToCom9AndNamesTheLast) {
  const Outcome run = Choose({}, 0, /*create_ok=*/false);
  ASSERT_EQ(run.port.calls.size(), 9u);
  EXPECT_EQ(run.port.calls.front(), "create COM1");
  EXPECT_EQ(run.port.calls.back(), "create COM9");
  ASSERT_EQ(run.messages.shown.size(), 1u);
  EXPECT_EQ(run.messages.shown[0].second, "COM9 could not be used as the GPS Data COM port!");
  // The box keeps its words; stderr and error.log hear why.
  EXPECT_EQ(run.notes, "COM9 could not be used as the GPS Data COM port! The folder /f is full.\n");
  EXPECT_EQ(run.exits, 1);
}

TEST(CreateVirtualPort, PortHeldByAnotherProgramEndsAtOnce) {
  const Outcome run = Choose({kOurs3}, 3, true, /*open_ok=*/false);
  EXPECT_EQ(run.result, "");
  EXPECT_EQ(run.port.calls, std::vector<std::string>{"open COM3"});  // no second attempt
  ASSERT_EQ(run.messages.shown.size(), 1u);
  EXPECT_EQ(run.messages.shown[0].first, "Information");
  EXPECT_EQ(run.messages.shown[0].second,
            "The GPS Data COM port is already being used by another application.");
  EXPECT_EQ(run.exits, 1);
  EXPECT_EQ(run.label, "");
}

TEST(CreateVirtualPort, NumbersThatDoNotFitFourDigitsMeanAutomatic) {
  for (int configured : {-1, -5, 10000, 2147483647}) {
    const Outcome run = Choose({kReal1}, configured);
    EXPECT_EQ(run.result, "COM2") << configured;
  }
  EXPECT_EQ(Choose({}, 9999).result, "COM9999");
}

}  // namespace
}  // namespace ostrel
