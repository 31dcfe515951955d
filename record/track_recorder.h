#pragma once
// TrackRecorder: the receiver's stream into recording files. It is fed the bytes the
// GPS Data port gets; a file set (one file per format, named by its UTC start time,
// "2026-12-07T18-05-24Z.gpx") is made at the first sentence and replaced by a new one
// when a file grows past the size limit or the UTC day changes.
//
// A track breaks into a new segment after a lost fix or a gap of more than 5 s between
// fixes. Time of day for the file names and for midnight comes from the clock seam:
// UTC = utc_at_zero + clock.Now(), so a test moves a day on with the fake clock.
//
// A write that fails (disk full, I/O error, folder gone read-only) stops the recording:
// the files keep what they held, and `failed` is told once, with the reason.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "record/nmea_fix.h"
#include "record/record_settings.h"
#include "record/track_files.h"

namespace ostrel {

// Fixes further apart than this are separate stretches.
inline constexpr std::int64_t kSegmentGapMs = 5000;

struct RecordOptions {
  std::string folder;  // made when missing
  RecordFormats formats;
  std::int64_t rotate_bytes = 0;  // 0: never by size
  Clock* clock = nullptr;
  std::int64_t utc_at_zero = 0;  // ms since 1970 when clock->Now() was 0
};

// Why `folder` may not take recordings, or "" when it may: a symbolic link to another
// user's folder, or one that the settings file's rule refuses (a link in a sticky
// world-writable folder that is not ours); not a folder at all.
std::string RefuseRecordFolder(const std::string& folder);

class TrackRecorder {
 public:
  using FailureSink = std::function<void(const std::string& message)>;

  TrackRecorder(RecordOptions options, FailureSink failed);
  ~TrackRecorder();
  TrackRecorder(const TrackRecorder&) = delete;
  TrackRecorder& operator=(const TrackRecorder&) = delete;

  // The stream, as forwarded.
  void Feed(const std::uint8_t* bytes, std::size_t count);
  // The epoch under way is written and the files are closed; a later Feed starts a new set.
  void Close();

  bool Failed() const { return failed_; }
  // Every file made, in order (GPX, CSV, NMEA, times of each set).
  const std::vector<std::string>& Files() const { return files_; }

 private:
  void Line(std::string_view line);
  void Epoch(const FixAssembler::Epoch& epoch);
  bool Open();
  void RotateIfDue();
  void Fail(const std::string& path, int err);
  std::int64_t UtcNow() const;

  RecordOptions options_;
  FailureSink failed_sink_;
  SentenceSplitter splitter_;
  FixAssembler assembler_;
  std::vector<std::unique_ptr<TrackWriter>> writers_;
  std::vector<std::string> files_;
  Millis opened_at_ = 0;
  std::int64_t open_day_ = 0;
  bool failed_ = false;
  bool new_segment_ = true;
  std::optional<std::int64_t> last_fix_ms_;  // the last point's time
};

}  // namespace ostrel
