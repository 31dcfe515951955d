// Open, close and exit of the module link, and the consumer's side of the hand-over.
#include "link/usb_link.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <string_view>

#include "link/command_queue.h"
#include "support/fake_driver.h"
#include "support/param_name.h"

namespace ostrel {
namespace {

using test::Bytes;
using test::FakeClock;
using test::FakeDriver;
using test::RxWaiting;
using test::TakeAny;

class UsbLinkTest : public ::testing::Test {
 protected:
  // A link with leftovers of an earlier session: waiting bytes, a hold, a queued sequence.
  void SetUp() override {
    ASSERT_TRUE(BeginSequence(queue_, 64));
    const std::uint8_t v = 'v';
    ASSERT_TRUE(AppendBlocks(queue_, &v, 1, true, 64));
    ASSERT_TRUE(EndSequence(queue_, 64));
    {
      std::lock_guard lock(link_.State().HandOver);
      link_.State().RxLength = 100;
    }
    link_.State().RxHold.store(true);
    link_.State().LastRxTime.store(10);
    clock_.Set(4242);
  }

  FakeClock clock_;
  FakeDriver driver_;
  CommandQueue queue_;
  UsbLink link_{driver_, clock_, queue_};
};

TEST_F(UsbLinkTest, OpenWritesTheOpenByteAloneAndStartsAFreshSession) {
  ASSERT_TRUE(link_.OpenDevice());
  EXPECT_EQ(driver_.Writes(), std::vector<Bytes>{Bytes{'j'}});
  const LinkState& s = link_.State();
  EXPECT_TRUE(s.DeviceOpen.load());
  EXPECT_EQ(s.ReadSize.load(), 64);
  EXPECT_EQ(s.WriteSize.load(), 64);
  EXPECT_EQ(s.BlockSize.load(), 64);
  EXPECT_EQ(RxWaiting(link_), 0);
  EXPECT_FALSE(s.RxHold.load());
  EXPECT_EQ(s.LastRxTime.load(), 4242);
  EXPECT_EQ(queue_.SendPos(), kFirstBlock);
  EXPECT_EQ(queue_.EndPos(), kFirstBlock);
  EXPECT_FALSE(queue_.Pending());
}

// A refused open leaves everything as it was, including sizes from an earlier session.
struct RefusedCase {
  const char* name;
  bool opened_before;
  uint16_t sizes;
};
// Shown by its name in test output, not as raw bytes.
void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class RefusedOpenTest : public UsbLinkTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedOpenTest, ChangesNothing) {
  if (GetParam().opened_before) {
    ASSERT_TRUE(link_.OpenDevice());
    link_.CloseDevice();
    ASSERT_TRUE(BeginSequence(queue_, 64));
    ASSERT_TRUE(EndSequence(queue_, 64));
    std::lock_guard lock(link_.State().HandOver);
    link_.State().RxLength = 100;
    link_.State().RxHold.store(true);
    link_.State().LastRxTime.store(10);
  }
  const auto writes = driver_.Writes().size();
  const int32_t end = queue_.EndPos();
  driver_.SetOpenResult(false);
  clock_.Set(9999);

  EXPECT_FALSE(link_.OpenDevice());
  const LinkState& s = link_.State();
  EXPECT_FALSE(s.DeviceOpen.load());
  EXPECT_EQ(driver_.Writes().size(), writes);
  EXPECT_EQ(s.ReadSize.load(), GetParam().sizes);
  EXPECT_EQ(s.BlockSize.load(), GetParam().sizes);
  EXPECT_EQ(RxWaiting(link_), 100);
  EXPECT_TRUE(s.RxHold.load());
  EXPECT_EQ(s.LastRxTime.load(), 10);
  EXPECT_TRUE(queue_.Pending());
  EXPECT_EQ(queue_.EndPos(), end);
}

INSTANTIATE_TEST_SUITE_P(Open, RefusedOpenTest,
                         ::testing::Values(RefusedCase{"NeverOpened", false, 0},
                                           RefusedCase{"AfterAClose", true, 64}),
                         ostrel::test::ParamName());

TEST_F(UsbLinkTest, ExitWithAHandleAbortsAndClosesButKeepsDeviceOpen) {
  ASSERT_TRUE(link_.OpenDevice());
  link_.StopAndAbort();
  EXPECT_TRUE(link_.State().StopReading.load());
  EXPECT_EQ(driver_.Aborts(), 1);
  EXPECT_EQ(driver_.Closes(), 1);
  EXPECT_FALSE(driver_.IsOpen());
  EXPECT_TRUE(link_.State().DeviceOpen.load());
  // A read thread between reads makes one more read, which fails at once.
  std::uint8_t buf[64];
  EXPECT_EQ(link_.ReadDevice(buf), 0);
}

TEST_F(UsbLinkTest, ExitWithoutADeviceIssuesNoRequest) {
  link_.StopAndAbort();
  EXPECT_TRUE(link_.State().StopReading.load());
  EXPECT_EQ(driver_.Aborts(), 0);
  EXPECT_EQ(driver_.Closes(), 0);
}

TEST_F(UsbLinkTest, ReadAsksForReadSizeButNeverPastTheRoomLeft) {
  ASSERT_TRUE(link_.OpenDevice());
  std::uint8_t buf[64];
  driver_.Push(test::Count(64));
  EXPECT_EQ(link_.ReadDevice(buf, 10), 10);
  EXPECT_EQ(driver_.LastMax(), 10);
  driver_.Push(test::Count(64));
  EXPECT_EQ(link_.ReadDevice(buf), 64);
  EXPECT_EQ(driver_.LastMax(), 64);
}

TEST_F(UsbLinkTest, TakeHoldsTheBufferAndHandsOverTheWaitingBytes) {
  ASSERT_TRUE(link_.OpenDevice());
  const char sentence[] = "$GPGLL,4916.45,N,12311.12,W,225444,A*31\r\n";
  const auto len = static_cast<int32_t>(std::strlen(sentence));
  {
    std::lock_guard lock(link_.State().HandOver);
    std::memcpy(link_.State().RxBuffer, sentence, static_cast<std::size_t>(len));
    link_.State().RxLength = len;
  }
  EXPECT_EQ(RxWaiting(link_), len);

  std::uint8_t chunk[kRxBufferSize];
  ASSERT_EQ(TakeAny(link_, chunk), len);
  EXPECT_EQ(std::memcmp(chunk, sentence, static_cast<std::size_t>(len)), 0);
  EXPECT_TRUE(link_.State().RxHold.load());
  EXPECT_EQ(RxWaiting(link_), 0);
  link_.Release();
  EXPECT_FALSE(link_.State().RxHold.load());
}

// The receive cycle's take: whole sentences only, unless a block awaits its reply. What
// is not taken stays at the front of RxBuffer.
struct TakeCase {
  const char* name;
  const char* waiting;
  UsbLink::TakeWhen when;
  int32_t taken;
  bool unfinished;
};
// Shown by its name in test output, not as raw bytes.
void PrintTo(const TakeCase& c, std::ostream* os) { *os << c.name; }

constexpr auto kLf = UsbLink::TakeWhen::kWholeSentences;
constexpr auto kAny = UsbLink::TakeWhen::kAnyBytes;

class TakeChunkTest : public UsbLinkTest, public ::testing::WithParamInterface<TakeCase> {};

TEST_P(TakeChunkTest, TestsAndTakesInOneStep) {
  const TakeCase& c = GetParam();
  ASSERT_TRUE(link_.OpenDevice());
  const auto len = static_cast<int32_t>(std::strlen(c.waiting));
  {
    std::lock_guard lock(link_.State().HandOver);
    std::memcpy(link_.State().RxBuffer, c.waiting, static_cast<std::size_t>(len));
    link_.State().RxLength = len;
  }
  std::uint8_t chunk[kRxBufferSize];
  const UsbLink::Taken taken = link_.TakeChunk(chunk, kRxBufferSize - 1, c.when);

  EXPECT_EQ(taken.length, c.taken);
  EXPECT_EQ(taken.unfinished, c.unfinished);
  EXPECT_EQ(link_.State().RxHold.load(), c.when == kAny && c.taken > 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(chunk), static_cast<std::size_t>(c.taken)),
            std::string(c.waiting, static_cast<std::size_t>(c.taken)));
  const std::string rest(c.waiting + c.taken);
  ASSERT_EQ(RxWaiting(link_), static_cast<int32_t>(rest.size()));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(link_.State().RxBuffer), rest.size()), rest);
}

INSTANTIATE_TEST_SUITE_P(
    Take, TakeChunkTest,
    ::testing::Values(TakeCase{"NothingWaiting", "", kLf, 0, false},
                      TakeCase{"NothingWaitingForAReply", "", kAny, 0, false},
                      TakeCase{"EndsInLf", "$GPGLL,4916.45,N*31\r\n", kLf, 21, false},
                      TakeCase{"CutBeforeItsLf", "$GPGLL,4916.45,N*31\r", kLf, 0, true},
                      TakeCase{"WholeSentenceTakenUnfinishedKept", "$GPGLL*31\r\n$GPG", kLf, 11,
                               true},
                      TakeCase{"ThroughTheLastLf", "$A*1\r\n$B*2\r\n$C,", kLf, 12, true},
                      TakeCase{"ReplyWithoutLf", "*v12", kAny, 4, false},
                      TakeCase{"ReplyAndStream", "*c\r\n$GPGGA,0307", kAny, 15, false}),
    ostrel::test::ParamName());

// The firmware's answers, and packets of the stream that only begin like one.
TEST(ReplyShaped, TellsTheFirmwaresAnswersByTheirShape) {
  const auto shaped = [](std::string_view p) {
    return ReplyShaped(reinterpret_cast<const std::uint8_t*>(p.data()),
                       static_cast<int32_t>(p.size()));
  };
  for (const char* reply :
       {"*c\r\n", "**\r\n", "*1\r\n", "!\xB5\r\n", "*v1.4\r\n", "*rKS00000001\r\n", "*7B\r\n"})
    EXPECT_TRUE(shaped(reply)) << reply;
  for (const char* stream : {"*c", "*c\r", "*c\n", "$GPGLL\r\n", "*rKS000000012\r\n",
                             "*c\r\n$GPGGA", "*v1\r\n4\r\n", "A*c\r\n"})
    EXPECT_FALSE(shaped(stream)) << stream;
}

// More packets wait than the ring tells apart: the oldest run together, the reply behind
// them is still found and lifted out, and the stream closes up around it.
TEST_F(UsbLinkTest, ReplyFoundBehindMorePacketsThanTheRingHolds) {
  ASSERT_TRUE(link_.OpenDevice());
  UsbLink::ReplyWanted wanted;
  wanted.block = link_.BlockGoesOut();
  wanted.head[0] = '*';
  wanted.head[1] = 'c';
  std::string sent;
  const auto deliver = [&](const std::string& packet) {
    LinkState& s = link_.State();
    std::lock_guard lock(s.HandOver);
    std::memcpy(s.RxBuffer + s.RxLength, packet.data(), packet.size());
    s.RxLength += static_cast<int32_t>(packet.size());
    s.NotePacket(s.BlocksOut);
  };
  for (int i = 0; i < kPacketRing + 22; ++i) {
    const std::string packet(1, static_cast<char>('A' + i % 26));
    deliver(packet);
    sent += packet;
  }
  deliver("*c\r\n");
  deliver("$GPGLL*31\r\n$GP");
  sent += "$GPGLL*31\r\n";
  std::uint8_t chunk[kRxBufferSize];
  const UsbLink::Taken taken =
      link_.TakeChunk(chunk, kRxBufferSize - 1, UsbLink::TakeWhen::kWholeSentences, &wanted);
  EXPECT_EQ(taken.reply, 4);
  EXPECT_EQ(
      std::string(reinterpret_cast<const char*>(chunk), static_cast<std::size_t>(taken.length)),
      "*c\r\n" + sent);
  EXPECT_TRUE(taken.unfinished);
  EXPECT_EQ(RxWaiting(link_), 3);
}

}  // namespace
}  // namespace ostrel
