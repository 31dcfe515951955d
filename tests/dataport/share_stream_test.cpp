// The stream as extra consumers get it: cut into whole messages, filtered by sentence
// type, handed on a batch at a time, queued per consumer with whole-message losses.
#include "dataport/share_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/nmea_sentence.h"
#include "support/param_name.h"

namespace ostrel {
namespace {

const std::string kGga =
    "$GPGGA,092750.000,5321.6802,N,00630.3372,W,1,8,1.03,61.7,M,55.2,M,,*76\r\n";
const std::string kRmc =
    "$GNRMC,092751.000,A,5321.6802,N,00630.3371,W,0.06,31.66,280511,,,A*45\r\n";
const std::string kGsa = "$GPGSA,A,3,10,07,05,02,29,04,08,13,,,,,1.72,1.03,1.38*0A\r\n";
// NAV-SOL's header with a length of 4, an LF among its payload bytes, and a checksum.
const std::string kFrame = std::string("\xB5\x62\x01\x06\x04\x00\x0A\x0A\x00\x01\x20\x91", 12);

std::vector<std::string> Split(const std::vector<std::string>& pieces) {
  MessageSplitter splitter;
  std::vector<std::string> out;
  for (const std::string& p : pieces) {
    splitter.Feed(reinterpret_cast<const std::uint8_t*>(p.data()), p.size(),
                  [&out](const std::uint8_t* b, std::size_t n) {
                    out.emplace_back(reinterpret_cast<const char*>(b), n);
                  });
  }
  return out;
}

struct SplitCase {
  const char* name;
  std::vector<std::string> pieces;
  std::vector<std::string> messages;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

class MessageSplitterTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(MessageSplitterTest, GivesWholeMessagesInOrder) {
  EXPECT_EQ(Split(GetParam().pieces), GetParam().messages);
}

INSTANTIATE_TEST_SUITE_P(
    Share, MessageSplitterTest,
    ::testing::Values(
        SplitCase{"sentences_in_one_write", {kGga + kRmc + kGsa}, {kGga, kRmc, kGsa}},
        SplitCase{"sentence_cut_between_writes",
                  {kGga + kRmc.substr(0, 20), kRmc.substr(20)},
                  {kGga, kRmc}},
        SplitCase{
            "frame_with_lf_inside_is_one_message", {kGga + kFrame + kRmc}, {kGga, kFrame, kRmc}},
        SplitCase{"frame_cut_in_its_header",
                  {kFrame.substr(0, 3), kFrame.substr(3) + kGsa},
                  {kFrame, kGsa}},
        SplitCase{"noise_up_to_a_frame", {"\x01\x02\x03" + kFrame}, {"\x01\x02\x03", kFrame}},
        SplitCase{"unfinished_sentence_waits", {kGga + "$GPRMC,0927"}, {kGga}},
        SplitCase{"endless_line_goes_in_pieces_of_the_limit",
                  {std::string(kMaxMessage + 10, 'x') + "\n"},
                  {std::string(kMaxMessage, 'x'), std::string(10, 'x') + "\n"}}),
    test::ParamName());

bool Passes(const SentenceFilter& f, const std::string& m) {
  return f.Passes(reinterpret_cast<const std::uint8_t*>(m.data()), m.size());
}

TEST(SentenceFilter, ChoosesTypesWhateverTheTalker) {
  const SentenceFilter filter({"RMC", "GGA"});
  EXPECT_TRUE(Passes(filter, kGga));
  EXPECT_TRUE(Passes(filter, kRmc));  // GN talker
  EXPECT_FALSE(Passes(filter, kGsa));
  EXPECT_FALSE(Passes(filter, kFrame));
  EXPECT_FALSE(Passes(filter, "$PUBX,00,...*33\r\n"));
  const SentenceFilter none({});
  EXPECT_TRUE(Passes(none, kGsa));
  EXPECT_TRUE(Passes(none, kFrame));
}

TEST(ConsumerQueue, LosesWholeMessagesWhenFullAndCatchesUp) {
  ConsumerQueue queue(2 * kGga.size() + 5);
  const auto push = [&queue](const std::string& m) {
    return queue.Push(reinterpret_cast<const std::uint8_t*>(m.data()), m.size());
  };
  EXPECT_TRUE(push(kGga));
  EXPECT_TRUE(push(kGga));
  EXPECT_FALSE(push(kRmc));  // no room: lost whole
  EXPECT_EQ(queue.LostMessages(), 1U);
  EXPECT_EQ(queue.LostBytes(), kRmc.size());
  // Part of the first goes out; the rest of it stays first and is finished before any other.
  queue.Consume(10);
  EXPECT_FALSE(push(kGsa));
  queue.Consume(kGga.size() - 10);
  EXPECT_TRUE(push(kGsa));
  const std::string waiting(reinterpret_cast<const char*>(queue.Front()), queue.Size());
  EXPECT_EQ(waiting, kGga + kGsa);
  EXPECT_EQ(queue.SentBytes(), kGga.size());
  EXPECT_EQ(queue.LostMessages(), 2U);
}

// A consumer's transport that takes at most `room` bytes, as a socket or pseudo-terminal
// whose client reads slowly or not at all.
struct Wire {
  static constexpr std::size_t kAny = std::numeric_limits<std::size_t>::max();
  std::string got;
  std::size_t room = kAny;
  int sends = 0;
  SendBytes send = [this](const std::uint8_t* bytes, std::size_t count) {
    ++sends;
    const std::size_t taken = std::min(count, room);
    got.append(reinterpret_cast<const char*>(bytes), taken);
    if (room != kAny) room -= taken;
    return taken;
  };
};

const MessageBatch& Next(MessageBatcher& batcher, const std::string& piece) {
  return batcher.Next(reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size());
}

TEST(FanOut, SentenceCutBetweenWritesGoesWholeInOneSendOfTheWriteThatEndsIt) {
  MessageBatcher batcher({"RMC", "GSA"});
  ConsumerQueue queue(kMaxMessage);
  Wire wire;
  Deliver(queue, Next(batcher, kGga + kRmc.substr(0, 20)), wire.send);
  EXPECT_EQ(wire.sends, 0);  // GGA is filtered out, the RMC not whole yet
  Deliver(queue, Next(batcher, kRmc.substr(20) + kGsa + kRmc.substr(0, 30)), wire.send);
  EXPECT_EQ(wire.got, kRmc + kGsa);
  EXPECT_EQ(wire.sends, 1);
  Deliver(queue, Next(batcher, kRmc.substr(30)), wire.send);
  EXPECT_EQ(wire.got, kRmc + kGsa + kRmc);
  EXPECT_EQ(wire.sends, 2);
  EXPECT_EQ(queue.SentBytes(), wire.got.size());
  EXPECT_EQ(queue.LostMessages(), 0U);
}

TEST(FanOut, MessageCutByTheWireIsFinishedFirstAndLaterOnesLostWhole) {
  MessageBatcher batcher({});
  ConsumerQueue queue(kGga.size() + kRmc.size());
  Wire wire;
  wire.room = 10;
  // Ten bytes of the GGA go; its rest and the RMC fill the queue; the GSA is lost.
  Deliver(queue, Next(batcher, kGga + kRmc + kGsa), wire.send);
  EXPECT_EQ(queue.LostMessages(), 1U);
  // Behind what waits, nothing fits, nothing goes.
  Deliver(queue, Next(batcher, kRmc), wire.send);
  EXPECT_EQ(queue.LostMessages(), 2U);
  EXPECT_EQ(queue.LostBytes(), kGsa.size() + kRmc.size());
  EXPECT_EQ(wire.got, kGga.substr(0, 10));
  // The client reads again: what waited, in order, then the live stream.
  wire.room = Wire::kAny;
  EXPECT_TRUE(Drain(queue, wire.send));
  Deliver(queue, Next(batcher, kGsa), wire.send);
  EXPECT_EQ(wire.got, kGga + kRmc + kGsa);
  EXPECT_EQ(queue.SentBytes(), wire.got.size());
}

// Whatever the transport takes batch by batch, the client gets whole messages in the
// stream's order, and every message is either sent or counted lost.
TEST(FanOut, WholeMessagesInOrderWhateverTheWireTakes) {
  std::vector<std::string> messages;
  std::string stream;
  for (int i = 0; i < 600; ++i) {
    messages.push_back(test::NmeaSentence("GPTXT,01,01,02," + std::to_string(i) +
                                          std::string(static_cast<std::size_t>(i % 50), 'x')));
    stream += messages.back();
  }
  std::mt19937 random(22);
  MessageBatcher batcher({});
  ConsumerQueue queue(400);
  Wire wire;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t piece = std::uniform_int_distribution<std::size_t>(1, 300)(random);
    const std::size_t room[] = {0, 7, 60, 500, Wire::kAny};
    wire.room = room[std::uniform_int_distribution<std::size_t>(0, 4)(random)];
    Deliver(queue, Next(batcher, stream.substr(at, piece)), wire.send);
    if (random() % 4 == 0) Drain(queue, wire.send);  // the socket said it was writable
    at += piece;
  }
  wire.room = Wire::kAny;
  EXPECT_TRUE(Drain(queue, wire.send));

  std::vector<std::string> got;
  MessageSplitter splitter;
  splitter.Feed(reinterpret_cast<const std::uint8_t*>(wire.got.data()), wire.got.size(),
                [&got](const std::uint8_t* b, std::size_t n) {
                  got.emplace_back(reinterpret_cast<const char*>(b), n);
                });
  EXPECT_EQ(splitter.Waiting(), 0U) << "the last message was cut";
  auto from = messages.begin();
  for (const std::string& m : got) {
    from = std::find(from, messages.end(), m);
    ASSERT_NE(from, messages.end()) << "cut, mixed or out of order: " << m;
    ++from;
  }
  EXPECT_GT(queue.LostMessages(), 0U);
  EXPECT_GT(got.size(), messages.size() / 4);
  EXPECT_EQ(got.size() + queue.LostMessages(), messages.size());
  EXPECT_EQ(queue.SentBytes(), wire.got.size());
  EXPECT_EQ(queue.SentBytes() + queue.LostBytes(), stream.size());
}

}  // namespace
}  // namespace ostrel
