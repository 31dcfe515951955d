// The read thread's hand-over rules, driven by a scripted driver and a clock that never
// waits.
#include "link/read_thread.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <string_view>

#include "link/command_queue.h"
#include "link/usb_link.h"
#include "support/fake_driver.h"
#include "support/param_name.h"

namespace ostrel {
namespace {

using test::Bytes;
using test::Count;
using test::FakeClock;
using test::FakeDriver;
using test::RxWaiting;
using test::TakeAny;
using test::WaitUntil;
using namespace std::chrono_literals;

class ReadThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(link_.OpenDevice());
    thread_ = std::make_unique<TReadThread>(link_, [this] { ++done_; });
    ASSERT_TRUE(driver_.WaitReadPending(1));
  }

  void TearDown() override {
    clock_.Resume();
    driver_.ReleaseAll();
    ASSERT_TRUE(thread_->QuitAndJoin(5000ms));
  }

  // Delivers one packet and waits until the thread sits in its next read, by which time
  // the packet has been handed over.
  void Deliver(Bytes packet) {
    const long next = driver_.ReadsStarted() + 1;
    driver_.Push(std::move(packet));
    ASSERT_TRUE(driver_.WaitReadPending(next));
  }

  int32_t Length() { return RxWaiting(link_); }

  Bytes Front(int n) {
    std::lock_guard lock(link_.State().HandOver);
    return Bytes(link_.State().RxBuffer, link_.State().RxBuffer + n);
  }

  Bytes At(int pos, int n) {
    std::lock_guard lock(link_.State().HandOver);
    return Bytes(link_.State().RxBuffer + pos, link_.State().RxBuffer + pos + n);
  }

  FakeClock clock_;
  FakeDriver driver_;
  CommandQueue queue_;
  UsbLink link_{driver_, clock_, queue_};
  std::unique_ptr<TReadThread> thread_;
  std::atomic<int> done_{0};
};

TEST_F(ReadThreadTest, ReadsWithoutATakeInBetweenAppendInOrder) {
  clock_.Set(1200);
  Deliver(Count(10, 0));
  Deliver(Count(20, 10));
  EXPECT_EQ(Length(), 30);
  EXPECT_EQ(Front(30), Count(30, 0));
  EXPECT_EQ(link_.State().LastRxTime.load(), 1200);
  EXPECT_EQ(driver_.LastMax(), 64);
}

// The room check before each read: 1983 bytes still leave room for a full read.
struct RoomCase {
  const char* name;
  int waiting;
  int lands_at;      // where the next read puts its bytes
  int length_after;  // RxLength once 5 more bytes came and the following read is issued
};
// Shown by its name in test output, not as raw bytes.
void PrintTo(const RoomCase& c, std::ostream* os) { *os << c.name; }

class RoomCheckTest : public ReadThreadTest, public ::testing::WithParamInterface<RoomCase> {};

TEST_P(RoomCheckTest, WaitingBytesKeptOrDiscardedBeforeTheNextRead) {
  const RoomCase& c = GetParam();
  for (int sent = 0; sent < c.waiting;) {
    const int n = std::min(64, c.waiting - sent);
    Deliver(Count(n, sent));
    sent += n;
  }
  // The next read is pending, so its room check has been made.
  EXPECT_EQ(Length(), c.lands_at);
  EXPECT_EQ(driver_.LastDestination() - link_.State().RxBuffer, c.lands_at);
  EXPECT_EQ(driver_.LastMax(), 64);

  Deliver(Count(5, 200));
  EXPECT_EQ(Length(), c.length_after);
  EXPECT_EQ(At(c.lands_at, 5), Count(5, 200));
  if (c.lands_at > 0) {
    EXPECT_EQ(Front(c.waiting), Count(c.waiting, 0));
  }
}

INSTANTIATE_TEST_SUITE_P(Boundary, RoomCheckTest,
                         ::testing::Values(RoomCase{"Kept1983", 1983, 1983, 0},
                                           RoomCase{"Discarded1984", 1984, 0, 5},
                                           RoomCase{"Kept1920", 1920, 1920, 1925}),
                         ostrel::test::ParamName());

TEST_F(ReadThreadTest, ReadCompletingDuringAHoldLandsAtTheFrontWhenTheHoldEnds) {
  Deliver(Count(10, 0));
  std::uint8_t chunk[kRxBufferSize];
  ASSERT_EQ(TakeAny(link_, chunk), 10);  // the pending read was issued at index 10

  const long sleeps = clock_.Sleeps();
  const long reads = driver_.ReadsStarted();
  clock_.Set(3000);
  driver_.Push(Count(7, 100));
  // The thread has the bytes but waits for the hold, in 100 ms steps.
  ASSERT_TRUE(WaitUntil([&] { return clock_.Sleeps() >= sleeps + 3; }));
  EXPECT_EQ(Length(), 0);
  EXPECT_EQ(Front(10), Count(10, 0));  // the taken bytes are left alone
  EXPECT_EQ(driver_.ReadsStarted(), reads);
  EXPECT_EQ(link_.State().LastRxTime.load(), 3000);

  link_.Release();
  ASSERT_TRUE(driver_.WaitReadPending(reads + 1));
  EXPECT_EQ(Length(), 7);
  EXPECT_EQ(Front(7), Count(7, 100));
}

TEST_F(ReadThreadTest, ReadDuringAPartialTakeLandsBehindTheUnfinishedRest) {
  Deliver(Bytes{'$', 'A', '\r', '\n', '$', 'B'});
  std::uint8_t chunk[kRxBufferSize];
  const UsbLink::Taken taken =
      link_.TakeChunk(chunk, kRxBufferSize - 1, UsbLink::TakeWhen::kWholeSentences);
  ASSERT_EQ(taken.length, 4);
  EXPECT_FALSE(link_.State().RxHold.load());  // copied already: nothing to hold
  Deliver(Bytes{'*', '\r', '\n'});            // the read pending at index 6 moves down to the rest
  EXPECT_EQ(Length(), 5);
  EXPECT_EQ(Front(5), (Bytes{'$', 'B', '*', '\r', '\n'}));
}

TEST_F(ReadThreadTest, NoReadStartsWhileTheBufferIsHeld) {
  Deliver(Count(10, 0));
  std::uint8_t chunk[kRxBufferSize];
  TakeAny(link_, chunk);
  driver_.Push(Count(3, 50));  // completes the pending read; the thread now waits
  const long reads = driver_.ReadsStarted();
  const long sleeps = clock_.Sleeps();
  driver_.Push(Count(4, 60));
  ASSERT_TRUE(WaitUntil([&] { return clock_.Sleeps() >= sleeps + 20; }));
  EXPECT_EQ(driver_.ReadsStarted(), reads);

  link_.Release();
  ASSERT_TRUE(driver_.WaitReadPending(reads + 2));
  EXPECT_EQ(Length(), 7);
  Bytes expected = Count(3, 50);
  const Bytes tail = Count(4, 60);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(Front(7), expected);
}

TEST_F(ReadThreadTest, AfterAnEmptyReadNoReadStartsUntilTheHoldEnds) {
  Deliver(Count(10, 0));
  std::uint8_t chunk[kRxBufferSize];
  TakeAny(link_, chunk);
  const long reads = driver_.ReadsStarted();
  const long sleeps = clock_.Sleeps();
  driver_.Push(Bytes{});  // the pending read comes back empty
  ASSERT_TRUE(WaitUntil([&] { return clock_.Sleeps() >= sleeps + 20; }));
  EXPECT_EQ(driver_.ReadsStarted(), reads);

  link_.Release();
  ASSERT_TRUE(driver_.WaitReadPending(reads + 1));
  EXPECT_EQ(driver_.LastDestination(), link_.State().RxBuffer);
}

// Waiting bytes that leave during a read: the new bytes move down behind what is left.
struct EmptiedCase {
  const char* name;
  void (*empty)(UsbLink&);
};
// Shown by its name in test output, not as raw bytes.
void PrintTo(const EmptiedCase& c, std::ostream* os) { *os << c.name; }

class EmptiedDuringReadTest : public ReadThreadTest,
                              public ::testing::WithParamInterface<EmptiedCase> {};

TEST_P(EmptiedDuringReadTest, NewBytesMoveToTheFront) {
  Deliver(Count(100, 0));  // next read issued at index 100
  GetParam().empty(link_);
  Deliver(Count(64, 150));
  EXPECT_EQ(Length(), 64);
  EXPECT_EQ(Front(64), Count(64, 150));
  Deliver(Count(6, 30));
  EXPECT_EQ(Length(), 70);
  EXPECT_EQ(At(64, 6), Count(6, 30));
}

INSTANTIATE_TEST_SUITE_P(Emptied, EmptiedDuringReadTest,
                         ::testing::Values(EmptiedCase{"TakenAndReleased",
                                                       [](UsbLink& l) {
                                                         std::uint8_t chunk[kRxBufferSize];
                                                         TakeAny(l, chunk);
                                                         l.Release();
                                                       }}),
                         ostrel::test::ParamName());

// A read that came back while the tick held the buffer waits out the hold; before it
// wakes, the next tick writes a command block. That packet was read before the block went
// out: even when it begins like the block's reply it stays stream, and the reply read
// after the block is the one lifted out.
TEST_F(ReadThreadTest, PacketReadBeforeABlockIsNeverItsReply) {
  Deliver(Count(10, 0));
  std::uint8_t chunk[kRxBufferSize];
  ASSERT_EQ(TakeAny(link_, chunk), 10);  // tick N holds the buffer

  clock_.Pause();
  const long reads = driver_.ReadsStarted();
  const Bytes early = {'*', 'c', 'x', '\r', '\n'};
  driver_.Push(early);               // stream bytes complete the pending read
  ASSERT_TRUE(clock_.WaitAsleep());  // the thread waits for the hold to end
  link_.Release();                   // tick N ends

  UsbLink::ReplyWanted wanted;  // tick N+1's send step writes "*c"...
  wanted.block = link_.BlockGoesOut();
  wanted.head[0] = '*';
  wanted.head[1] = 'c';
  const Bytes reply = {'*', 'c', '\r', '\n'};
  driver_.Push(reply);  // ...and the module answers while the thread still sleeps
  clock_.Resume();

  ASSERT_TRUE(driver_.WaitReadPending(reads + 2));
  const UsbLink::Taken taken =
      link_.TakeChunk(chunk, kRxBufferSize - 1, UsbLink::TakeWhen::kWholeSentences, &wanted);
  EXPECT_EQ(taken.reply, 4);
  Bytes expected = reply;
  expected.insert(expected.end(), early.begin(), early.end());
  EXPECT_EQ(Bytes(chunk, chunk + taken.length), expected);
}

class CountingNotifier final : public ArrivalNotifier {
 public:
  void LineArrived() override { ++lines; }
  std::atomic<int> lines{0};
};

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

// The receive cycle hears of a line as soon as the packet that ends it is handed over:
// once per such packet, and also when the LF lands behind an unfinished rest that a take
// left at the front. Of a packet without LF it hears only when the packet begins a line
// in an empty buffer: the tick then polls for the rest.
TEST_F(ReadThreadTest, TellsOfEachHandOverThatCompletesOrBeginsALine) {
  CountingNotifier notifier;
  link_.SetArrivalNotifier(&notifier);
  const struct {
    const char* packet;
    int lines;
  } steps[] = {{"$GPGGA,1", 1}, {",2*00\r", 1}, {"\n$GPRMC,", 2}, {"3*00\r\n\n", 3}, {"$GPVTG", 3}};
  for (const auto& step : steps) {
    Deliver(Text(step.packet));
    EXPECT_EQ(notifier.lines.load(), step.lines) << step.packet;
  }
  std::uint8_t chunk[kRxBufferSize];
  ASSERT_EQ(link_.TakeChunk(chunk, kRxBufferSize, UsbLink::TakeWhen::kWholeSentences).length, 29);
  Deliver(Text(",4*00\r\n"));
  EXPECT_EQ(notifier.lines.load(), 4);
  EXPECT_EQ(Front(Length()), Text("$GPVTG,4*00\r\n"));
  // While the receive cycle leaves the lines to its tick, it hears nothing of them.
  link_.WantArrivals(false);
  Deliver(Text("$GPGLL,5*00\r\n"));
  EXPECT_EQ(notifier.lines.load(), 4);
  link_.WantArrivals(true);
  Deliver(Text("$GPGLL,6*00\r\n"));
  EXPECT_EQ(notifier.lines.load(), 5);
  link_.SetArrivalNotifier(nullptr);
}

// File > Exit while a read is pending: whatever the read brings, nothing is touched.
struct StopCase {
  const char* name;
  bool data_arrives;
};
// Shown by its name in test output, not as raw bytes.
void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class StopDuringReadTest : public ReadThreadTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopDuringReadTest, ThreadEndsWithoutTouchingTheBuffer) {
  clock_.Set(1000);
  Deliver(Count(10, 0));
  clock_.Set(2500);
  if (GetParam().data_arrives) {
    link_.State().StopReading.store(true);
    driver_.Push(Count(9, 40));
  } else {
    link_.StopAndAbort();
    EXPECT_EQ(driver_.Aborts(), 1);
    EXPECT_FALSE(driver_.IsOpen());
    EXPECT_TRUE(link_.State().DeviceOpen.load());
  }
  ASSERT_TRUE(WaitUntil([&] { return thread_->Finished(); }));
  EXPECT_EQ(Length(), 10);
  EXPECT_EQ(Front(10), Count(10, 0));
  EXPECT_EQ(link_.State().LastRxTime.load(), 1000);
  EXPECT_EQ(done_.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Exit, StopDuringReadTest,
                         ::testing::Values(StopCase{"Aborted", false},
                                           StopCase{"DataArrivedAnyway", true}),
                         ostrel::test::ParamName());

// Closed, the thread waits for the next open without a sleep: an idle panel does not wake.
TEST_F(ReadThreadTest, ClosedBySupervisionWaitsThenResumesAfterTheNextOpen) {
  Deliver(Count(10, 0));
  const long reads = driver_.ReadsStarted();
  link_.CloseDevice();  // wakes the pending read with 0
  ASSERT_TRUE(WaitUntil([&] { return link_.ReaderWaiting(); }));
  const long sleeps = clock_.Sleeps();
  EXPECT_EQ(driver_.ReadsStarted(), reads);
  EXPECT_FALSE(thread_->Finished());

  clock_.Set(90000);
  ASSERT_TRUE(link_.OpenDevice());
  EXPECT_EQ(Length(), 0);
  ASSERT_TRUE(driver_.WaitReadPending(reads + 1));
  EXPECT_EQ(clock_.Sleeps(), sleeps);  // woken by the open, not by a look at the clock
  Deliver(Count(5, 70));
  EXPECT_EQ(Length(), 5);
  EXPECT_EQ(Front(5), Count(5, 70));
  EXPECT_GE(link_.State().LastRxTime.load(), 90000);
}

TEST_F(ReadThreadTest, StopReadingWhileClosedKeepsWaitingWithoutReads) {
  link_.CloseDevice();
  // Waiting: the read that the close ended has come back.
  ASSERT_TRUE(WaitUntil([&] { return link_.ReaderWaiting(); }));
  link_.StopAndAbort();  // no handle: nothing to abort
  EXPECT_EQ(driver_.Aborts(), 0);
  const long reads = driver_.ReadsStarted();
  EXPECT_TRUE(link_.ReaderWaiting());
  EXPECT_EQ(driver_.ReadsStarted(), reads);
  EXPECT_FALSE(thread_->Finished());
  EXPECT_EQ(done_.load(), 0);
}

TEST(ReadThreadCreation, ResetsTheHandOverStateAndWaitsForADevice) {
  FakeClock clock;
  FakeDriver driver;
  CommandQueue queue;
  UsbLink link(driver, clock, queue);
  {
    std::lock_guard lock(link.State().HandOver);
    link.State().RxLength = 55;
  }
  link.State().RxHold.store(true);
  clock.Set(777);

  TReadThread thread(link);
  EXPECT_EQ(RxWaiting(link), 0);
  EXPECT_FALSE(link.State().RxHold.load());
  EXPECT_EQ(link.State().LastRxTime.load(), 777);
  ASSERT_TRUE(WaitUntil([&] { return link.ReaderWaiting(); }));
  EXPECT_EQ(clock.Sleeps(), 0);
  EXPECT_EQ(driver.ReadsStarted(), 0);
  // The end does not wait for an open that never comes.
  ASSERT_TRUE(thread.QuitAndJoin(5000ms));
}

}  // namespace
}  // namespace ostrel
