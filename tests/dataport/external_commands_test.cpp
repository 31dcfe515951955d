// Commands from applications: collection, the one-shot timer, framing into the queue.
#include "dataport/external_commands.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "support/param_name.h"

namespace ostrel {
namespace {

// The port's input queue: what the application wrote and the program has not read.
class FakePort : public VirtualPort {
 public:
  std::deque<std::uint8_t> waiting;
  bool CreatePort(const std::string&) override { return true; }
  bool Open(const std::string&) override { return true; }
  int32_t Write(const std::uint8_t*, int32_t) override { return 0; }
  int32_t Read(std::uint8_t* bytes, int32_t count) override {
    int32_t n = 0;
    for (; n < count && !waiting.empty(); ++n) {
      bytes[n] = waiting.front();
      waiting.pop_front();
    }
    return n;
  }
  // The application writes; returns the count OnRxChar reports.
  std::uint32_t Arrive(const std::string& text) {
    waiting.insert(waiting.end(), text.begin(), text.end());
    return static_cast<std::uint32_t>(waiting.size());
  }
};

class FakeTimer : public OneShotTimer {
 public:
  bool active = false;
  int starts = 0;
  void Enable() override {
    EXPECT_FALSE(active) << "a running timer must not be restarted";
    active = true;
    ++starts;
  }
  void Disable() override { active = false; }
  bool IsActive() const override { return active; }
};

struct Messages : MessageSink {
  std::vector<std::string> shown;
  std::function<void()> while_shown;
  void ShowMessage(const std::string& caption, const std::string& text) override {
    shown.push_back(caption + ": " + text);
    if (while_shown) while_shown();
  }
};

using test::FakeClock;

std::string Block(char marker, const std::string& payload) {
  return marker + payload + std::string(63 - payload.size(), '_');
}

std::string Queued(const CommandQueue& q) {
  const auto* d = reinterpret_cast<const char*>(q.Data());
  return std::string(d + q.SendPos(), d + q.EndPos());
}

class ExternalCommandsTest : public ::testing::Test {
 protected:
  FakePort port;
  FakeTimer timer;
  Messages messages;
  CommandQueue queue;
  std::atomic<int32_t> block_size{64};
  FakeClock clock{1000};
  ExternalCommands ext{port, timer, messages, queue, block_size, clock};

  void Arrive(const std::string& text) { ext.VSPortRxChar(port.Arrive(text)); }
  void ButtonSequence() {
    BeginSequence(queue, 64);
    const std::uint8_t cfg[] = {0xB5, 0x62, 0x06, 0x16};
    AppendBlocks(queue, cfg, sizeof cfg, false, 64);
    EndSequence(queue, 64);
  }
};

TEST_F(ExternalCommandsTest, TwentyBytesGiveBeginOneDataBlockAndEnd) {
  const std::string cmd = "$PUBX,41,1,0007,0003";
  ASSERT_EQ(cmd.size(), 20u);
  Arrive(cmd);
  EXPECT_TRUE(timer.active);
  EXPECT_EQ(Queued(queue), "");  // nothing before the timer runs out
  ext.VSPortReadTimer();
  EXPECT_FALSE(timer.active);
  EXPECT_EQ(Queued(queue), Block('*', "c") + Block('!', cmd) + Block('*', "*"));
  EXPECT_EQ(ext.ExternalLength(), 0);
}

TEST_F(ExternalCommandsTest, TwoPartsBeforeTheTimerGoOutAsOneSequence) {
  const std::string a(50, 'a'), b(50, 'b');
  Arrive(a);
  Arrive(b);
  EXPECT_EQ(timer.starts, 1);  // the 200 ms count from the first arrival
  ext.VSPortReadTimer();
  const std::string all = a + b;
  EXPECT_EQ(Queued(queue), Block('*', "c") + Block('!', all.substr(0, 63)) +
                               Block('!', all.substr(63)) + Block('*', "*"));
}

TEST_F(ExternalCommandsTest, ArrivalDuringASequenceIsHeldUntilALaterArrival) {
  ButtonSequence();
  const std::string sending = Queued(queue);
  Arrive("first");
  EXPECT_FALSE(timer.active);
  EXPECT_EQ(ext.ExternalLength(), 5);
  EXPECT_EQ(Queued(queue), sending);
  ClearQueue(queue);  // the sender has delivered the sequence
  Arrive("second");
  EXPECT_TRUE(timer.active);
  ext.VSPortReadTimer();
  EXPECT_EQ(Queued(queue), Block('*', "c") + Block('!', "firstsecond") + Block('*', "*"));
}

TEST_F(ExternalCommandsTest, BusyArrivalStopsARunningTimer) {
  Arrive("x");
  ASSERT_TRUE(timer.active);
  ButtonSequence();
  Arrive("y");
  EXPECT_FALSE(timer.active);
  EXPECT_EQ(ext.ExternalLength(), 2);
}

TEST_F(ExternalCommandsTest, TimerReplacesAPendingButtonSequence) {
  Arrive("cmd");
  ButtonSequence();
  ext.VSPortReadTimer();
  EXPECT_EQ(Queued(queue), Block('*', "c") + Block('!', "cmd") + Block('*', "*"));
}

TEST_F(ExternalCommandsTest, TimerWithNothingCollectedLeavesTheQueueAlone) {
  ButtonSequence();
  const std::string sending = Queued(queue);
  timer.active = true;
  ext.VSPortReadTimer();
  EXPECT_FALSE(timer.active);
  EXPECT_EQ(Queued(queue), sending);
}

TEST_F(ExternalCommandsTest, BeforeTheFirstOpenBlocksAreStandardSize) {
  block_size = 0;
  Arrive("abc");
  ext.VSPortReadTimer();
  EXPECT_EQ(Queued(queue), Block('*', "c") + Block('!', "abc") + Block('*', "*"));
}

struct TooLong {
  const char* name;
  int32_t held;      // collected before (while the queue was busy)
  int32_t arriving;  // then waiting in the port
};

class TooLongTest : public ExternalCommandsTest, public ::testing::WithParamInterface<TooLong> {};

TEST_P(TooLongTest, RefusedWholeAndNothingQueued) {
  const TooLong c = GetParam();
  if (c.held > 0) {
    ButtonSequence();
    Arrive(std::string(static_cast<std::size_t>(c.held), 'h'));
    ClearQueue(queue);
    port.waiting.clear();
  }
  Arrive(std::string(static_cast<std::size_t>(c.arriving), 'n'));
  EXPECT_EQ(messages.shown,
            std::vector<std::string>{"Error: Command from external application is too long."});
  // Nothing stays behind to start the next command with.
  EXPECT_TRUE(port.waiting.empty());
  EXPECT_EQ(ext.ExternalLength(), 0);
  EXPECT_TRUE(timer.active);
  ext.VSPortReadTimer();
  EXPECT_EQ(Queued(queue), "");
}

INSTANTIATE_TEST_SUITE_P(Arrivals, TooLongTest,
                         ::testing::Values(TooLong{"single_65537", 0, 65537},
                                           TooLong{"total_65537", 100, 65437},
                                           TooLong{"total_far_over", 60000, 10000}),
                         ostrel::test::ParamName());

// How a pseudo-terminal hands over one write of 65,537 bytes: pieces of a few KB, the
// collection timer already running when the piece that overflows comes.
TEST_F(ExternalCommandsTest, OneWriteInPiecesIsRefusedWholeWithItsRest) {
  const std::string piece(4095, 'p');
  for (int i = 0; i < 16; ++i) Arrive(piece);
  ASSERT_EQ(ext.ExternalLength(), 16 * 4095);
  ASSERT_TRUE(messages.shown.empty());
  Arrive(piece);  // 69,615 > 65,536
  EXPECT_EQ(messages.shown.size(), 1u);
  Arrive(std::string(1, 'p'));  // the write's last byte, still inside the quiet time
  EXPECT_EQ(ext.ExternalLength(), 0);
  EXPECT_TRUE(port.waiting.empty());
  ext.VSPortReadTimer();
  EXPECT_EQ(Queued(queue), "");
  EXPECT_EQ(messages.shown.size(), 1u);
}

TEST_F(ExternalCommandsTest, TheNextCommandAfterARefusedOneIsCollected) {
  Arrive(std::string(65537, 'n'));
  ext.VSPortReadTimer();  // quiet for 200 ms: the refused command is over
  Arrive("next");
  EXPECT_TRUE(timer.active);
  ext.VSPortReadTimer();
  EXPECT_EQ(Queued(queue), Block('*', "c") + Block('!', "next") + Block('*', "*"));
}

// Only the refused command is dropped: its rest comes without a pause, while a command
// an application writes after a pause is its own, however soon the pause ends.
TEST_F(ExternalCommandsTest, AfterAPauseTheNextCommandIsCollectedNotDropped) {
  struct Case {
    const char* name;
    std::vector<Millis> gaps;  // before each later arrival
    std::vector<bool> collected;
  };
  const std::vector<Case> cases = {
      {"rest in quick pieces", {0, 10, 50}, {false, false, false}},
      {"separate command 100 ms later", {100}, {true}},
      {"rest, then a command 60 ms later", {5, 60}, {false, true}},
      {"an application writing every 100 ms", {100, 100, 100}, {true, true, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExternalCommands fresh{port, timer, messages, queue, block_size, clock};
    ClearQueue(queue);
    timer.active = false;
    messages.shown.clear();
    fresh.VSPortRxChar(port.Arrive(std::string(65537, 'n')));
    std::string sent;
    for (std::size_t i = 0; i < c.gaps.size(); ++i) {
      clock.now += c.gaps[i];
      const std::string cmd = "$PUBX,40,GLL,0,0,0,0*5C" + std::to_string(i);
      fresh.VSPortRxChar(port.Arrive(cmd));
      EXPECT_EQ(fresh.ExternalLength() > 0, c.collected[i]) << "arrival " << i;
      if (c.collected[i]) {
        EXPECT_TRUE(timer.active);
        fresh.VSPortReadTimer();  // each command goes out on its own
        EXPECT_EQ(Queued(queue), Block('*', "c") + Block('!', cmd) + Block('*', "*"));
        ClearQueue(queue);
      }
      EXPECT_TRUE(port.waiting.empty());
    }
    fresh.VSPortReadTimer();
    EXPECT_EQ(Queued(queue), "");
    EXPECT_EQ(messages.shown.size(), 1u);  // the refused command only
  }
}

TEST_F(ExternalCommandsTest, ArrivalsWhileDroppingRestartTheQuietTime) {
  Arrive(std::string(65537, 'n'));
  const int starts = timer.starts;
  Arrive("more of it");
  EXPECT_EQ(timer.starts, starts + 1);
  EXPECT_TRUE(port.waiting.empty());
  EXPECT_EQ(ext.ExternalLength(), 0);
}

TEST_F(ExternalCommandsTest, ExactlyFullBufferIsCollected) {
  Arrive(std::string(65536, 'z'));
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(ext.ExternalLength(), 65536);
}

TEST_F(ExternalCommandsTest, LargestCommandThatFitsTheQueueIsFramedWhole) {
  ASSERT_EQ(MaxExternalCommand(64), 64323);
  Arrive(std::string(64323, 'm'));
  ext.VSPortReadTimer();
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(queue.BlocksQueued(64), 1023);
  EXPECT_EQ(Queued(queue).substr(1023 * 64 - 128, 64), Block('!', std::string(63, 'm')));
}

TEST_F(ExternalCommandsTest, CommandBeyondTheQueueIsRefusedAndDropped) {
  ButtonSequence();
  const std::string sending = Queued(queue);
  ClearQueue(queue);
  Arrive(std::string(64324, 'm'));
  ButtonSequence();  // a settings sequence was started meanwhile: it must survive
  ext.VSPortReadTimer();
  EXPECT_EQ(messages.shown,
            std::vector<std::string>{"Error: Command from external application is too long."});
  EXPECT_EQ(Queued(queue), sending);
  EXPECT_EQ(ext.ExternalLength(), 0);
}

TEST_F(ExternalCommandsTest, ArrivalsWhileTheBoxIsUpOpenNoMoreBoxes) {
  messages.while_shown = [this] {
    Arrive(std::string(65537, 'w'));  // the modal box runs the event loop
    Arrive(std::string(65537, 'w'));
  };
  Arrive(std::string(65537, 'v'));
  EXPECT_EQ(messages.shown.size(), 1u);
  messages.while_shown = nullptr;
  ext.VSPortReadTimer();
  Arrive("ok");  // the guard is down again once the box has closed
  EXPECT_EQ(ext.ExternalLength(), 2);
  Arrive(std::string(65537, 'v'));
  EXPECT_EQ(messages.shown.size(), 2u);
}

}  // namespace
}  // namespace ostrel
