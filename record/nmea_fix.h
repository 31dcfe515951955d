#pragma once
// From the bytes the receiver sent to track points. SentenceSplitter cuts the stream into
// lines (a sentence may arrive in two chunks); FixAssembler gathers the sentences of one
// epoch (GGA, RMC, GSA, VTG, ZDA of any talker) and hands over the epoch's point when the
// next epoch begins, so the GSA and VTG that follow a GGA are part of its point.
//
// An epoch is the run of sentences from one UTC time to the next: RMC, GGA, GLL and ZDA
// carry the time; GSA and VTG join the epoch they arrive in. Only sentences with a
// matching "*hh" checksum count.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "record/track_point.h"

namespace ostrel {

class SentenceSplitter {
 public:
  // Longer lines are no NMEA sentence (82 bytes at most, some receivers run over); they
  // are dropped whole.
  static constexpr std::size_t kMaxLine = 512;

  // Appends `bytes` and calls `line(text)` for each complete line that starts with '$' or
  // '!', its CR LF included (a line ending in LF alone gets its CR). Other bytes (UBX
  // frames, noise) are skipped.
  template <typename F>
  void Feed(const std::uint8_t* bytes, std::size_t count, F&& line) {
    for (std::size_t i = 0; i < count; ++i) {
      const char c = static_cast<char>(bytes[i]);
      if (c == '$' || c == '!') {
        pending_.assign(1, c);
        in_line_ = true;
        continue;
      }
      if (!in_line_) continue;
      if (c == '\n') {
        if (pending_.back() != '\r') pending_ += '\r';
        pending_ += '\n';
        in_line_ = false;
        line(std::string_view(pending_));
        continue;
      }
      if (pending_.size() >= kMaxLine) {
        in_line_ = false;
        continue;
      }
      pending_ += c;
    }
  }

 private:
  std::string pending_;
  bool in_line_ = false;
};

// The fields of a checksummed sentence, its tag ("GPGGA") as item 0; nothing when the
// checksum is missing or wrong or the line is no sentence.
std::optional<std::vector<std::string_view>> SplitSentence(std::string_view line);

// "4404.13387","N" -> 44.0688978; nothing for an empty or broken field.
std::optional<double> NmeaDegrees(std::string_view field, std::string_view hemisphere);
// "000941.00" -> 941000 ms of the day; nothing when it is no time.
std::optional<std::int32_t> NmeaDayMs(std::string_view field);

class FixAssembler {
 public:
  // Takes one line (as SentenceSplitter gives it). When it starts a new epoch, the
  // finished epoch comes back: its point, or a point-less result when it had no valid
  // fix (a lost fix splits a track).
  struct Epoch {
    std::optional<TrackPoint> point;
  };
  std::optional<Epoch> Take(std::string_view line);
  // The epoch under way, finished now (at the end of a recording).
  std::optional<Epoch> Finish();

 private:
  void StartEpoch(std::string_view time);
  // Latitude, N/S, longitude, E/W from field `at` on into the point; false when broken.
  bool TakePosition(const std::vector<std::string_view>& f, std::size_t at);
  void ApplyGGA(const std::vector<std::string_view>& f);
  void ApplyRMC(const std::vector<std::string_view>& f);
  void ApplyGSA(const std::vector<std::string_view>& f);
  void ApplyVTG(const std::vector<std::string_view>& f);
  void ApplyZDA(const std::vector<std::string_view>& f);
  void SetDay(std::int32_t day);

  bool open_ = false;  // an epoch is under way
  std::string time_;   // its time field as sent
  std::optional<std::int32_t> day_ms_;
  std::optional<std::int32_t> epoch_day_;  // from this epoch's RMC or ZDA
  bool gga_seen_ = false;
  bool gga_valid_ = false;
  bool rmc_valid_ = false;
  bool rmc_seen_ = false;
  bool dgps_ = false;
  TrackPoint point_;
  bool position_ = false;
  // The date last seen and the time of day it went with: a later time of day that is
  // smaller has passed midnight.
  std::optional<std::int32_t> last_day_;
  std::int32_t last_day_ms_ = 0;
  FixKind gsa_fix_ = FixKind::kUnknown;
};

}  // namespace ostrel
