// Command blocks in the queue: the framing rules, the receiver commands and the
// maintenance actions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/command_queue.h"
#include "receiver/antaris.h"
#include "receiver/maintenance.h"
#include "receiver/ubx.h"

namespace ostrel {
namespace {

constexpr int32_t kBlock = 64;

// One expected 64-byte block: marker, payload, '_' fill.
std::string Block(char marker, std::string_view payload) {
  std::string b(1, marker);
  b += payload;
  b.resize(kBlock, '_');
  return b;
}

template <std::size_t N>
std::string Frame(const std::array<std::uint8_t, N>& f) {
  return {f.begin(), f.end()};
}

const std::string kEnd = Block('*', "*");
const std::string kBegin = Block('*', "c");

// The blocks from SendPos to EndPos; checks the 0 byte after the last one.
std::vector<std::string> Queued(const CommandQueue& q) {
  std::vector<std::string> blocks;
  const auto* data = reinterpret_cast<const char*>(q.Data());
  for (int32_t p = q.SendPos(); p < q.EndPos(); p += kBlock) blocks.emplace_back(data + p, kBlock);
  EXPECT_EQ(q.Data()[q.EndPos()], 0) << "queue not terminated";
  return blocks;
}

bool Append(CommandQueue& q, std::string_view bytes, bool control, int32_t block = kBlock) {
  return AppendBlocks(q, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), control,
                      block);
}

// --- framing -----------------------------------------------------------------------------

TEST(CommandQueue, BlockFraming) {
  const std::string s63(63, 'x');
  const std::string s64(64, 'y');
  const struct {
    const char* name;
    std::string bytes;
    std::vector<std::string> blocks;
  } cases[] = {
      {"63 bytes: one block, no fill", s63, {"!" + s63}},
      {"64 bytes: two blocks", s64, {"!" + s64.substr(0, 63), Block('!', "y")}},
      {"0 bytes: nothing", "", {}},
      {"28-byte frame", Frame(ubx::kCfgPrt9600), {Block('!', Frame(ubx::kCfgPrt9600))}},
      {"16-byte frame", Frame(ubx::kSbasOn), {Block('!', Frame(ubx::kSbasOn))}},
      {"14-byte frame", Frame(ubx::kEnableNavSol), {Block('!', Frame(ubx::kEnableNavSol))}},
      {"fill bytes in the payload are copied", "a__", {Block('!', "a__")}},
  };
  for (const auto& c : cases) {
    CommandQueue q;
    EXPECT_TRUE(Append(q, c.bytes, false)) << c.name;
    q.Data()[q.EndPos()] = 0;  // AppendBlocks leaves that to EndSequence
    EXPECT_EQ(Queued(q), c.blocks) << c.name;
  }
  EXPECT_EQ(Block('!', Frame(ubx::kCfgPrt9600)).substr(29), std::string(35, '_'));
  EXPECT_EQ(Block('!', Frame(ubx::kSbasOn)).substr(17), std::string(47, '_'));
  EXPECT_EQ(Block('!', Frame(ubx::kEnableNavSol)).substr(15), std::string(49, '_'));
}

TEST(CommandQueue, ZeroPayloadByteKeepsTheQueuePending) {
  CommandQueue q;
  const std::string zero(1, '\0');
  ASSERT_TRUE(Append(q, zero, false));
  EndSequence(q, kBlock);
  EXPECT_TRUE(q.Pending());
  EXPECT_EQ(Queued(q), (std::vector<std::string>{Block('!', zero), kEnd}));
}

TEST(CommandQueue, ThousandTwentyThreeBlocksFitAndNoMore) {
  CommandQueue q;
  const std::string one(1, 'z');
  for (int i = 0; i < 1023; ++i) ASSERT_TRUE(Append(q, one, false)) << i;
  EXPECT_EQ(q.EndPos(), 8 + 1023 * kBlock);
  EXPECT_FALSE(Append(q, one, false));
  EXPECT_EQ(q.EndPos(), 8 + 1023 * kBlock);

  // A run needing more blocks than are left is refused whole.
  CommandQueue r;
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(Append(r, one, false));
  const int32_t end = r.EndPos();
  EXPECT_FALSE(Append(r, std::string(std::size_t{24} * 63, 'w'), false));
  EXPECT_EQ(r.EndPos(), end);
  EXPECT_TRUE(Append(r, std::string(std::size_t{23} * 63, 'w'), false));
}

TEST(CommandQueue, BeginSequenceDropsWhatWasNotSent) {
  CommandQueue q;
  BeginSequence(q, kBlock);
  Append(q, "old", false);
  EndSequence(q, kBlock);
  q.SetSendPos(q.SendPos() + kBlock);  // the begin block was sent and acknowledged
  BeginSequence(q, kBlock);
  Append(q, "new", false);
  EndSequence(q, kBlock);
  EXPECT_EQ(q.SendPos(), kFirstBlock);
  EXPECT_EQ(Queued(q), (std::vector<std::string>{kBegin, Block('!', "new"), kEnd}));
}

TEST(CommandQueue, BlockSizeZeroIsFramedAsSixtyFour) {
  CommandQueue q;
  ASSERT_TRUE(QueueQueryVersion(q, 0));
  EXPECT_EQ(Queued(q), (std::vector<std::string>{Block('*', "v"), kEnd}));
}

// --- receiver commands -------------------------------------------------------------------

TEST(ReceiverCommands, EachQueuesItsFramesAndTexts) {
  const struct {
    const char* name;
    bool (*run)(CommandQueue&, int32_t);
    std::vector<std::string> blocks;
  } cases[] = {
      {"9600", TAntaris::SetBaud9600, {Block('!', Frame(ubx::kCfgPrt9600)), Block('*', "9600")}},
      {"19200",
       TAntaris::SetBaud19200,
       {Block('!', Frame(ubx::kCfgPrt19200)), Block('*', "19200")}},
      {"WAAS on",
       [](CommandQueue& q, int32_t b) { return TAntaris::SetWAAS(q, b, true); },
       {Block('!', Frame(ubx::kSbasOn))}},
      {"WAAS off",
       [](CommandQueue& q, int32_t b) { return TAntaris::SetWAAS(q, b, false); },
       {Block('!', Frame(ubx::kSbasOff))}},
      {"status messages",
       TAntaris::EnableStatusMessages,
       {Block('!', Frame(ubx::kEnableNavSol)), Block('!', Frame(ubx::kEnableNavSbas))}},
  };
  for (const auto& c : cases) {
    CommandQueue queue;
    ASSERT_TRUE(c.run(queue, kBlock)) << c.name;
    EndSequence(queue, kBlock);
    const auto blocks = Queued(queue);
    ASSERT_EQ(blocks.size(), c.blocks.size() + 1) << c.name;
    EXPECT_EQ(std::vector<std::string>(blocks.begin(), blocks.end() - 1), c.blocks) << c.name;
  }
  EXPECT_EQ(Block('*', "19200"), "*19200" + std::string(58, '_'));
}

TEST(ReceiverCommands, WithoutRoomNothingIsAppended) {
  CommandQueue queue;
  for (int i = 0; i < 1022; ++i) ASSERT_TRUE(Append(queue, "z", false));
  const int32_t end = queue.EndPos();
  // Two blocks, room for one: neither goes in.
  EXPECT_FALSE(TAntaris::SetBaud19200(queue, kBlock));
  EXPECT_FALSE(TAntaris::EnableStatusMessages(queue, kBlock));
  EXPECT_EQ(queue.EndPos(), end);
  EXPECT_TRUE(TAntaris::SetWAAS(queue, kBlock, false));
}

// --- maintenance ------------------------------------------------------------------------

TEST(Maintenance, SingleLetterCommands) {
  const struct {
    const char* name;
    bool (*run)(CommandQueue&, int32_t);
    char letter;
  } cases[] = {
      {"Query Version", QueueQueryVersion, 'v'},
      {"Erase", QueueEraseEEPROM, 'e'},
      {"Read Serial #", QueueReadEEPROM, 'r'},
  };
  for (const auto& c : cases) {
    CommandQueue q;
    ASSERT_TRUE(c.run(q, kBlock)) << c.name;
    EXPECT_EQ(Queued(q), (std::vector<std::string>{Block('*', std::string(1, c.letter)), kEnd}))
        << c.name;
  }
  EXPECT_EQ(Block('*', "v"), "*v" + std::string(62, '_'));
}

TEST(Maintenance, WriteSerialNumber) {
  CommandQueue q;
  ASSERT_TRUE(QueueWriteEEPROM(q, kBlock, "ABCDEFGHIJ"));
  EXPECT_EQ(Queued(q), (std::vector<std::string>{"*wABCDEFGHIJ" + std::string(52, '_'), kEnd}));
  // Only the first ten characters go.
  CommandQueue longer;
  ASSERT_TRUE(QueueWriteEEPROM(longer, kBlock, "0123456789XYZ"));
  EXPECT_EQ(Queued(longer)[0], Block('*', "w0123456789"));
}

TEST(Maintenance, ShortSerialNumberIsRefusedAndQueuesNothing) {
  for (std::string_view serial : {"ABCDEFGHI", "", "A"}) {
    CommandQueue q;
    QueueQueryVersion(q, kBlock);
    const std::vector<std::string> before = Queued(q);
    EXPECT_THROW(QueueWriteEEPROM(q, kBlock, serial), SerialNumberError) << serial;
    EXPECT_EQ(Queued(q), before) << serial;
  }
}

TEST(Maintenance, ResetLeavesTheEndBlockAlone) {
  CommandQueue queue;
  BeginSequence(queue, kBlock);
  TAntaris::SetBaud9600(queue, kBlock);
  TAntaris::SetWAAS(queue, kBlock, true);
  EndSequence(queue, kBlock);
  queue.SetSendPos(queue.SendPos() + 2 * kBlock);  // part of it sent
  ResetGPS(queue, kBlock);
  EXPECT_EQ(queue.SendPos(), kFirstBlock);
  EXPECT_EQ(Queued(queue), (std::vector<std::string>{kEnd}));
}

TEST(Maintenance, BaudCommandsAppendBehindWhatIsQueued) {
  CommandQueue queue;
  ASSERT_TRUE(QueueBaud9600(queue, kBlock));
  queue.SetSendPos(queue.SendPos() + kBlock);  // the first block is on its way
  ASSERT_TRUE(QueueBaud19200(queue, kBlock));
  EXPECT_EQ(Queued(queue), (std::vector<std::string>{Block('*', "9600"), kEnd,
                                                     Block('!', Frame(ubx::kCfgPrt19200)),
                                                     Block('*', "19200"), kEnd}));
}

TEST(Maintenance, StatusRequestIsASequenceOfItsOwn) {
  CommandQueue queue;
  QueueQueryVersion(queue, kBlock);
  ASSERT_TRUE(QueueStatusRequest(queue, kBlock));
  EXPECT_EQ(Queued(queue),
            (std::vector<std::string>{kBegin, Block('!', Frame(ubx::kEnableNavSol)),
                                      Block('!', Frame(ubx::kEnableNavSbas)), kEnd}));
}

// A restart goes behind what is queued, as one data block and the end block.
TEST(Maintenance, RestartAppendsItsFrameAndTheEnd) {
  for (const auto kind :
       {ubx::RestartKind::kCold, ubx::RestartKind::kWarm, ubx::RestartKind::kHot}) {
    CommandQueue queue;
    QueueQueryVersion(queue, kBlock);
    ASSERT_TRUE(QueueRestart(queue, kBlock, kind));
    const auto& frame = ubx::RestartFrame(kind);
    EXPECT_EQ(Queued(queue), (std::vector<std::string>{
                                 Block('*', "v"), kEnd,
                                 Block('!', std::string(frame.begin(), frame.end())), kEnd}));
  }
  CommandQueue full;
  for (int i = 0; i < 1022; ++i) ASSERT_TRUE(Append(full, "z", false));
  const int32_t end = full.EndPos();
  EXPECT_FALSE(QueueRestart(full, kBlock, ubx::RestartKind::kCold));
  EXPECT_EQ(full.EndPos(), end);
}

TEST(Maintenance, ActionsAreWholeOrNothing) {
  CommandQueue queue;
  for (int i = 0; i < 1021; ++i) ASSERT_TRUE(Append(queue, "z", false));
  const int32_t end = queue.EndPos();
  EXPECT_FALSE(QueueBaud9600(queue, kBlock));  // needs three blocks, two are left
  EXPECT_EQ(queue.EndPos(), end);
  EXPECT_TRUE(QueueQueryVersion(queue, kBlock));  // two blocks fit
  EXPECT_FALSE(QueueReadEEPROM(queue, kBlock));
  EXPECT_EQ(queue.EndPos(), end + 2 * kBlock);
}

}  // namespace
}  // namespace ostrel
