#pragma once
// "Record Track": the track recorder (record/track_recorder.h) listening to the engine's
// stream as a StreamObserver, so it records whatever the window does (hidden in the tray,
// displays off). It is attached only while it records.
//
// Nothing is recorded while a demonstration or a positions.log replay runs, unless the
// user switched recording on while it ran: then that replay is what they asked for.
#include <functional>
#include <memory>
#include <string>

#include "engine/panel_engine.h"
#include "record/record_settings.h"
#include "record/track_recorder.h"

namespace ostrel {

class TrackRecording final : public StreamObserver {
 public:
  struct Hooks {
    // A demonstration or a replayed positions.log feeds the stream now.
    std::function<bool()> replaying;
    // The recording stopped by itself: `message` says why, once.
    std::function<void(const std::string& message)> failed;
  };
  // `folder`: the recordings' folder, already in the panel's folder.
  TrackRecording(const RecordSettings& settings, std::string folder, Clock& clock, Hooks hooks);
  ~TrackRecording() override;

  void OnForwarded(const std::uint8_t* bytes, int32_t count) override;
  void OnFix(const TGPS&) override {}
  void OnStatus(std::string_view) override {}

  bool Failed() const { return recorder_.Failed(); }
  const TrackRecorder& Recorder() const { return recorder_; }

 private:
  Hooks hooks_;
  TrackRecorder recorder_;
  // Switched on while a replay ran: record it.
  bool record_replay_;
};

}  // namespace ostrel
