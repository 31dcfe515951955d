#include "engine/receiver_health.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "engine/settings_applier.h"
#include "gps/tgps.h"

namespace ostrel {

namespace {

// A satellite whose GSV cycle has not come again for this long has left the sky (or the
// receiver stopped listing that band).
constexpr Millis kGsvStale = 10000;
// NMEA's 82 characters, with room for the longer sentences of newer receivers.
constexpr std::size_t kMaxLine = 200;

bool InRange(int n, int lo, int hi) { return n >= lo && n <= hi; }

// A whole-field integer, or -1 for an empty or malformed one.
int Int(std::string_view f) {
  int v = 0;
  const auto [end, ec] = std::from_chars(f.data(), f.data() + f.size(), v);
  return (f.empty() || ec != std::errc() || end != f.data() + f.size()) ? -1 : v;
}

std::optional<double> Real(std::string_view f) {
  double v = 0;
  const auto [end, ec] = std::from_chars(f.data(), f.data() + f.size(), v);
  if (f.empty() || ec != std::errc() || end != f.data() + f.size()) return std::nullopt;
  return v;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "4807.038" with "N" (degree digits 2) or "01131.000" with "E" (3) into signed degrees.
std::optional<double> Degrees(std::string_view f, std::string_view hemisphere, int digits) {
  const auto d = static_cast<std::size_t>(digits);
  if (f.size() <= d || hemisphere.size() != 1) return std::nullopt;
  const int whole = Int(f.substr(0, d));
  const std::optional<double> minutes = Real(f.substr(d));
  if (whole < 0 || !minutes || *minutes < 0 || *minutes >= 60) return std::nullopt;
  const double v = whole + *minutes / 60.0;
  const char h = hemisphere[0];
  if (h == 'S' || h == 'W') return -v;
  if (h == 'N' || h == 'E') return v;
  return std::nullopt;
}

// Days from 1970-01-01 to the civil date (Howard Hinnant's algorithm).
std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return std::int64_t{era} * 146097 + doe - 719468;
}

// "hhmmss.ss" into milliseconds of the day.
std::optional<std::int64_t> TimeOfDay(std::string_view f) {
  if (f.size() < 6) return std::nullopt;
  const int h = Int(f.substr(0, 2));
  const int m = Int(f.substr(2, 2));
  const std::optional<double> s = Real(f.substr(4));
  if (!InRange(h, 0, 23) || !InRange(m, 0, 59) || !s || *s < 0 || *s >= 61) return std::nullopt;
  return (h * 3600 + m * 60) * std::int64_t{1000} + std::llround(*s * 1000);
}

std::optional<std::int64_t> UtcMs(int year, int month, int day, std::string_view time) {
  const std::optional<std::int64_t> tod = TimeOfDay(time);
  if (!tod || !InRange(month, 1, 12) || !InRange(day, 1, 31) || year < 1980) return std::nullopt;
  return DaysFromCivil(year, month, day) * 86400000 + *tod;
}

}  // namespace

const char* ConstellationName(Constellation c) {
  switch (c) {
    case Constellation::kGps:
      return "GPS";
    case Constellation::kSbas:
      return "SBAS";
    case Constellation::kGlonass:
      return "GLONASS";
    case Constellation::kGalileo:
      return "Galileo";
    case Constellation::kBeiDou:
      return "BeiDou";
    case Constellation::kQzss:
      return "QZSS";
  }
  return "";
}

int HealthSatId(std::string_view talker, int system_id, int n) {
  GnssSystem system = GnssSystem::kAny;
  switch (system_id) {
    case 1:
      system = GnssSystem::kGps;
      break;
    case 2:
      system = GnssSystem::kGlonass;
      break;
    case 3:
      system = GnssSystem::kGalileo;
      break;
    case 4:
      system = GnssSystem::kBeiDou;
      break;
    case 5:
      system = GnssSystem::kQzss;
      break;
    case 0:
      if (talker == "GL") system = GnssSystem::kGlonass;
      if (talker == "GA") system = GnssSystem::kGalileo;
      if (talker == "GB" || talker == "BD") system = GnssSystem::kBeiDou;
      if (talker == "GQ") system = GnssSystem::kQzss;
      break;
    default:
      return 0;  // NavIC and later systems: not shown
  }
  if (system != GnssSystem::kAny && system != GnssSystem::kGps) return SatId(system, n);
  // GPS sentences list SBAS too, and older receivers list every system under GP/GN.
  if (InRange(n, 33, 64) || InRange(n, 152, 158)) return n;
  if (InRange(n, 120, 151)) return n - 87;
  return SatId(GnssSystem::kAny, n);
}

std::optional<Constellation> ConstellationOf(int id) {
  if (InRange(id, 1, kMaxGpsPrn)) return Constellation::kGps;
  if (InRange(id, 33, 64) || InRange(id, 152, 158)) return Constellation::kSbas;
  if (InRange(id, 65, 96)) return Constellation::kGlonass;
  if (InRange(id, 193, 202)) return Constellation::kQzss;
  if (InRange(id, 301, 336)) return Constellation::kGalileo;
  if (InRange(id, 401, 463)) return Constellation::kBeiDou;
  return std::nullopt;
}

ReceiverHealth::ReceiverHealth(Clock& clock, WallClock wall)
    : clock_(clock), wall_(std::move(wall)), ttff_start_(clock.Now()) {}

void ReceiverHealth::OnForwarded(const std::uint8_t* bytes, int32_t count) {
  if (bytes == nullptr || count <= 0) return;
  Feed(std::string_view(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(count)));
}

void ReceiverHealth::OnFix(const TGPS& gps) {
  if (!ubx_status_) return;
  sbas_on_ = gps.WAASActive;
  dgps_applied_ = gps.DGPSState == 2;
}

void ReceiverHealth::OnStatus(std::string_view status) {
  const bool open = status != kNoDevice;
  // A UBX status reads "Connected, 3D Fix, WAAS, ..."; the bare device states do not.
  ubx_status_ = status.starts_with("Connected, ");
  if (open && !device_open_) {
    RestartTimeToFix();
    awaiting_loss_ = false;  // a module just opened has no fix of before to send
  }
  if (!open && device_open_) {
    gsv_.clear();
    used_.clear();
    fix_type_ = 0;
    fix_mode_ = 0;
    pdop_ = hdop_ = vdop_ = std::nullopt;
  }
  device_open_ = open;
}

void ReceiverHealth::RestartTimeToFix() {
  ttff_start_ = clock_.Now();
  ttff_.reset();
  // The command waits in the queue behind others; until the receiver says it lost the
  // fix, the fixes it still sends are from before the restart.
  awaiting_loss_ = true;
}

void ReceiverHealth::Feed(std::string_view bytes) {
  for (const char c : bytes) {
    if (c == '\n') {
      Sentence(line_);
      line_.clear();
    } else if (line_.size() < kMaxLine) {
      line_ += c;
    } else {
      line_.clear();  // not a sentence; wait for the next line
    }
  }
}

// $GPGSV,3,1,12,05,04,187,,08,11,078,29,09,43,270,37,12,03,212,*75
void ReceiverHealth::Sentence(std::string_view line) {
  // Noise or a UBX frame may precede the sentence on its line.
  const std::size_t dollar = line.rfind('$');
  if (dollar == std::string_view::npos) return;
  line.remove_prefix(dollar + 1);
  const std::size_t star = line.find('*');
  if (star == std::string_view::npos || star + 3 > line.size()) return;
  const int hi = HexDigit(line[star + 1]);
  const int lo = HexDigit(line[star + 2]);
  if (hi < 0 || lo < 0) return;
  unsigned sum = 0;
  for (std::size_t i = 0; i < star; ++i) sum ^= static_cast<unsigned char>(line[i]);
  if (sum != static_cast<unsigned>(hi * 16 + lo)) return;
  const std::string_view body = line.substr(0, star);
  fields_.clear();
  std::size_t from = 0;
  for (std::size_t comma = body.find(','); comma != std::string_view::npos;
       comma = body.find(',', from)) {
    fields_.push_back(body.substr(from, comma - from));
    from = comma + 1;
  }
  fields_.push_back(body.substr(from));
  if (fields_[0].size() != 5 || fields_[0][0] == 'P') return;
  const std::string_view talker = fields_[0].substr(0, 2);
  const std::string_view type = fields_[0].substr(2);
  if (type == "GSA") {
    ApplyGSA(talker, fields_);
    return;
  }
  in_gsa_run_ = false;
  if (type == "GSV") ApplyGSV(talker, fields_);
  if (type == "GGA") ApplyGGA(fields_);
  if (type == "RMC") ApplyRMC(fields_);
  if (type == "ZDA") ApplyZDA(fields_);
}

// $GPGSV,3,3,12,32,62,186,48,44,39,174,41,46,39,191,38,48,39,185,41,1*69
// Four fields per satellite after the count; NMEA 4.10 adds a signal ID at the end, and a
// receiver of several bands sends one cycle per signal.
void ReceiverHealth::ApplyGSV(std::string_view talker, const std::vector<std::string_view>& f) {
  if (f.size() < 4) return;
  const std::size_t sats = (f.size() - 4) / 4;
  const bool has_signal = (f.size() - 4) % 4 == 1;
  std::string key(talker);
  if (has_signal) key.append("/").append(f.back());
  const int total = Int(f[1]);
  const int number = Int(f[2]);
  if (total < 1 || number < 1 || number > total) return;
  auto group =
      std::find_if(gsv_.begin(), gsv_.end(), [&](const GsvGroup& g) { return g.key == key; });
  if (group == gsv_.end()) {
    gsv_.emplace_back().key = key;
    group = gsv_.end() - 1;
  }
  if (number == 1) {
    group->gathering.clear();
    group->expected = total;
    group->next = 1;
  }
  if (number != group->next || total != group->expected) {
    group->next = 0;  // a message went missing: this cycle is not whole
    return;
  }
  for (std::size_t i = 0; i < sats; ++i) {
    const std::size_t at = 4 + 4 * i;
    const int id = HealthSatId(talker, 0, Int(f[at]));
    const std::optional<Constellation> system = ConstellationOf(id);
    if (!system) continue;
    group->gathering.push_back({id, *system, Int(f[at + 1]), Int(f[at + 2]), Int(f[at + 3])});
  }
  ++group->next;
  if (number == total) {
    group->shown.swap(group->gathering);
    group->completed_at = clock_.Now();
  }
}

// $GNGSA,A,3,06,09,11,05,10,04,36,,,,,,1.12,0.62,0.94,3*02
// A run of GSA sentences, one per constellation, is one epoch's set of used satellites.
void ReceiverHealth::ApplyGSA(std::string_view talker, const std::vector<std::string_view>& f) {
  if (f.size() < 18) return;
  const int system_id = f.size() >= 19 ? std::max(Int(f[18]), 0) : 0;
  if (!in_gsa_run_) {
    used_.clear();
    fix_mode_ = f[1].size() == 1 ? f[1][0] : char{0};
    fix_type_ = std::max(Int(f[2]), 0);
    pdop_ = Real(f[15]);
    hdop_ = Real(f[16]);
    vdop_ = Real(f[17]);
    in_gsa_run_ = true;
    if (fix_type_ >= 2) ValidFix();
    if (fix_type_ == 1) awaiting_loss_ = false;
  }
  for (std::size_t i = 3; i <= 14; ++i) {
    const int id = HealthSatId(talker, system_id, Int(f[i]));
    if (id > 0 && std::find(used_.begin(), used_.end(), id) == used_.end()) used_.push_back(id);
  }
}

// $GPGGA,083723.00,5155.55442,N,00434.65873,E,1,06,2.51,-4.0,M,46.0,M,,*70
void ReceiverHealth::ApplyGGA(const std::vector<std::string_view>& f) {
  if (f.size() < 7) return;
  gga_quality_ = std::max(Int(f[6]), 0);
  if (gga_quality_ == 0) {
    awaiting_loss_ = false;
    return;
  }
  ValidFix();
  const std::optional<double> lat = Degrees(f[2], f[3], 2);
  const std::optional<double> lon = Degrees(f[4], f[5], 3);
  if (lat && lon) accuracy_.Add(clock_.Now(), {*lat, *lon});
}

// $GPRMC,005947.00,A,3715.6616,N,12157.6709,W,0.0,0.0,080710,,*2F
void ReceiverHealth::ApplyRMC(const std::vector<std::string_view>& f) {
  if (f.size() < 10) return;
  if (f[2] == "A") ValidFix();
  if (f[2] == "V") awaiting_loss_ = false;
  const std::string_view date = f[9];
  if (date.size() != 6) return;
  const std::optional<std::int64_t> utc =
      UtcMs(2000 + Int(date.substr(4, 2)), Int(date.substr(2, 2)), Int(date.substr(0, 2)), f[1]);
  if (utc) TakeTime(*utc);
}

// $GPZDA,005947.00,08,07,2010,+00,00*4E
void ReceiverHealth::ApplyZDA(const std::vector<std::string_view>& f) {
  if (f.size() < 5) return;
  const std::optional<std::int64_t> utc = UtcMs(Int(f[4]), Int(f[3]), Int(f[2]), f[1]);
  if (utc) TakeTime(*utc);
}

void ReceiverHealth::ValidFix() {
  const Millis now = clock_.Now();
  last_fix_ = now;
  if (!ttff_ && !awaiting_loss_) ttff_ = now - ttff_start_;
}

void ReceiverHealth::TakeTime(std::int64_t utc_ms) {
  utc_ms_ = utc_ms;
  offset_ms_ = wall_() - utc_ms;
}

HealthState ReceiverHealth::State() const {
  const Millis now = clock_.Now();
  HealthState s;
  for (const GsvGroup& g : gsv_) {
    if (g.shown.empty() || now - g.completed_at > kGsvStale) continue;
    for (const SatelliteInView& sat : g.shown) {
      auto it = std::find_if(s.satellites.begin(), s.satellites.end(),
                             [&](const SatelliteInView& x) { return x.id == sat.id; });
      if (it == s.satellites.end())
        s.satellites.push_back(sat);
      else
        it->cn0 = std::max(it->cn0, sat.cn0);
    }
  }
  std::sort(s.satellites.begin(), s.satellites.end(),
            [](const SatelliteInView& a, const SatelliteInView& b) { return a.id < b.id; });
  for (SatelliteInView& sat : s.satellites) {
    sat.used = std::find(used_.begin(), used_.end(), sat.id) != used_.end();
    ++s.counts[static_cast<std::size_t>(sat.system)].in_view;
  }
  for (const int id : used_)
    if (const std::optional<Constellation> c = ConstellationOf(id))
      ++s.counts[static_cast<std::size_t>(*c)].used;
  s.fix_type = fix_type_;
  s.fix_mode = fix_mode_;
  s.used_count = static_cast<int>(used_.size());
  s.pdop = pdop_;
  s.hdop = hdop_;
  s.vdop = vdop_;
  s.ubx_status = ubx_status_;
  s.sbas_on = sbas_on_;
  s.dgps_applied = ubx_status_ ? dgps_applied_ : gga_quality_ == 2;
  if (last_fix_) s.fix_age = now - *last_fix_;
  s.ttff = ttff_;
  s.ttff_elapsed = ttff_ ? *ttff_ : now - ttff_start_;
  s.utc_ms = utc_ms_;
  s.clock_offset_ms = offset_ms_;
  return s;
}

}  // namespace ostrel
