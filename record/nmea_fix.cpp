#include "record/nmea_fix.h"

#include <charconv>
#include <cmath>

namespace ostrel {
namespace {

constexpr double kKnot = 1852.0 / 3600.0;  // m/s
constexpr double kKmh = 1000.0 / 3600.0;   // m/s

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<double> Number(std::string_view field) {
  if (field.empty()) return std::nullopt;
  if (field.front() == '+') field.remove_prefix(1);
  double value = 0;
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (ec != std::errc() || end != field.data() + field.size() || !std::isfinite(value))
    return std::nullopt;
  return value;
}

std::optional<int> Integer(std::string_view field) {
  int value = 0;
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (field.empty() || ec != std::errc() || end != field.data() + field.size()) return std::nullopt;
  return value;
}

std::string_view Field(const std::vector<std::string_view>& f, std::size_t i) {
  return i < f.size() ? f[i] : std::string_view();
}

bool Type(std::string_view tag, std::string_view type) {
  // "GPGGA", "GNGGA", "GAGGA": a two-letter talker, then the type.
  return tag.size() == 5 && tag.substr(2) == type;
}

bool ValidDate(int year, int month, int day) {
  return year >= 1980 && year <= 2200 && month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

}  // namespace

const char* FixName(FixKind kind) {
  switch (kind) {
    case FixKind::k2d:
      return "2d";
    case FixKind::k3d:
      return "3d";
    case FixKind::kDgps:
      return "dgps";
    case FixKind::kUnknown:
      break;
  }
  return "";
}

std::int32_t DaysFromCivil(int y, int m, int d) {
  // Howard Hinnant's days_from_civil.
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int32_t z, int& year, int& month, int& day) {
  z += 719468;
  const int era = (z >= 0 ? z : z - 146096) / 146097;
  const int doe = z - era * 146097;
  const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = yoe + era * 400 + (month <= 2);
}

std::string FormatUtc(const TrackPoint& point) {
  char text[40];
  const int ms = point.day_ms % 1000;
  const int s = point.day_ms / 1000;
  int n = 0;
  if (point.day) {
    int y = 0, mo = 0, d = 0;
    CivilFromDays(*point.day, y, mo, d);
    n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT", y, mo, d);
  }
  n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "%02d:%02d:%02d",
                     s / 3600, s / 60 % 60, s % 60);
  if (ms != 0) n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ".%03d", ms);
  if (point.day) text[n++] = 'Z';
  return std::string(text, static_cast<std::size_t>(n));
}

std::optional<std::vector<std::string_view>> SplitSentence(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.size() < 4 || (line[0] != '$' && line[0] != '!')) return std::nullopt;
  const std::size_t star = line.rfind('*');
  if (star == std::string_view::npos || star + 3 != line.size()) return std::nullopt;
  const int hi = Hex(line[star + 1]);
  const int lo = Hex(line[star + 2]);
  if (hi < 0 || lo < 0) return std::nullopt;
  unsigned sum = 0;
  for (std::size_t i = 1; i < star; ++i) sum ^= static_cast<unsigned char>(line[i]);
  if (sum != static_cast<unsigned>(hi * 16 + lo)) return std::nullopt;
  std::vector<std::string_view> fields;
  std::string_view body = line.substr(1, star - 1);
  for (;;) {
    const std::size_t comma = body.find(',');
    fields.push_back(body.substr(0, comma));
    if (comma == std::string_view::npos) break;
    body.remove_prefix(comma + 1);
  }
  return fields;
}

std::optional<double> NmeaDegrees(std::string_view field, std::string_view hemisphere) {
  const std::size_t dot = field.find('.');
  const std::size_t whole = dot == std::string_view::npos ? field.size() : dot;
  if (whole < 3 || whole > 5) return std::nullopt;  // ddmm or dddmm
  const std::optional<int> degrees = Integer(field.substr(0, whole - 2));
  const std::optional<double> minutes = Number(field.substr(whole - 2));
  if (!degrees || !minutes || *degrees < 0 || *minutes < 0 || *minutes >= 60) return std::nullopt;
  double value = *degrees + *minutes / 60.0;
  if (hemisphere == "S" || hemisphere == "W")
    value = -value;
  else if (hemisphere != "N" && hemisphere != "E")
    return std::nullopt;
  return value;
}

std::optional<std::int32_t> NmeaDayMs(std::string_view field) {
  if (field.size() < 6) return std::nullopt;
  const std::optional<int> h = Integer(field.substr(0, 2));
  const std::optional<int> m = Integer(field.substr(2, 2));
  const std::optional<double> s = Number(field.substr(4));
  if (!h || !m || !s || *h < 0 || *h > 23 || *m < 0 || *m > 59 || *s < 0 || *s >= 61)
    return std::nullopt;
  // A leap second's 60.x is counted into the next minute's first second.
  const auto ms = static_cast<std::int32_t>(std::lround(std::min(*s, 59.999) * 1000.0));
  return (*h * 60 + *m) * 60'000 + ms;
}

std::optional<FixAssembler::Epoch> FixAssembler::Finish() {
  if (!open_) return std::nullopt;
  open_ = false;
  // Only a ZDA or a GLL: nothing said about the fix.
  if (!gga_seen_ && !rmc_seen_) return std::nullopt;
  Epoch epoch;
  const bool valid =
      position_ && day_ms_ && (gga_seen_ ? gga_valid_ : rmc_valid_) && (!rmc_seen_ || rmc_valid_);
  if (valid) {
    TrackPoint p = point_;
    p.day_ms = *day_ms_;
    if (epoch_day_) {
      p.day = epoch_day_;
    } else if (last_day_) {
      // The date of an earlier epoch; past midnight since, the next day.
      p.day = *last_day_ + (*day_ms_ < last_day_ms_ ? 1 : 0);
    }
    if (p.day) {
      last_day_ = p.day;
      last_day_ms_ = p.day_ms;
    }
    p.fix = dgps_ ? FixKind::kDgps : gsa_fix_;
    epoch.point = p;
  }
  return epoch;
}

void FixAssembler::StartEpoch(std::string_view time) {
  open_ = true;
  time_.assign(time);
  day_ms_ = NmeaDayMs(time);
  epoch_day_.reset();
  gga_seen_ = gga_valid_ = rmc_seen_ = rmc_valid_ = dgps_ = position_ = false;
  point_ = TrackPoint{};
  gsa_fix_ = FixKind::kUnknown;
}

void FixAssembler::SetDay(std::int32_t day) {
  epoch_day_ = day;
  if (day_ms_) {
    last_day_ = day;
    last_day_ms_ = *day_ms_;
  }
}

std::optional<FixAssembler::Epoch> FixAssembler::Take(std::string_view line) {
  const std::optional<std::vector<std::string_view>> f = SplitSentence(line);
  if (!f || f->empty()) return std::nullopt;
  const std::string_view tag = (*f)[0];
  std::string_view time;
  if (Type(tag, "GGA") || Type(tag, "RMC") || Type(tag, "ZDA"))
    time = Field(*f, 1);
  else if (Type(tag, "GLL"))
    time = Field(*f, 5);
  else if (!Type(tag, "GSA") && !Type(tag, "VTG"))
    return std::nullopt;

  std::optional<Epoch> finished;
  // "094101" and "094101.00" are the same second: times are compared as times.
  const std::optional<std::int32_t> ms = NmeaDayMs(time);
  if (!time.empty() && (!open_ || ms != day_ms_ || (!ms && time != time_))) {
    finished = Finish();
    StartEpoch(time);
  }
  if (!open_) return finished;  // GSA or VTG before any time
  if (Type(tag, "GGA"))
    ApplyGGA(*f);
  else if (Type(tag, "RMC"))
    ApplyRMC(*f);
  else if (Type(tag, "GSA"))
    ApplyGSA(*f);
  else if (Type(tag, "VTG"))
    ApplyVTG(*f);
  else if (Type(tag, "ZDA"))
    ApplyZDA(*f);
  return finished;
}

bool FixAssembler::TakePosition(const std::vector<std::string_view>& f, std::size_t at) {
  const std::optional<double> lat = NmeaDegrees(Field(f, at), Field(f, at + 1));
  const std::optional<double> lon = NmeaDegrees(Field(f, at + 2), Field(f, at + 3));
  if (!lat || !lon || *lat > 90 || *lon > 180 || *lat < -90 || *lon < -180) return false;
  point_.latitude = *lat;
  point_.longitude = *lon;
  position_ = true;
  return true;
}

// $GPGGA,time,lat,N,lon,E,quality,sats,hdop,alt,M,sep,M,age,station*hh
void FixAssembler::ApplyGGA(const std::vector<std::string_view>& f) {
  if (gga_seen_) return;  // the first of the epoch, from whichever talker
  gga_seen_ = true;
  const std::optional<int> quality = Integer(Field(f, 6));
  // 6 is dead reckoning, 0 no fix: neither is a measured position.
  gga_valid_ = quality && *quality >= 1 && *quality <= 5;
  dgps_ = quality && *quality == 2;
  if (!TakePosition(f, 2)) gga_valid_ = false;
  if (const std::optional<int> sats = Integer(Field(f, 7))) point_.satellites = *sats;
  if (const std::optional<double> hdop = Number(Field(f, 8))) point_.hdop = *hdop;
  if (const std::optional<double> alt = Number(Field(f, 9))) point_.elevation = *alt;
}

// $GPRMC,time,status,lat,N,lon,E,knots,course,ddmmyy,...*hh
void FixAssembler::ApplyRMC(const std::vector<std::string_view>& f) {
  if (rmc_seen_) return;
  rmc_seen_ = true;
  rmc_valid_ = Field(f, 2) == "A";
  if (!gga_seen_ && !position_) (void)TakePosition(f, 3);
  if (const std::optional<double> knots = Number(Field(f, 7))) point_.speed = *knots * kKnot;
  if (const std::optional<double> course = Number(Field(f, 8))) point_.course = *course;
  const std::string_view date = Field(f, 9);
  if (date.size() == 6) {
    const std::optional<int> d = Integer(date.substr(0, 2));
    const std::optional<int> m = Integer(date.substr(2, 2));
    const std::optional<int> y = Integer(date.substr(4, 2));
    // Two-digit years: 80..99 are the 1900s, as GPS began in 1980.
    if (d && m && y) {
      const int year = *y >= 80 ? 1900 + *y : 2000 + *y;
      if (ValidDate(year, *m, *d)) SetDay(DaysFromCivil(year, *m, *d));
    }
  }
}

// $GPGSA,mode,fix,sv*12,pdop,hdop,vdop*hh
void FixAssembler::ApplyGSA(const std::vector<std::string_view>& f) {
  if (f.size() < 18) return;
  if (gsa_fix_ != FixKind::kUnknown) return;  // the first; the others repeat the DOPs
  const std::optional<int> fix = Integer(Field(f, 2));
  gsa_fix_ = !fix        ? FixKind::kUnknown
             : *fix == 3 ? FixKind::k3d
             : *fix == 2 ? FixKind::k2d
                         : FixKind::kUnknown;
  if (const std::optional<double> v = Number(Field(f, 15))) point_.pdop = *v;
  if (const std::optional<double> v = Number(Field(f, 16))) {
    if (!point_.hdop) point_.hdop = *v;
  }
  if (const std::optional<double> v = Number(Field(f, 17))) point_.vdop = *v;
}

// $GPVTG,course,T,course,M,knots,N,kmh,K*hh
void FixAssembler::ApplyVTG(const std::vector<std::string_view>& f) {
  if (!point_.course)
    if (const std::optional<double> v = Number(Field(f, 1))) point_.course = *v;
  if (!point_.speed) {
    if (const std::optional<double> kmh = Number(Field(f, 7)))
      point_.speed = *kmh * kKmh;
    else if (const std::optional<double> knots = Number(Field(f, 5)))
      point_.speed = *knots * kKnot;
  }
}

// $GPZDA,time,dd,mm,yyyy,zone,zone*hh
void FixAssembler::ApplyZDA(const std::vector<std::string_view>& f) {
  const std::optional<int> d = Integer(Field(f, 2));
  const std::optional<int> m = Integer(Field(f, 3));
  const std::optional<int> y = Integer(Field(f, 4));
  if (d && m && y && ValidDate(*y, *m, *d)) SetDay(DaysFromCivil(*y, *m, *d));
}

}  // namespace ostrel
