#pragma once
// [Record]: what the track recorder does, as the settings file gives it.
//
//   [Record]
//   Track=0            ; 1: record the track while a fix is valid
//   Folder=tracks      ; where recordings go (relative to the panel's folder)
//   Formats=gpx,csv    ; any of gpx, csv, nmea
//   RotateMB=50        ; start a new file past this size (and at UTC midnight)
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

struct RecordFormats {
  bool gpx = false;
  bool csv = false;
  bool nmea = false;
  bool Any() const { return gpx || csv || nmea; }
  bool operator==(const RecordFormats&) const = default;
};

struct RecordSettings {
  bool track = false;
  std::string folder = "tracks";
  RecordFormats formats{true, true, false};
  // 0: no rotation by size.
  std::int32_t rotate_mb = 50;
};

// The largest RotateMB taken; a bigger one is this.
inline constexpr std::int32_t kMaxRotateMB = 1 << 20;

// "gpx, CSV;nmea" -> all three. Words that are none of them go to `rejected` (when
// given); blanks, commas and semicolons separate.
RecordFormats ParseRecordFormats(std::string_view text,
                                 std::vector<std::string>* rejected = nullptr);
// "gpx,csv" and so on, in that order.
std::string FormatRecordFormats(const RecordFormats& formats);

}  // namespace ostrel
