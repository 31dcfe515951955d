// Where the take cuts the stream: never inside a UBX frame, whatever LF bytes it holds;
// against hand-made cases and real captures that mix UBX with NMEA.
#include "link/stream_cut.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "receiver/ubx.h"
#include "rig.h"
#include "samples.h"
#include "support/corpus.h"

namespace ostrel::testing {
namespace {

std::string Frame(std::uint8_t cls, std::uint8_t id, std::vector<std::uint8_t> payload) {
  const auto f = ubx::MakeFrame(cls, id, payload);
  return {f.begin(), f.end()};
}

// NAV-SOL whose payload holds LF bytes, as 29-43 % of real ones do.
const std::string kSolWithLf =
    Frame(ubx::kClassNav, ubx::kIdNavSol, std::vector<std::uint8_t>(52, '\n'));

int32_t End(const std::string& s) {
  return WholeSentencesEnd(reinterpret_cast<const std::uint8_t*>(s.data()),
                           static_cast<int32_t>(s.size()));
}

TEST(StreamCut, TakeEndsAfterTheLastWholeMessage) {
  struct Case {
    const char* name;
    std::string bytes;
    std::size_t end;
  };
  std::string bad = kSolWithLf;
  bad.back() ^= 1;
  const std::vector<Case> cases = {
      {"sentences", kGGA + kRMC, (kGGA + kRMC).size()},
      {"unfinished sentence waits", kGGA + kRMC.substr(0, 9), kGGA.size()},
      {"frame with LF bytes arriving", kGGA + kSolWithLf.substr(0, 30), kGGA.size()},
      {"only the sync pair and one LF in", kGGA + kSolWithLf.substr(0, 2) + "\n", kGGA.size()},
      {"complete frame, then a sentence", kGGA + kSolWithLf + kRMC,
       (kGGA + kSolWithLf + kRMC).size()},
      {"complete frame is a message of its own", kSolWithLf + kRMC.substr(0, 9), kSolWithLf.size()},
      {"bad checksum: no frame, its LFs count", bad, bad.size() - 2},
      {"nothing whole", kRMC.substr(0, 9), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(End(c.bytes), static_cast<int32_t>(c.end));
  }
}

struct FrameSpan {
  std::size_t start, end;
  bool status;  // NAV-SOL or NAV-SBAS
};

// Every frame of a capture that passes its checksum, walked the way a decoder walks them.
std::vector<FrameSpan> Frames(const std::string& s) {
  std::vector<FrameSpan> frames;
  const auto* b = reinterpret_cast<const std::uint8_t*>(s.data());
  for (std::size_t i = 0; i + 8 <= s.size();) {
    const std::size_t n = b[i + 4] | (b[i + 5] << 8);
    if (b[i] == ubx::kSync1 && b[i + 1] == ubx::kSync2 && i + n + 8 <= s.size()) {
      const ubx::Checksum ck = ubx::Fletcher(b + i + 2, n + 4);
      if (ck.a == b[i + n + 6] && ck.b == b[i + n + 7]) {
        const bool status = b[i + 2] == ubx::kClassNav &&
                            (b[i + 3] == ubx::kIdNavSol || b[i + 3] == ubx::kIdNavSbas);
        frames.push_back({i, i + n + 8, status});
        i += n + 8;
        continue;
      }
    }
    ++i;
  }
  return frames;
}

class CaptureThroughTheTake : public ::testing::TestWithParam<const char*> {};

// The capture arrives in 64-byte packets with a tick after each: the most cuts a stream
// can get. No frame is split between two chunks, every byte is forwarded once, in order,
// and the status line is rewritten in each tick in which a status frame came in whole.
TEST_P(CaptureThroughTheTake, NoFrameSplitAndOneStatusUpdatePerFrame) {
  const std::string capture = test::ReadCapture(GetParam());
  ASSERT_FALSE(capture.empty());
  const std::vector<FrameSpan> frames = Frames(capture);
  ASSERT_GT(frames.size(), 20u);

  Rig rig;
  rig.Open();
  rig.cycle.PassBinaryData = true;
  std::vector<std::size_t> cuts;  // offsets in the capture where a chunk ended
  std::size_t forwarded = 0;
  int expected_updates = 0;
  for (std::size_t at = 0; at < capture.size(); at += 64) {
    const std::size_t end = std::min(at + 64, capture.size());
    Deliver(rig.link, std::string_view(capture).substr(at, end - at));
    rig.cycle.Tick();
    forwarded = rig.port.All().size();
    if (cuts.empty() || cuts.back() != forwarded) cuts.push_back(forwarded);
    bool status_ended = false;
    for (const auto& f : frames) status_ended |= f.status && f.end > at && f.end <= end;
    expected_updates += status_ended;
  }
  EXPECT_EQ(rig.port.All(), capture.substr(0, forwarded));
  EXPECT_GT(forwarded, capture.size() - 64);
  for (const auto& f : frames) {
    for (const std::size_t cut : cuts)
      EXPECT_FALSE(cut > f.start && cut < f.end) << "frame at " << f.start << " cut at " << cut;
  }
  EXPECT_GT(expected_updates, 5);
  EXPECT_EQ(rig.view.label_sets, expected_updates);
}

INSTANTIATE_TEST_SUITE_P(Captures, CaptureThroughTheTake,
                         ::testing::Values("ublox-aek-4t.log", "ublox8-uniqid-monhw.log"),
                         [](const auto& row) {
                           std::string name = row.param;
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

}  // namespace
}  // namespace ostrel::testing
