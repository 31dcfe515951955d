#pragma once
// The receiver's health, for the Receiver Status window: every satellite in view with its
// signal, the quality of the fix, the time to first fix, the accuracy of the positions and
// the receiver's time against the system clock.
//
// It listens to the stream as the GPS Data port gets it and reads the sentences itself,
// since the main window's table keeps only what its grid and sky plot show (three GSV per
// talker, no SBAS). Sentences are taken one at a time as they complete, so a sky of any
// size (GSV cycles of any length, from any talker, one cycle per signal band) is seen
// whole. The UBX status the panel parses (NAV-SOL, NAV-SBAS) comes through OnFix.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/panel_engine.h"
#include "engine/position_accuracy.h"
#include "platform/clock.h"

namespace ostrel {

// The groups the window shows, in its order.
enum class Constellation { kGps, kSbas, kGlonass, kGalileo, kBeiDou, kQzss };
inline constexpr std::size_t kConstellationCount = 6;
const char* ConstellationName(Constellation c);

// The table number of satellite `number` listed by a sentence of `talker` ("GP", "GL",
// ...) whose NMEA 4.10 system ID is `system_id` (0: none given): the main window's
// numbers, with SBAS kept at 33-64 (PRN 120-151 moved down by 87, as NMEA numbers them)
// and 152-158 as they are. 0 when the number belongs to no constellation.
int HealthSatId(std::string_view talker, int system_id, int number);
// The constellation of a number HealthSatId gave; nullopt for 0 or an unknown one.
std::optional<Constellation> ConstellationOf(int id);

struct SatelliteInView {
  int id = 0;
  Constellation system = Constellation::kGps;
  int elevation = -1;  // degrees; -1 when the sentence left it empty
  int azimuth = -1;
  int cn0 = -1;  // dB-Hz, the strongest of its signals; -1 when not tracked
  bool used = false;
  bool operator==(const SatelliteInView&) const = default;
};

struct ConstellationCount {
  int in_view = 0;
  int used = 0;
  bool operator==(const ConstellationCount&) const = default;
};

struct HealthState {
  std::vector<SatelliteInView> satellites;  // by table number
  std::array<ConstellationCount, kConstellationCount> counts{};
  // GSA: 1 no fix, 2 2D, 3 3D; 0 before any GSA. Mode 'A' automatic, 'M' manual.
  int fix_type = 0;
  char fix_mode = 0;
  int used_count = 0;
  std::optional<double> pdop;
  std::optional<double> hdop;
  std::optional<double> vdop;
  // From the UBX status (NAV-SBAS, NAV-SOL) when the receiver sends it, else from GGA's
  // quality 2.
  bool ubx_status = false;  // whether the receiver sends NAV-SOL/NAV-SBAS at all
  bool sbas_on = false;
  bool dgps_applied = false;
  std::optional<Millis> fix_age;  // since the last valid fix
  // Time to first fix: running while `ttff` is empty, counting from the open or restart.
  std::optional<Millis> ttff;
  Millis ttff_elapsed = 0;
  // The receiver's UTC (RMC with its date, or ZDA) in ms since 1970, and the system clock
  // minus it as measured at the sentence's arrival.
  std::optional<std::int64_t> utc_ms;
  std::optional<std::int64_t> clock_offset_ms;
};

class ReceiverHealth final : public StreamObserver {
 public:
  // Milliseconds since 1970 by the system clock.
  using WallClock = std::function<std::int64_t()>;
  ReceiverHealth(Clock& clock, WallClock wall);

  // StreamObserver
  void OnForwarded(const std::uint8_t* bytes, int32_t count) override;
  void OnFix(const TGPS& gps) override;
  void OnStatus(std::string_view status) override;

  // Bytes of the stream, sentences possibly cut across calls.
  void Feed(std::string_view bytes);
  // A restart was sent to the receiver: the time to first fix counts again from now, to
  // the first valid fix after the receiver has reported none.
  void RestartTimeToFix();

  HealthState State() const;
  PositionAccuracy& Accuracy() { return accuracy_; }
  Millis Now() const { return clock_.Now(); }

 private:
  // One GSV cycle being gathered or last completed, per talker and signal.
  struct GsvGroup {
    std::string key;
    int expected = 0;
    int next = 1;
    Millis completed_at = 0;
    std::vector<SatelliteInView> gathering;
    std::vector<SatelliteInView> shown;
  };
  void Sentence(std::string_view sentence);
  void ApplyGSV(std::string_view talker, const std::vector<std::string_view>& f);
  void ApplyGSA(std::string_view talker, const std::vector<std::string_view>& f);
  void ApplyGGA(const std::vector<std::string_view>& f);
  void ApplyRMC(const std::vector<std::string_view>& f);
  void ApplyZDA(const std::vector<std::string_view>& f);
  void ValidFix();
  void TakeTime(std::int64_t utc_ms);

  Clock& clock_;
  WallClock wall_;
  std::string line_;
  std::vector<std::string_view> fields_;
  std::vector<GsvGroup> gsv_;
  // The used numbers of the run of GSA sentences now arriving; a sentence of another
  // type between GSAs closes the run and the next GSA starts a new set.
  std::vector<int> used_;
  bool in_gsa_run_ = false;
  int fix_type_ = 0;
  char fix_mode_ = 0;
  std::optional<double> pdop_;
  std::optional<double> hdop_;
  std::optional<double> vdop_;
  int gga_quality_ = 0;
  bool ubx_status_ = false;
  bool sbas_on_ = false;
  bool dgps_applied_ = false;
  bool device_open_ = false;
  Millis ttff_start_ = 0;
  bool awaiting_loss_ = false;
  std::optional<Millis> ttff_;
  std::optional<Millis> last_fix_;
  std::optional<std::int64_t> utc_ms_;
  std::optional<std::int64_t> offset_ms_;
  PositionAccuracy accuracy_;
};

}  // namespace ostrel
