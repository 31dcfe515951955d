#include "gps/tgps.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace ostrel {
namespace {

constexpr std::string_view kTalker = "$GP";
constexpr std::string_view kGSA = "$GPGSA";
constexpr std::string_view kGSV = "$GPGSV";
constexpr std::string_view kGGA = "$GPGGA";
constexpr std::string_view kVTG = "$GPVTG";
constexpr int kGsvCopies = 3;

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
    const auto [end, ec] = std::to_chars(out, out + size, static_cast<double>(value),
                                         std::chars_format::fixed, 6);
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

int32_t FieldToInt(std::string_view field) {
  std::size_t i = 0;
  while (i < field.size() && IsBlank(field[i])) ++i;
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
  if (i == field.size())
    throw ParseError("not an integer: \"" + std::string(field) + "\"");
  // One more than INT32_MAX is allowed while reading so that INT32_MIN converts.
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t value = 0;
  for (; i < field.size(); ++i) {
    const char c = field[i];
    if (c < '0' || c > '9')
      throw ParseError("not an integer: \"" + std::string(field) + "\"");
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
  if (!ReadDegrees(field.substr(0, digits), degrees) ||
      !ReadMinutes(field.substr(digits), minutes))
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

bool TGPS::ParseNMEA(const char* text, int32_t length) {
  if (text == nullptr || length <= 0) return false;
  const std::string_view chunk(text, static_cast<std::size_t>(length));
  constexpr std::size_t npos = std::string_view::npos;

  // One walk over the "$GP" starts finds the first GSA, GGA and VTG and the first three
  // GSV: the same copies a search per type would find, in one pass over the chunk.
  std::size_t gsa = npos;
  std::size_t gga = npos;
  std::size_t vtg = npos;
  std::size_t gsv[kGsvCopies] = {npos, npos, npos};
  int gsv_found = 0;
  bool talker = false;
  for (std::size_t at = FindTag(chunk, kTalker, 0); at != npos;
       at = FindTag(chunk, kTalker, at + 1)) {
    talker = true;
    const std::string_view tag = chunk.substr(at, kGSA.size());
    if (tag == kGSA) {
      if (gsa == npos) gsa = at;
    } else if (tag == kGSV) {
      if (gsv_found < kGsvCopies) gsv[gsv_found++] = at;
    } else if (tag == kGGA) {
      if (gga == npos) gga = at;
    } else if (tag == kVTG) {
      if (vtg == npos) vtg = at;
    }
    if (gsa != npos && gga != npos && vtg != npos && gsv_found == kGsvCopies) break;
  }
  if (!talker) return false;

  // Fixed order, whatever the order in the chunk. Only the first copy of GSA, GGA and
  // VTG is looked at: a damaged first copy skips the type for this chunk.
  bool result = false;
  if (gsa != npos && AcceptAt(chunk, gsa)) {
    result = true;
    ApplyGSA();
  }
  for (int copy = 0; copy < gsv_found; ++copy) {
    if (AcceptAt(chunk, gsv[copy])) {
      result = true;
      ApplyGSV();
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
void TGPS::ApplyGSA() {
  for (int prn = 1; prn <= kMaxPrn; ++prn) Sat[prn].Used = false;
  for (std::size_t k = 3; k <= 14; ++k) {
    const std::string& field = Item(k);
    if (field.empty()) continue;
    const int32_t prn = FieldToInt(field);
    if (prn >= 1 && prn <= kMaxPrn) Sat[prn].Used = true;
  }
}

// $GPGSV,4,2,13,02,09,178,33,24,42,118,35,51,32,160,46,47,11,246,*75
// Blocks of PRN, elevation, azimuth, SNR; an empty field keeps the old value (the empty
// SNR of a satellite in view but not tracked), a PRN beyond 32 (SBAS) drops its block.
void TGPS::ApplyGSV() {
  const std::size_t count = FieldList.size();
  for (std::size_t k = 0; k <= 4 && 4 * k + 7 < count; ++k) {
    const std::string& prn_field = FieldList[4 * k + 4];
    if (prn_field.empty()) continue;
    const int32_t prn = FieldToInt(prn_field);
    if (prn < 1 || prn > kMaxPrn) continue;
    TSatellite& sat = Sat[prn];
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

bool TGPS::HasRoomFor(std::size_t blocks) const {
  if (CommandQueue == nullptr) return false;
  const auto size = static_cast<std::size_t>(EffectiveBlockSize(BlockSize));
  return static_cast<std::size_t>(CommandQueue->EndPos()) + blocks * size + 1 <=
         static_cast<std::size_t>(kQueueSize);
}

bool TGPS::AppendBlocks(const std::uint8_t* bytes, std::size_t len, bool control) {
  if (CommandQueue == nullptr) return false;
  return ostrel::AppendBlocks(*CommandQueue, bytes, len, control, BlockSize);
}

}  // namespace ostrel
