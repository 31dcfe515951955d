// The command sender as the tick runs it: one block per tick, judged by the module's
// reply, over the real link and queue with a fake module behind the driver seam.
#include "receive/command_sender.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "receiver/maintenance.h"
#include "receiver/ubx.h"
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
  EXPECT_EQ(texts,
            (std::vector<std::string>{"Sending command..., 1, OK", "Sending command..., 1, OK",
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

// A sentence unfinished when the block goes out is neither dropped nor cut: it waits for
// its LF and goes to the port whole, without the reply that came in between.
TEST(CommandSender, BytesWaitingWhenTheBlockGoesOutAreKept) {
  Rig rig;
  rig.Open();
  Deliver(rig.link, kGGA.substr(0, 11));
  ASSERT_TRUE(QueueQueryVersion(rig.queue, 64));
  rig.driver.reply = [](std::string_view) { return std::string("*v123"); };
  rig.cycle.Tick();
  EXPECT_EQ(rig.view.firmware_version, "123");
  EXPECT_EQ(rig.view.stream, (std::vector<std::string>{"*v123"}));
  EXPECT_TRUE(rig.port.writes.empty());
  Deliver(rig.link, kGGA.substr(11));
  rig.cycle.Tick();
  EXPECT_EQ(rig.port.All(), kGGA);
}

struct ContentReply {
  const char* name;
  char command;
  std::string reply;
  std::string text;  // into EEPROMSerial or FirmwareVersion
};

TEST(CommandSender, SerialNumberAndVersionReplies) {
  using namespace std::string_literals;
  const std::vector<ContentReply> cases = {
      {"serial with CR LF", 'r', "*r0123456789\r\n", "0123456789"},
      {"serial exactly 12 bytes", 'r', "*r0123456789", "0123456789"},
      {"serial cut short", 'r', "*r0123", "0123"},
      {"serial with a NUL", 'r',
       "*r01\0"
       "3456789\r\n"s,
       "01"},
      {"version", 'v', "*v123", "123"},
      {"version of one digit", 'v', "*v1", "1"},
      {"version with more", 'v', "*v123\r\n", "123"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.Open();
    rig.view.eeprom_serial = rig.view.firmware_version = "untouched";
    rig.driver.reply = [&](std::string_view) { return c.reply; };
    ASSERT_TRUE(c.command == 'r' ? QueueReadEEPROM(rig.queue, 64)
                                 : QueueQueryVersion(rig.queue, 64));
    rig.cycle.Tick();
    EXPECT_EQ(c.command == 'r' ? rig.view.eeprom_serial : rig.view.firmware_version, c.text);
    EXPECT_EQ(c.command == 'r' ? rig.view.firmware_version : rig.view.eeprom_serial, "untouched");
    // The reply is shown as it came, and never forwarded.
    EXPECT_EQ(rig.view.stream, (std::vector<std::string>{c.reply}));
    EXPECT_TRUE(rig.port.writes.empty());
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
    ASSERT_TRUE(
        AppendBlocks(rig.queue, reinterpret_cast<const std::uint8_t*>("data"), 4, false, 64));
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

// A one-byte packet meets the block's second byte with a NUL: it is no reply, and it stays
// with the stream.
TEST(CommandSender, OneBytePacketIsNoReply) {
  Rig rig;
  rig.Open();
  ASSERT_TRUE(EndSequence(rig.queue, 64));
  rig.driver.reply = [](std::string_view) { return std::string("*"); };
  rig.cycle.Tick();
  EXPECT_EQ(rig.view.message_status, "Sending command..., 1 failed! (Failed: 1)");
  EXPECT_EQ(rig.RxLength(), 1);
}

// A reply that comes after its block was judged is still a reply: lifted out of the
// stream in the ticks that follow, shown, and never forwarded.
TEST(CommandSender, LateReplyNeverJoinsTheStream) {
  struct Case {
    const char* name;
    bool with_next_block;  // the late reply comes while the end block is out
  };
  for (const Case c : {Case{"with the end block's reply", true}, Case{"in an idle tick", false}}) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.Open();
    rig.cycle.PassBinaryData = true;
    ASSERT_TRUE(BeginSequence(rig.queue, 64));
    ASSERT_TRUE(EndSequence(rig.queue, 64));
    rig.cycle.Tick();  // "*c" is not answered in time
    EXPECT_EQ(rig.view.message_status, "Sending command..., 1 failed! (Failed: 1)");
    if (c.with_next_block) {
      rig.driver.reply = Echo;
      rig.driver.arrive = [&](const std::string& reply) {
        Deliver(rig.link, "*c\r\n");
        Deliver(rig.link, kGGA);
        Deliver(rig.link, reply);
      };
      rig.cycle.Tick();
      EXPECT_EQ(rig.view.message_status, "Sending command..., 1 completed! (Failed: 1)");
    } else {
      rig.driver.reply = Echo;
      rig.cycle.Tick();  // "**" goes through; the queue is idle after it
      Deliver(rig.link, kGGA.substr(0, 20));
      Deliver(rig.link, "*c\r\n");
      Deliver(rig.link, kGGA.substr(20));
      rig.cycle.Tick();
    }
    EXPECT_EQ(rig.port.All(), kGGA);
    EXPECT_NE(rig.view.stream.back().find("*c\r\n"), std::string::npos)
        << "the late reply is shown";
  }
}

// A module that answers every block twice: the second answer is owed to nobody, whether
// it comes in the same tick, in the next block's tick, or once the sequence is over (then
// taken between ticks); it is shown, and never joins the stream.
TEST(CommandSender, SecondAnswerOfAModuleThatAnswersTwiceIsNeverForwarded) {
  for (const bool pass : {true, false}) {
    SCOPED_TRACE(pass ? "every byte" : "NMEA only");
    Rig rig;
    rig.Open();
    rig.cycle.PassBinaryData = pass;
    ASSERT_TRUE(QueueBaud19200(rig.queue, 64));  // "*c", the CFG-PRT frame, "**"
    std::string owed;                            // the second answer, late
    rig.driver.reply = Echo;
    rig.driver.arrive = [&](const std::string& echo) {
      const std::string reply = echo + "\r\n";
      Deliver(rig.link, kGGA.substr(0, 25));
      if (!owed.empty()) Deliver(rig.link, owed);
      Deliver(rig.link, reply);
      Deliver(rig.link, kGGA.substr(25));
      if (echo == "!\xB5") {
        Deliver(rig.link, reply);  // at once
      } else {
        owed = reply;  // in the next tick, before its block goes out
      }
    };
    for (int i = 0; i < 3; ++i) rig.cycle.Tick();
    EXPECT_EQ(rig.view.message_status, "Sending command..., 1 completed! (Failed: 0)");
    // The last one, "**", once the sequence is over: between ticks, then in a tick.
    Deliver(rig.link, kRMC.substr(0, 10));
    Deliver(rig.link, owed);
    Deliver(rig.link, kRMC.substr(10));
    rig.cycle.OnLineArrived();
    Deliver(rig.link, owed);
    Deliver(rig.link, kGSA);
    rig.cycle.Tick();

    EXPECT_EQ(rig.port.All(), kGGA + kGGA + kGGA + kRMC + kGSA);
    std::string shown;
    for (const std::string& chunk : rig.view.stream) shown += chunk;
    for (const std::string reply : {"!\xB5\r\n", "*1\r\n", "**\r\n"}) {
      int seen = 0;
      for (auto at = shown.find(reply); at != std::string::npos; at = shown.find(reply, at + 1))
        ++seen;
      EXPECT_EQ(seen, reply == "**\r\n" ? 3 : 2) << reply;
    }
  }
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

std::string Packet(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

// A sentence whose checksum begins with `digit`: its "*hh" tail, cut off as a packet of
// its own, begins like the firmware's reply "*1" or "*9".
std::string SentenceWithChecksumStarting(char digit) {
  // Empty fields and the status letter move the first hex digit about.
  for (int commas = 0; commas < 16; ++commas) {
    for (char status = 'A'; status <= 'Z'; ++status) {
      std::string s = WithChecksum("GPGLL,4916.45,N,12311.12,W,225444," + std::string(1, status) +
                                   std::string(commas, ','));
      if (s[s.size() - 4] == digit) return s;
    }
  }
  return {};
}

// A NAV-SOL frame that holds "!" 0xB5 at payload bytes 20 and 21: cut there, its second
// packet begins like the reply to a data block of UBX.
std::string FrameHoldingADataReply() {
  std::vector<std::uint8_t> payload(52, 0);
  payload[20] = '!';
  payload[21] = ubx::kSync1;
  return Packet(ubx::MakeFrame(ubx::kClassNav, ubx::kIdNavSol, payload));
}

struct AroundCase {
  const char* name;
  std::string block;  // the block's content, without its marker
  bool control;
  std::vector<std::string> before;  // packets waiting when the block goes out
  std::string reply;
  std::vector<std::string> after;  // packets behind the reply, in this tick
};

// Every byte the receiver sent reaches the port whole and in order, with or without
// pass-through; the firmware's reply is recognised and never among them.
TEST(CommandSender, StreamAroundTheReplyGoesOnWholeAndUnaltered) {
  const std::string gll = SentenceWithChecksumStarting('1');
  const std::string frame = FrameHoldingADataReply();
  const std::size_t star = gll.find('*');
  const std::vector<AroundCase> cases = {
      {"reply cuts a sentence",
       "c",
       true,
       {kGGA.substr(0, 30)},
       "*c\r\n",
       {kGGA.substr(30) + kRMC}},
      {"whole sentences wait", "c", true, {kGGA, kGSA}, "*c\r\n", {kRMC}},
      {"nothing waits", "*", true, {}, "**\r\n", {kGGA}},
      {"checksum packet that looks like the reply",
       "19200",
       true,
       {gll.substr(0, star)},
       "*1\r\n",
       {gll.substr(star), kRMC}},
      {"frame packet that looks like the reply",
       "\xB5\x62\x06",
       false,
       {kGGA, frame.substr(0, 26)},
       "!\xB5\r\n",
       {frame.substr(26) + kRMC}},
  };
  for (const bool pass : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (pass ? ", every byte" : ", NMEA only"));
      Rig rig;
      rig.Open();
      rig.cycle.PassBinaryData = pass;
      ASSERT_TRUE(AppendBlocks(rig.queue, reinterpret_cast<const std::uint8_t*>(c.block.data()),
                               c.block.size(), c.control, 64));
      ASSERT_TRUE(EndSequence(rig.queue, 64));
      std::string stream;
      for (const auto& p : c.before) {
        Deliver(rig.link, p);
        stream += p;
      }
      rig.driver.reply = [&](std::string_view) { return c.reply; };
      rig.driver.arrive = [&](const std::string& reply) {
        Deliver(rig.link, reply);
        for (const auto& p : c.after) Deliver(rig.link, p);
      };
      for (const auto& p : c.after) stream += p;
      rig.cycle.Tick();

      EXPECT_EQ(rig.view.message_status, "Sending command..., 1, OK");
      ASSERT_EQ(rig.cycle.ReplyLength(), static_cast<int32_t>(c.reply.size()));
      ASSERT_EQ(rig.view.stream.size(), 1u);
      EXPECT_EQ(rig.view.stream[0], c.reply + stream);
      std::string expected = stream;
      if (!pass) {  // the NMEA run: the frame's bytes stay behind
        expected.clear();
        for (const std::string& s : {kGGA, kGSA, gll, kRMC})
          if (stream.find(s) != std::string::npos) expected += s;
      }
      EXPECT_EQ(rig.port.All(), expected);
    }
  }
}

}  // namespace
}  // namespace ostrel::testing
