#pragma once
// The recording formats, each a file (NMEA: two) that any moment a reader looks finds
// whole: GPX ends in its closing tags after every point, CSV and NMEA end after a whole
// line. A write that fails (disk full, I/O error) is undone before the error is
// reported, so the file stays as it was after the last point.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "record/track_point.h"

namespace ostrel {

// A file of a recording: created new (never an existing one, never through a link),
// written only at its end or over its closing tags. Every call gives 0 or an errno.
class TrackFile {
 public:
  static std::unique_ptr<TrackFile> Create(const std::string& path, int& err);
  ~TrackFile();
  TrackFile(const TrackFile&) = delete;
  TrackFile& operator=(const TrackFile&) = delete;

  const std::string& Path() const { return path_; }
  std::int64_t Size() const { return size_; }
  // Writes `text` at `offset` (<= Size()), which becomes the file's end unless the old
  // end lay beyond. On failure the file holds what it held before.
  int WriteAt(std::int64_t offset, std::string_view text);
  int Append(std::string_view text) { return WriteAt(size_, text); }
  // Cuts the file back to `size` (an append of a pair that went half). Should the cut
  // fail, Size() is the file's real size.
  void Truncate(std::int64_t size);

 private:
  TrackFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  // Room for `end` bytes taken from the file system before writing, where it can: a
  // full disk then fails the write before it touches the file.
  int Reserve(std::int64_t end);

  int fd_;
  std::string path_;
  std::int64_t size_ = 0;
  bool can_reserve_ = true;
};

// One format of one recording file set.
class TrackWriter {
 public:
  virtual ~TrackWriter() = default;
  // A fix; `new_segment`: the track broke off before it (gap, lost fix).
  virtual int Point(const TrackPoint& point, bool new_segment) = 0;
  // A sentence as received (CR LF included), `ms` after the file set was started.
  virtual int Sentence(std::string_view line, Millis ms) = 0;
  virtual std::int64_t Size() const = 0;
  // The file whose write failed last, for the message.
  virtual const std::string& Path() const = 0;
};

// `base` is the path without extension; `title` the track's name; `start_utc` the
// file set's start (ms since 1970). Null with `err` set when a file cannot be made.
std::unique_ptr<TrackWriter> MakeGpxWriter(const std::string& base, std::int64_t start_utc,
                                           int& err);
std::unique_ptr<TrackWriter> MakeCsvWriter(const std::string& base, int& err);
std::unique_ptr<TrackWriter> MakeNmeaWriter(const std::string& base, std::int64_t start_utc,
                                            int& err);

// The CSV file's first line.
inline constexpr std::string_view kCsvHeader =
    "time,latitude,longitude,altitude,speed,course,fix,satellites,hdop\r\n";

// "2026-12-07T18:05:24Z" of ms since 1970 (whole seconds).
std::string IsoUtc(std::int64_t utc_ms);

}  // namespace ostrel
