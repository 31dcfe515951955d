#include "engine/track_recording.h"

#include <chrono>

namespace ostrel {
namespace {

RecordOptions Options(const RecordSettings& s, std::string folder, Clock& clock) {
  RecordOptions o;
  o.folder = std::move(folder);
  o.formats = s.formats;
  o.rotate_bytes = std::int64_t{s.rotate_mb} * 1024 * 1024;
  o.clock = &clock;
  // UTC on the panel's clock: file names and midnight move with it.
  const auto utc = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  o.utc_at_zero = utc - clock.Now();
  return o;
}

}  // namespace

TrackRecording::TrackRecording(const RecordSettings& settings, std::string folder, Clock& clock,
                               Hooks hooks)
    : hooks_(std::move(hooks)),
      recorder_(Options(settings, std::move(folder), clock),
                [this](const std::string& message) { hooks_.failed(message); }),
      record_replay_(hooks_.replaying()) {}

TrackRecording::~TrackRecording() = default;

void TrackRecording::OnForwarded(const std::uint8_t* bytes, int32_t count) {
  const bool replaying = hooks_.replaying();
  if (!replaying) record_replay_ = false;
  if (replaying && !record_replay_) return;
  if (count > 0) recorder_.Feed(bytes, static_cast<std::size_t>(count));
}

}  // namespace ostrel
