// The command sender as the tick runs it: one block per tick, judged by the module's
// reply, over the real link and queue with a fake module behind the driver seam.
#include "receive/command_sender.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "receiver/maintenance.h"
#include "rig.h"
#include "samples.h"

namespace ostrel::testing {
namespace {

std::string EndBlock() { return "**" + std::string(62, '_'); }

TEST(CommandSender, ThreeBlocksAcknowledgedInThreeTicks) {
  Rig rig;
  rig.Open();
  rig.driver.reply = Echo;
  ASSERT_TRUE(BeginSequence(rig.queue, 64));
  const std::string data = "\xB5\x62\x06\x16";
  ASSERT_TRUE(AppendBlocks(rig.queue, reinterpret_cast<const std::uint8_t*>(data.data()),
                           data.size(), false, 64));
  ASSERT_TRUE(EndSequence(rig.queue, 64));
  const std::vector<std::string> blocks = {rig.Block(8), rig.Block(72), rig.Block(136)};

  std::vector<std::string> texts;
  for (int i = 0; i < 3; ++i) {
    rig.cycle.Tick();
    texts.push_back(rig.view.message_status);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"Sending command..., 1, OK",
                                             "Sending command..., 1, OK",
                                             "Sending command..., 1 completed! (Failed: 0)"}));
  EXPECT_EQ(rig.queue.SendPos(), 8);
  EXPECT_FALSE(rig.queue.Pending());
  EXPECT_EQ(rig.driver.writes, blocks);  // whole blocks, marker and fill, in order
  EXPECT_EQ(rig.clock.slept, 300);       // 100 ms after each block
  EXPECT_EQ(rig.cycle.Sender().SendCount, 0);
  EXPECT_EQ(rig.view.connection_label, "");  // acknowledgements are not status messages

  rig.cycle.Tick();  // idle queue: nothing more is sent
  EXPECT_EQ(rig.driver.writes.size(), 3u);
}

TEST(CommandSender, SendStepDropsBytesWaitingBeforeTheBlock) {
  Rig rig;
  rig.Open();
  Deliver(rig.link, "$GPGGA,0307");  // unfinished: would otherwise wait for its LF
  ASSERT_TRUE(QueueQueryVersion(rig.queue, 64));
  rig.driver.reply = [](std::string_view) { return std::string("*v123"); };
  rig.cycle.Tick();
  EXPECT_EQ(rig.view.stream, (std::vector<std::string>{"*v123"}));
}

struct ContentReply {
  const char* name;
  char command;
  std::string reply;
  std::string text;         // into EEPROMSerial or FirmwareVersion
  std::string chunk_after;  // the chunk the rest of the tick sees
};

TEST(CommandSender, SerialNumberAndVersionReplies) {
  using namespace std::string_literals;
  const std::vector<ContentReply> cases = {
      {"serial with CR LF", 'r', "*r0123456789\r\n", "0123456789", "*r0123456789\0\n"s},
      {"serial exactly 12 bytes", 'r', "*r0123456789", "0123456789", "*r0123456789"},
      {"serial cut short", 'r', "*r0123", "0123", "*r0123"},
      {"serial with a NUL", 'r', "*r01\0" "3456789\r\n"s, "01", "*r01\0" "3456789\0\n"s},
      {"version", 'v', "*v123", "123", "*v123"},
      {"version of one digit", 'v', "*v1", "1", "*v1"},
      {"version with more", 'v', "*v123\r\n", "123", "*v123\0\n"s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.Open();
    rig.view.eeprom_serial = rig.view.firmware_version = "untouched";
    rig.driver.reply = [&](std::string_view) { return c.reply; };
    ASSERT_TRUE(c.command == 'r' ? QueueReadEEPROM(rig.queue, 64) : QueueQueryVersion(rig.queue, 64));
    rig.cycle.Tick();
    EXPECT_EQ(c.command == 'r' ? rig.view.eeprom_serial : rig.view.firmware_version, c.text);
    EXPECT_EQ(c.command == 'r' ? rig.view.firmware_version : rig.view.eeprom_serial, "untouched");
    ASSERT_EQ(rig.view.stream.size(), 1u);
    EXPECT_EQ(rig.view.stream[0], c.chunk_after);
    EXPECT_EQ(rig.view.message_status, "Sending command..., 1, OK");
  }
}

// A data block whose payload begins with 'r' is acknowledged "!r"; that is not a serial
// number and must leave the edit and the chunk alone.
TEST(CommandSender, DataBlockStartingWithRIsNotASerialNumber) {
  Rig rig;
  rig.Open();
  rig.view.eeprom_serial = "ABCDEFGHIJ";
  rig.driver.reply = [](std::string_view) { return std::string("!r0123456789\r\n"); };
  ASSERT_TRUE(AppendBlocks(rig.queue, reinterpret_cast<const std::uint8_t*>("rst"), 3, false, 64));
  ASSERT_TRUE(EndSequence(rig.queue, 64));
  rig.cycle.Tick();
  EXPECT_EQ(rig.view.eeprom_serial, "ABCDEFGHIJ");
  EXPECT_EQ(rig.view.stream, (std::vector<std::string>{"!r0123456789\r\n"}));
  EXPECT_EQ(rig.view.message_status, "Sending command..., 1, OK");
}

struct FailureCase {
  const char* name;
  std::string reply;
};

TEST(CommandSender, UnacknowledgedBlockLeavesTheEndBlockAlone) {
  const std::vector<FailureCase> cases = {
      {"NMEA instead of the reply", kGGA},
      {"no reply within the tick", ""},
      {"reply to another block", "*v123"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.Open();
    ASSERT_TRUE(BeginSequence(rig.queue, 64));
    ASSERT_TRUE(AppendBlocks(rig.queue, reinterpret_cast<const std::uint8_t*>("data"), 4, false, 64));
    ASSERT_TRUE(EndSequence(rig.queue, 64));
    rig.driver.reply = [&](std::string_view) { return c.reply; };
    rig.cycle.Tick();
    EXPECT_EQ(rig.view.message_status, "Sending command..., 1 failed! (Failed: 1)");
    EXPECT_EQ(rig.queue.SendPos(), 8);
    EXPECT_EQ(rig.queue.EndPos(), 72);
    EXPECT_EQ(rig.Block(8), EndBlock());
    EXPECT_EQ(rig.queue.Data()[72], 0);
    EXPECT_EQ(rig.cycle.Sender().SendCount, 0);
  }
}

// A one-byte reply meets the block's second byte with the chunk's NUL, never with what an
// earlier chunk left in the buffer.
TEST(CommandSender, OneByteReplyIsComparedWithItsNul) {
  Rig rig;
  rig.Open();
  Deliver(rig.link, "**\n");
  rig.cycle.Tick();
  ASSERT_EQ(rig.view.stream, (std::vector<std::string>{"**\n"}));
  ASSERT_TRUE(EndSequence(rig.queue, 64));
  rig.driver.reply = [](std::string_view) { return std::string("*"); };
  rig.cycle.Tick();
  EXPECT_EQ(rig.view.message_status, "Sending command..., 1 failed! (Failed: 1)");
  EXPECT_EQ(rig.view.stream.back(), "*");
}

TEST(CommandSender, FailedCountKeepsCountingAcrossSequences) {
  Rig rig;
  rig.Open();
  ASSERT_TRUE(BeginSequence(rig.queue, 64));
  ASSERT_TRUE(EndSequence(rig.queue, 64));

  rig.driver.reply = [](std::string_view) { return std::string("$G"); };
  rig.cycle.Tick();
  EXPECT_EQ(rig.view.message_status, "Sending command..., 1 failed! (Failed: 1)");

  rig.driver.reply = Echo;  // the lone end block goes through
  rig.cycle.Tick();
  EXPECT_EQ(rig.view.message_status, "Sending command..., 1 completed! (Failed: 1)");

  ASSERT_TRUE(QueueQueryVersion(rig.queue, 64));  // a later sequence, not answered
  rig.driver.reply = nullptr;
  rig.cycle.Tick();
  EXPECT_EQ(rig.view.message_status, "Sending command..., 1 failed! (Failed: 2)");
  EXPECT_EQ(rig.cycle.Sender().FailedCount, 2);
}

TEST(CommandSender, ModuleThatNeverAnswersGetsTheEndBlockEveryTick) {
  Rig rig;
  rig.Open();
  ASSERT_TRUE(QueueQueryVersion(rig.queue, 64));
  rig.driver.reply = [](std::string_view) { return kGGA; };
  for (int i = 1; i <= 3; ++i) rig.cycle.Tick();
  EXPECT_EQ(rig.cycle.Sender().FailedCount, 3);
  EXPECT_EQ(rig.driver.writes.back(), EndBlock());
  EXPECT_EQ(rig.view.message_status, "Sending command..., 1 failed! (Failed: 3)");
}

// Bytes 64 and 65 of an acknowledging chunk become CR LF before the chunk goes on.
TEST(CommandSender, LongAcknowledgementGetsCrLfAt64And65) {
  struct Case {
    std::size_t length;
    std::string tail;  // bytes 64 on, as they reach the port
  };
  const std::vector<Case> cases = {
      {100, "\r\n" + std::string(34, 'x')},
      {66, "\r\n"},
      {65, "\r"},
      {64, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    Rig rig;
    rig.Open();
    rig.cycle.PassBinaryData = true;
    const std::string reply = "*c" + std::string(c.length - 2, 'x');
    rig.driver.reply = [&](std::string_view) { return reply; };
    ASSERT_TRUE(BeginSequence(rig.queue, 64));
    ASSERT_TRUE(EndSequence(rig.queue, 64));
    rig.cycle.Tick();
    ASSERT_EQ(rig.port.writes.size(), 1u);
    const std::string& sent = rig.port.writes[0];
    ASSERT_EQ(sent.size(), c.length);
    EXPECT_EQ(sent.substr(0, 64), reply.substr(0, 64));
    EXPECT_EQ(sent.substr(64), c.tail);
    ASSERT_EQ(rig.view.stream.size(), 1u);
    EXPECT_EQ(rig.view.stream[0], sent);
    EXPECT_TRUE(rig.view.stream_terminated[0]);
  }
}

}  // namespace
}  // namespace ostrel::testing
