#include "record/track_recorder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "platform/regular_file.h"
#include "record/times_file.h"

namespace ostrel {
namespace {

constexpr std::int64_t kDayMs = 86'400'000;

// "2026-12-07T18-05-24Z": a name every file system takes (no ':').
std::string FileStem(std::int64_t utc_ms) {
  std::string text = IsoUtc(utc_ms);
  for (char& c : text)
    if (c == ':') c = '-';
  return text;
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) { return a >= 0 ? a / b : (a - b + 1) / b; }

}  // namespace

std::string RefuseRecordFolder(const std::string& folder) {
  struct stat link {};
  if (::lstat(folder.c_str(), &link) != 0) return {};  // made later, as ours
  if (ForeignLinkInStickyDirectory(folder))
    return "it is a link that another user put in a shared folder";
  struct stat target {};
  if (::stat(folder.c_str(), &target) != 0) return std::strerror(errno);
  if (!S_ISDIR(target.st_mode)) return "it is not a folder";
  // A link of ours to another user's folder: the recordings would be theirs to change.
  if (S_ISLNK(link.st_mode) && target.st_uid != ::geteuid())
    return "it is a link to a folder of another user";
  return {};
}

TrackRecorder::TrackRecorder(RecordOptions options, FailureSink failed)
    : options_(std::move(options)), failed_sink_(std::move(failed)) {}

TrackRecorder::~TrackRecorder() { Close(); }

std::int64_t TrackRecorder::UtcNow() const {
  return options_.utc_at_zero + (options_.clock ? options_.clock->Now() : 0);
}

void TrackRecorder::Feed(const std::uint8_t* bytes, std::size_t count) {
  if (failed_) return;
  splitter_.Feed(bytes, count, [this](std::string_view line) {
    if (!failed_) Line(line);
  });
}

void TrackRecorder::Line(std::string_view line) {
  if (writers_.empty() && !Open()) return;
  RotateIfDue();
  if (failed_) return;
  const Millis at = (options_.clock ? options_.clock->Now() : 0) - opened_at_;
  for (const std::unique_ptr<TrackWriter>& w : writers_) {
    if (const int err = w->Sentence(line, at)) return Fail(w->Path(), err);
  }
  if (const std::optional<FixAssembler::Epoch> epoch = assembler_.Take(line)) Epoch(*epoch);
}

void TrackRecorder::Epoch(const FixAssembler::Epoch& epoch) {
  if (!epoch.point) {
    new_segment_ = true;
    return;
  }
  const TrackPoint& p = *epoch.point;
  const std::int64_t ms = p.UtcMs().value_or(p.day_ms);
  // Without a date a fix after midnight has a smaller time: that too is a gap.
  if (last_fix_ms_ && (ms - *last_fix_ms_ > kSegmentGapMs || ms < *last_fix_ms_))
    new_segment_ = true;
  last_fix_ms_ = ms;
  for (const std::unique_ptr<TrackWriter>& w : writers_) {
    if (const int err = w->Point(p, new_segment_)) return Fail(w->Path(), err);
  }
  new_segment_ = false;
}

bool TrackRecorder::Open() {
  if (!options_.formats.Any()) return false;
  const std::string refused = RefuseRecordFolder(options_.folder);
  if (!refused.empty()) {
    failed_ = true;
    failed_sink_("Track recording stopped: the folder " + options_.folder +
                 " is not used for recordings: " + refused + ".");
    return false;
  }
  std::error_code ec;
  std::filesystem::create_directories(options_.folder, ec);
  if (ec) {
    Fail(options_.folder, ec.value());
    return false;
  }
  const std::int64_t utc = UtcNow();
  std::string base = options_.folder + "/" + FileStem(utc);
  // Two sets in one second (a small size limit) take the next free suffix.
  for (int n = 1; n < 1000; ++n) {
    int err = 0;
    writers_.clear();
    std::vector<std::string> made;
    auto add = [&](std::unique_ptr<TrackWriter> w, std::initializer_list<std::string> paths) {
      if (w) made.insert(made.end(), paths);
      if (w && err == 0) writers_.push_back(std::move(w));
    };
    if (options_.formats.gpx && err == 0) add(MakeGpxWriter(base, utc, err), {base + ".gpx"});
    if (options_.formats.csv && err == 0) add(MakeCsvWriter(base, err), {base + ".csv"});
    if (options_.formats.nmea && err == 0)
      add(MakeNmeaWriter(base, utc, err), {base + ".nmea", TimesPathFor(base + ".nmea")});
    if (err == 0) {
      files_.insert(files_.end(), made.begin(), made.end());
      break;
    }
    writers_.clear();
    if (err != EEXIST || !made.empty()) {
      // Nothing half made stays behind.
      for (const std::string& path : made) ::unlink(path.c_str());
      Fail(base + (options_.formats.gpx ? ".gpx" : options_.formats.csv ? ".csv" : ".nmea"), err);
      return false;
    }
    base = options_.folder + "/" + FileStem(utc) + "-" + std::to_string(n);
  }
  if (writers_.empty()) {
    Fail(base, EEXIST);
    return false;
  }
  opened_at_ = options_.clock ? options_.clock->Now() : 0;
  open_day_ = FloorDiv(utc, kDayMs);
  new_segment_ = true;
  return true;
}

void TrackRecorder::RotateIfDue() {
  std::int64_t size = 0;
  for (const std::unique_ptr<TrackWriter>& w : writers_) size = std::max(size, w->Size());
  const bool too_big = options_.rotate_bytes > 0 && size >= options_.rotate_bytes;
  if (!too_big && FloorDiv(UtcNow(), kDayMs) == open_day_) return;
  // The epoch under way stays with the assembler and goes into the new files.
  writers_.clear();
  Open();
}

void TrackRecorder::Close() {
  if (!writers_.empty() && !failed_) {
    if (const std::optional<FixAssembler::Epoch> epoch = assembler_.Finish()) Epoch(*epoch);
  }
  writers_.clear();
  assembler_ = FixAssembler{};
  splitter_ = SentenceSplitter{};
  last_fix_ms_.reset();
}

void TrackRecorder::Fail(const std::string& path, int err) {
  // `path` may be a closing writer's own: copied before they go.
  std::string failed_path = path;
  writers_.clear();
  if (failed_) return;
  failed_ = true;
  failed_sink_("Track recording stopped: cannot write " + std::move(failed_path) + ": " +
               std::strerror(err) + ". The recordings so far stay readable in " + options_.folder +
               ".");
}

}  // namespace ostrel
