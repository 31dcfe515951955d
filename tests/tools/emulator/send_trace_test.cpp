// The send trace: a line per message once its last byte has gone, and the lines, taken in
// order, are exactly the bytes on the wire.
#include "tools/emulator/send_trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace ostrel::emulator {
namespace {

std::span<const std::uint8_t> View(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string TracePath() {
  return (std::filesystem::temp_directory_path() /
          ("kastrel-trace-" + std::to_string(::getpid()) + ".txt"))
      .string();
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// What a trace line stands for on the wire.
std::string WireBytes(const std::string& line) {
  const std::string body = line.substr(line.find(' ') + 1);
  if (body[0] != '~' && body[0] != '@') return body + "\r\n";
  std::string bytes;
  for (std::size_t i = 1; i + 1 < body.size(); i += 2)
    bytes.push_back(static_cast<char>(std::stoi(body.substr(i, 2), nullptr, 16)));
  return bytes;
}

// One step of the sender's life: bytes queued, bytes sent, a reply, or a clear.
struct Step {
  enum Kind { kQueue, kSend, kReply, kClear } kind;
  std::string bytes;  // kQueue, kReply
  std::size_t count;  // kSend
  std::int64_t ns;
};

struct TraceCase {
  const char* name;
  std::vector<Step> steps;
  std::vector<std::string> lines;
  std::string wire;  // every byte sent, in wire order
};

const std::string kGga = "$GPGGA,101010.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
const std::string kVtg = "$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*48\r\n";
const std::string kUbx = std::string("\xB5\x62\x05\x01\x02\x00\x06\x01\x0F\x38", 10);

TEST(SendTrace, WritesEachMessageWhenItsLastByteHasGone) {
  const std::vector<TraceCase> cases = {
      {"a sentence in two packets is stamped with the second",
       {{Step::kQueue, kGga, 0, 0},
        {Step::kSend, "", 64, 100},
        {Step::kSend, "", kGga.size() - 64, 200}},
       {"200 " + kGga.substr(0, kGga.size() - 2)},
       kGga},
      {"two sentences in one packet share its time",
       {{Step::kQueue, kVtg + kVtg, 0, 0}, {Step::kSend, "", 2 * kVtg.size(), 300}},
       {"300 " + kVtg.substr(0, kVtg.size() - 2), "300 " + kVtg.substr(0, kVtg.size() - 2)},
       kVtg + kVtg},
      {"binary bytes between sentences go as hex when sent",
       {{Step::kQueue, kUbx + kVtg, 0, 0},
        {Step::kSend, "", 4, 10},
        {Step::kSend, "", 6 + kVtg.size(), 20}},
       {"10 ~B5620501", "20 ~020006010F38", "20 " + kVtg.substr(0, kVtg.size() - 2)},
       kUbx + kVtg},
      {"a sentence still arriving waits for its LF",
       {{Step::kQueue, kVtg.substr(0, 20), 0, 0},
        {Step::kSend, "", 20, 5},
        {Step::kQueue, kVtg.substr(20), 0, 0},
        {Step::kSend, "", kVtg.size() - 20, 7}},
       {"7 " + kVtg.substr(0, kVtg.size() - 2)},
       kVtg},
      {"a reply that cuts into a sentence turns it into bytes, in wire order",
       {{Step::kQueue, kVtg, 0, 0},
        {Step::kSend, "", 10, 1},
        {Step::kReply, "*c\r\n", 0, 2},
        {Step::kSend, "", kVtg.size() - 10, 3}},
       {"2 ~2447505654472C303534", "2 @2A630D0A", "3 ~" /* filled below */},
       kVtg.substr(0, 10) + "*c\r\n" + kVtg.substr(10)},
      {"a clear keeps what went and forgets the rest",
       {{Step::kQueue, kGga, 0, 0},
        {Step::kSend, "", 3, 4},
        {Step::kClear, "", 0, 5},
        {Step::kQueue, kVtg, 0, 0},
        {Step::kSend, "", kVtg.size(), 6}},
       {"5 ~244750", "6 " + kVtg.substr(0, kVtg.size() - 2)},
       "$GP" + kVtg},
      {"a '$' with binary after it is no sentence",
       {{Step::kQueue, std::string("$\x01\x02\n", 4) + kVtg, 0, 0},
        {Step::kSend, "", 4 + kVtg.size(), 8}},
       {"8 ~2401020A", "8 " + kVtg.substr(0, kVtg.size() - 2)},
       std::string("$\x01\x02\n", 4) + kVtg},
      // A UBX time field can read "$H9" then LF: printable, but without the CR a sentence
      // ends with, and the trace must not add one.
      {"a '$' line without CR is no sentence",
       {{Step::kQueue, "$H9\n" + kVtg, 0, 0}, {Step::kSend, "", 4 + kVtg.size(), 9}},
       {"9 ~2448390A", "9 " + kVtg.substr(0, kVtg.size() - 2)},
       "$H9\n" + kVtg},
  };
  for (const TraceCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = TracePath();
    {
      SendTrace trace;
      std::string error;
      ASSERT_TRUE(trace.Open(path, error)) << error;
      for (const Step& s : c.steps) {
        switch (s.kind) {
          case Step::kQueue:
            trace.Queued(View(s.bytes));
            break;
          case Step::kSend:
            trace.Sent(s.count, s.ns);
            break;
          case Step::kReply:
            trace.Reply(View(s.bytes), s.ns);
            break;
          case Step::kClear:
            trace.Clear(s.ns);
            break;
        }
      }
    }
    const std::vector<std::string> lines = Lines(path);
    std::remove(path.c_str());
    std::string wire;
    for (const std::string& line : lines) wire += WireBytes(line);
    EXPECT_EQ(wire, c.wire) << "the lines are the bytes on the wire";
    ASSERT_EQ(lines.size(), c.lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
      // A hex line given as its prefix only stands for the rest of a cut sentence.
      if (c.lines[i].back() == '~')
        EXPECT_EQ(lines[i].rfind(c.lines[i], 0), 0u) << lines[i];
      else
        EXPECT_EQ(lines[i], c.lines[i]);
    }
  }
}

TEST(SendTrace, UnsentBytesNeverReachTheTrace) {
  const std::string path = TracePath();
  {
    SendTrace trace;
    std::string error;
    ASSERT_TRUE(trace.Open(path, error));
    trace.Queued(View(kGga + kVtg));
    trace.Sent(kGga.size() + 5, 50);
  }  // ends with the VTG sentence begun: its five sent bytes are written as bytes
  const std::vector<std::string> lines = Lines(path);
  std::remove(path.c_str());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "50 " + kGga.substr(0, kGga.size() - 2));
  EXPECT_EQ(WireBytes(lines[1]), kVtg.substr(0, 5));
}

TEST(SendTrace, AnUnwritablePathIsRefusedWithAReason) {
  SendTrace trace;
  std::string error;
  EXPECT_FALSE(trace.Open("/nonexistent-dir/trace.txt", error));
  EXPECT_NE(error.find("/nonexistent-dir/trace.txt"), std::string::npos);
  EXPECT_FALSE(trace.Active());
}

}  // namespace
}  // namespace ostrel::emulator
