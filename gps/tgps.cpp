#include "gps/tgps.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

namespace ostrel {
namespace {

struct Talker {
  std::string_view name;
  GnssSystem system;
};
// GN mixes constellations: its numbers say which (or its GSA's system ID does).
constexpr Talker kTalkers[] = {{"GP", GnssSystem::kGps},     {"GN", GnssSystem::kAny},
                               {"GL", GnssSystem::kGlonass}, {"GA", GnssSystem::kGalileo},
                               {"GB", GnssSystem::kBeiDou},  {"BD", GnssSystem::kBeiDou},
                               {"GQ", GnssSystem::kQzss}};
constexpr int kTalkerCount = static_cast<int>(std::size(kTalkers));
constexpr int kGps = 0;        // index of GP in kTalkers
constexpr int kGsvCopies = 3;  // per talker
// One GSA per constellation of a multi-GNSS receiver, with room to spare.
constexpr int kGsaCopies = 8;

// The talker of the sentence whose '$' is at `at`, as an index of kTalkers, or -1.
int TalkerAt(std::string_view chunk, std::size_t at) {
  if (at + 3 > chunk.size()) return -1;
  const std::string_view name = chunk.substr(at + 1, 2);
  for (int t = 0; t < kTalkerCount; ++t)
    if (kTalkers[t].name == name) return t;
  return -1;
}

bool InRange(int32_t n, int32_t low, int32_t high) { return n >= low && n <= high; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The two characters after '*' as "%2X" reads them: blanks first, then one or two hex
// digits in either case. Only those two characters are looked at, so a checksum of
// blanks never reaches into the next sentence. -1 when no digit is there.
int ReadChecksum(char c1, char c2) {
  const char pair[2] = {c1, c2};
  int i = 0;
  while (i < 2 && (pair[i] == ' ' || (pair[i] >= '\t' && pair[i] <= '\r'))) ++i;
  int value = -1;
  for (; i < 2; ++i) {
    const int d = HexDigit(pair[i]);
    if (d < 0) break;
    value = (value < 0 ? 0 : value * 16) + d;
  }
  return value;
}

[[noreturn]] void MissingItem(std::string_view tag, std::size_t index) {
  throw ParseError(std::string(tag) + " has no item " + std::to_string(index));
}

// "%d" over the degree characters: blanks, a sign, at least one digit; the rest of the
// characters is not looked at.
bool ReadDegrees(std::string_view s, int& degrees) {
  std::size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i == s.size() || s[i] < '0' || s[i] > '9') return false;
  int value = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) value = value * 10 + (s[i] - '0');
  degrees = negative ? -value : value;
  return true;
}

// "%f" over the minutes: blanks, then the longest float prefix.
bool ReadMinutes(std::string_view s, float& minutes) {
  std::size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  if (i < s.size() && s[i] == '+') {
    ++i;
    if (i < s.size() && s[i] == '-') return false;
  }
  const auto [ptr, ec] = std::from_chars(s.data() + i, s.data() + s.size(), minutes);
  (void)ptr;
  return ec == std::errc();
}

// "%f" of a float: six decimals, rounded to nearest, ties to even, as printf does. A
// float times 10^6 is exact in a double (24 + 20 significant bits), so nearbyint gives
// printf's rounding without printf's cost. Huge or odd values go through to_chars.
std::size_t FormatFixed6(char* out, std::size_t size, float value) {
  const double scaled = static_cast<double>(value) * 1e6;
  if (!(std::fabs(scaled) < 9e15)) {
    const auto [end, ec] =
        std::to_chars(out, out + size, static_cast<double>(value), std::chars_format::fixed, 6);
    return ec == std::errc() ? static_cast<std::size_t>(end - out) : 0;
  }
  const double rounded = std::nearbyint(scaled);
  std::uint64_t units = static_cast<std::uint64_t>(std::fabs(rounded));
  char digits[24];
  std::size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + units % 10);
    units /= 10;
  } while (n < 7 || units != 0);  // at least one digit before the point
  std::size_t len = 0;
  if (std::signbit(value)) out[len++] = '-';
  while (n > 6) out[len++] = digits[--n];
  out[len++] = '.';
  while (n > 0) out[len++] = digits[--n];
  return len;
}

}  // namespace

TGPS::TGPS() = default;
TGPS::~TGPS() = default;

int SatId(GnssSystem system, int32_t n) {
  switch (system) {
    case GnssSystem::kGps:
      return InRange(n, 1, kMaxGpsPrn) ? n : 0;
    case GnssSystem::kGlonass:
      if (InRange(n, 65, 96)) return n;
      return InRange(n, 1, 32) ? 64 + n : 0;  // slot numbers
    case GnssSystem::kGalileo:
      if (InRange(n, 301, 336)) return n;
      return InRange(n, 1, 36) ? 300 + n : 0;
    case GnssSystem::kBeiDou:
      if (InRange(n, 401, 463)) return n;
      if (InRange(n, 201, 263)) return 200 + n;
      return InRange(n, 1, 63) ? 400 + n : 0;
    case GnssSystem::kQzss:
      if (InRange(n, 193, 202)) return n;
      return InRange(n, 1, 10) ? 192 + n : 0;
    case GnssSystem::kAny:
      break;
  }
  const bool unique = InRange(n, 1, kMaxGpsPrn) || InRange(n, 65, 96) || InRange(n, 193, 202) ||
                      InRange(n, 301, 336) || InRange(n, 401, 463);
  return unique ? n : 0;
}

int32_t FieldToInt(std::string_view field) {
  std::size_t i = 0;
  while (i < field.size() && IsBlank(field[i])) ++i;
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
  if (i == field.size()) throw ParseError("not an integer: \"" + std::string(field) + "\"");
  // One more than INT32_MAX is allowed while reading so that INT32_MIN converts.
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t value = 0;
  for (; i < field.size(); ++i) {
    const char c = field[i];
    if (c < '0' || c > '9') throw ParseError("not an integer: \"" + std::string(field) + "\"");
    value = value * 10 + (c - '0');
    if (value > kLimit) throw ParseError("integer out of range: \"" + std::string(field) + "\"");
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max())
    throw ParseError("integer out of range: \"" + std::string(field) + "\"");
  return static_cast<int32_t>(value);
}

void FormatCoordinate(std::string& out, std::string_view field, int degree_digits,
                      std::string_view hemisphere) {
  out.clear();
  const auto digits = static_cast<std::size_t>(degree_digits);
  if (field.size() <= digits) return;  // empty without a fix; nothing to show
  int degrees = 0;
  float minutes = 0;
  if (!ReadDegrees(field.substr(0, digits), degrees) || !ReadMinutes(field.substr(digits), minutes))
    return;
  const auto value = static_cast<float>(degrees + static_cast<double>(minutes) * (1.0 / 60.0));
  char text[64];
  const std::size_t n = FormatFixed6(text, sizeof text, value);
  if (n == 0) return;
  out.assign(text, n);
  out += ' ';
  out.append(hemisphere);
}

std::size_t TGPS::FindTag(std::string_view text, std::string_view tag, std::size_t from) {
  // memchr to each '$', then the rest of the tag.
  const char* const base = text.data();
  const std::size_t size = text.size();
  while (from + tag.size() <= size) {
    const void* hit = std::memchr(base + from, tag[0], size - from - tag.size() + 1);
    if (hit == nullptr) break;
    const auto at = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
    if (std::memcmp(base + at + 1, tag.data() + 1, tag.size() - 1) == 0) return at;
    from = at + 1;
  }
  return std::string_view::npos;
}

// $GPGSA,A,3,28,17,09,04,02,24,26,35,05,,,,2.20,1.13,1.89*03<CR><LF>
bool TGPS::AcceptAt(std::string_view text, std::size_t start) {
  FieldList.clear();
  const char* const base = text.data();
  const std::size_t size = text.size();
  const void* found = std::memchr(base + start, '*', size - start);
  if (found == nullptr) return false;
  const auto star = static_cast<std::size_t>(static_cast<const char*>(found) - base);
  if (star + 4 >= size) return false;  // cut off before *hh CR LF
  if (base[star + 3] != '\r' || base[star + 4] != '\n') return false;
  const int sent = ReadChecksum(base[star + 1], base[star + 2]);
  if (sent < 0) return false;

  // One pass: the XOR of the bytes between '$' and '*', and the pieces between commas.
  // Fields are a few bytes long, so a plain loop beats a memchr call per comma.
  unsigned sum = 0;
  std::size_t piece = start;
  for (std::size_t i = start + 1; i < star; ++i) {
    const char c = base[i];
    sum ^= static_cast<unsigned char>(c);
    if (c == ',') {
      FieldList.Append(text.substr(piece, i - piece));
      piece = i + 1;
    }
  }
  if (sum != static_cast<unsigned>(sent)) {
    FieldList.clear();
    return false;
  }
  FieldList.Append(text.substr(piece, star - piece));
  return true;
}

bool TGPS::FindSentence(std::string_view text, std::string_view tag, int occurrence) {
  FieldList.clear();
  if (tag.empty() || occurrence < 1) return false;
  std::size_t at = FindTag(text, tag, 0);
  for (int copy = 1; copy < occurrence && at != std::string_view::npos; ++copy)
    at = FindTag(text, tag, at + 1);
  return at != std::string_view::npos && AcceptAt(text, at);
}

bool TGPS::FindSentence(const char* text, const char* tag, int occurrence) {
  if (text == nullptr || tag == nullptr) {
    FieldList.clear();
    return false;
  }
  return FindSentence(std::string_view(text), std::string_view(tag), occurrence);
}

const std::string& TGPS::Item(std::size_t index) const {
  if (index >= FieldList.size())
    MissingItem(FieldList.empty() ? std::string_view() : FieldList[0], index);
  return FieldList[index];
}

// NOLINTNEXTLINE(readability-function-size): one branch per sentence type
bool TGPS::ParseNMEA(const char* text, int32_t length) {
  if (text == nullptr || length <= 0) return false;
  const std::string_view chunk(text, static_cast<std::size_t>(length));
  constexpr std::size_t npos = std::string_view::npos;

  // One walk over the '$' of GNSS talkers finds the GSA copies, the first GGA and VTG and
  // the first three GSV of each talker, in the order of the chunk.
  struct Copy {
    std::size_t at;
    int talker;
  };
  Copy gsa[kGsaCopies];
  int gsa_found = 0;
  Copy gsv[kGsvCopies * kTalkerCount];
  int gsv_found = 0;
  int gsv_of[kTalkerCount] = {};
  std::size_t gga = npos;
  std::size_t vtg = npos;
  bool talker_seen = false;
  for (std::size_t at = FindTag(chunk, "$", 0); at != npos; at = FindTag(chunk, "$", at + 1)) {
    const int talker = TalkerAt(chunk, at);
    if (talker < 0) continue;
    talker_seen = true;
    const std::string_view type = chunk.substr(at + 3, 3);
    if (type == "GSA") {
      if (gsa_found < kGsaCopies) gsa[gsa_found++] = {at, talker};
    } else if (type == "GSV") {
      if (gsv_of[talker] < kGsvCopies) {
        ++gsv_of[talker];
        gsv[gsv_found++] = {at, talker};
      }
    } else if (type == "GGA") {
      if (gga == npos) gga = at;
    } else if (type == "VTG") {
      if (vtg == npos) vtg = at;
    }
  }
  if (!talker_seen) return false;

  // Fixed order, whatever the order in the chunk. Only the first copy of GSA, GGA and
  // VTG is looked at: a damaged first copy skips the type for this chunk. A receiver of
  // several constellations sends one GSA for each: those after the first add to it.
  bool result = false;
  if (gsa_found > 0 && AcceptAt(chunk, gsa[0].at)) {
    result = true;
    ApplyGSA(kTalkers[gsa[0].talker].system, true);
    for (int copy = 1; copy < gsa_found; ++copy) {
      if (gsa[copy].talker == kGps || !AcceptAt(chunk, gsa[copy].at)) continue;
      ApplyGSA(kTalkers[gsa[copy].talker].system, false);
    }
  }
  for (int copy = 0; copy < gsv_found; ++copy) {
    if (AcceptAt(chunk, gsv[copy].at)) {
      result = true;
      ApplyGSV(kTalkers[gsv[copy].talker].system);
    }
  }
  if (gga != npos && AcceptAt(chunk, gga)) {
    result = true;
    ApplyGGA();
  }
  if (vtg != npos && AcceptAt(chunk, vtg)) {
    result = true;
    ApplyVTG();
  }
  return result;
}

// $GPGSA,A,3,28,17,09,04,02,24,26,35,05,,,,2.20,1.13,1.89*03
// Items 3 to 14 are the PRNs used; each GSA replaces the whole set.
// $GNGSA,A,3,06,09,11,05,10,04,36,,,,,,1.12,0.62,0.94,3*02: item 18, where present, is
// the NMEA 4.10 system ID of a GN sentence's satellites (3: Galileo).
void TGPS::ApplyGSA(GnssSystem talker, bool replace) {
  if (replace) {
    for (TSatellite& sat : Sat) sat.Used = false;
    GsaFixMode = FieldToInt(Item(2));
  }
  GnssSystem system = talker;
  if (talker == GnssSystem::kAny && FieldList.size() > 18 && FieldList[18].size() == 1) {
    constexpr GnssSystem kById[] = {GnssSystem::kGps, GnssSystem::kGlonass, GnssSystem::kGalileo,
                                    GnssSystem::kBeiDou, GnssSystem::kQzss};
    const int id = FieldList[18][0] - '1';
    if (id >= 0 && id < static_cast<int>(std::size(kById))) system = kById[id];
  }
  for (std::size_t k = 3; k <= 14; ++k) {
    const std::string& field = Item(k);
    if (field.empty()) continue;
    if (const int id = SatId(system, FieldToInt(field)); id > 0)
      Sat[static_cast<std::size_t>(id)].Used = true;
  }
}

// $GPGSV,4,2,13,02,09,178,33,24,42,118,35,51,32,160,46,47,11,246,*75
// Blocks of PRN, elevation, azimuth, SNR; an empty field keeps the old value (the empty
// SNR of a satellite in view but not tracked), a number the table does not keep (SBAS)
// drops its block.
void TGPS::ApplyGSV(GnssSystem talker) {
  const std::size_t count = FieldList.size();
  for (std::size_t k = 0; k <= 4 && 4 * k + 7 < count; ++k) {
    const std::string& prn_field = FieldList[4 * k + 4];
    if (prn_field.empty()) continue;
    const int id = SatId(talker, FieldToInt(prn_field));
    if (id == 0) continue;
    TSatellite& sat = Sat[static_cast<std::size_t>(id)];
    if (const std::string& f = FieldList[4 * k + 5]; !f.empty()) sat.Elevation = FieldToInt(f);
    if (const std::string& f = FieldList[4 * k + 6]; !f.empty()) sat.Azimuth = FieldToInt(f);
    if (const std::string& f = FieldList[4 * k + 7]; !f.empty()) sat.SNR = FieldToInt(f);
  }
}

// $GPGGA,031518.00,4907.56818,N,12242.61064,W,1,09,1.13,98.5,M,-16.7,M,,*59
void TGPS::ApplyGGA() {
  const std::string& quality = Item(6);
  if (quality == "0")
    FixModeText = "No fix";
  else if (quality == "2")
    FixModeText = "DGPS";
  else
    FixModeText = "SPS";
  {
    const std::string& latitude = Item(2);
    FormatCoordinate(LatitudeText, latitude, 2, Item(3));
  }
  {
    const std::string& longitude = Item(4);
    FormatCoordinate(LongitudeText, longitude, 3, Item(5));
  }
  const std::string& altitude = Item(9);
  const std::string& unit = Item(10);
  ElevationText.assign(altitude);
  ElevationText += ' ';
  ElevationText += unit;
}

// $GPVTG,39.58,T,,M,0.084,N,0.155,K,A*07
void TGPS::ApplyVTG() {
  const std::string& kmh = Item(7);
  const std::string& unit = Item(8);
  SpeedText.assign(kmh);
  SpeedText += ' ';
  SpeedText += unit;
}

}  // namespace ostrel
