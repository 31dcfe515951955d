#pragma once
// The receiver state and its NMEA parser. One TAntaris (derived) object lives for the
// whole run; the receive cycle hands it each chunk.
//
// GSA, GSV, GGA and VTG are read from every GNSS talker (GP, GN, GL, GA, GB, BD, GQ), the
// first copy of each (GSV: the first three of each talker), whatever their order in the
// chunk; a multi-constellation receiver's further GSA sentences in the same chunk (one
// per constellation) add their satellites to the first one's. A sentence counts only
// when it ends in "*hh" CR LF with a matching checksum; anything else is skipped without
// a word. A GP sentence stores GPS satellites 1..32 only.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace ostrel {

// Raised by ParseNMEA on a sentence with too few fields or a field that is not an
// integer. Changes made before it stay; the receive cycle drops it.
class ParseError : public Error {
 public:
  using Error::Error;
};

struct TSatellite {
  bool Used = false;
  int32_t Elevation = 0;
  int32_t Azimuth = 0;
  int32_t SNR = 0;
};

// GPS satellites are 1..32. The table holds every constellation, numbered as NMEA 4.x
// numbers them where those numbers are unique, and moved to ranges of their own where a
// sentence numbers them per system (NMEA 4.10 system IDs, GA/GB/BD/GQ talkers):
//   GPS 1-32, GLONASS 65-96, QZSS 193-202, Galileo 301-336, BeiDou 401-463
// SBAS satellites (33-64) are not kept, whichever talker lists them.
// kMaxGpsPrn bounds GPS alone; anything over every constellation bounds by kMaxSatId.
inline constexpr int kMaxGpsPrn = 32;
inline constexpr int kMaxSatId = 463;

// The constellation that a sentence's satellite numbers belong to.
enum class GnssSystem { kGps, kGlonass, kGalileo, kBeiDou, kQzss, kAny };

// The table number of satellite `number` of `system` (kAny: NMEA 4.x's unique ranges),
// or 0 when the table does not keep it.
int SatId(GnssSystem system, int32_t number);

// The fields of the last accepted sentence: item 0 is the tag ("$GPGSA"), item k the
// k-th comma-separated field after it, the checksum left out. The strings are kept
// between sentences and assigned into, so splitting allocates nothing once warmed up.
class TFieldList {
 public:
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  const std::string& operator[](std::size_t i) const { return items_[i]; }
  const std::string* begin() const { return items_.data(); }
  const std::string* end() const { return items_.data() + count_; }

  void clear() { count_ = 0; }
  void Append(std::string_view piece) {
    if (count_ == items_.size()) items_.emplace_back();
    items_[count_++].assign(piece.data(), piece.size());
  }

 private:
  std::vector<std::string> items_;
  std::size_t count_ = 0;
};

class TGPS {
 public:
  TGPS();
  virtual ~TGPS();
  TGPS(const TGPS&) = delete;
  TGPS& operator=(const TGPS&) = delete;

  // Applies the first GSA (and a multi-GNSS receiver's further ones), the first three GSV
  // of each talker, the first GGA and the first VTG found in the chunk text[0, length).
  // True when at least one was applied. Throws ParseError
  // on a sentence short of fields or with a bad integer; what was applied before stays.
  // Only the `length` bytes are read (a NUL byte inside them, as UBX frames bring, is
  // data, not the end), and the text is never written.
  bool ParseNMEA(const char* text, int32_t length);

  // Finds the occurrence-th (1-based) copy of `tag` in the NUL-terminated `text`, checks
  // that it ends in *hh CR LF with a matching checksum, and splits it into FieldList.
  bool FindSentence(const char* text, const char* tag, int occurrence);
  // The same over a bounded text.
  bool FindSentence(std::string_view text, std::string_view tag, int occurrence);

  // Members in their declared order.
  TFieldList FieldList;
  std::array<TSatellite, kMaxSatId + 1> Sat{};
  std::string FixModeText;
  std::string LatitudeText;
  std::string LongitudeText;
  std::string ElevationText;
  std::string SpeedText;
  bool StatusUpdated = false;
  int32_t FixType = 0;
  // The fix mode of the chunk's first GSA: 1 none, 2 2D, 3 3D; 0 until one came.
  int32_t GsaFixMode = 0;
  int32_t DGPSState = 0;
  int32_t SVCount = 0;
  bool WAASActive = false;

 private:
  // Position of the next copy of `tag` at or after `from`, or npos.
  static std::size_t FindTag(std::string_view text, std::string_view tag, std::size_t from);
  // Checks the sentence whose '$' is at `start` and splits it into FieldList.
  bool AcceptAt(std::string_view text, std::size_t start);

  const std::string& Item(std::size_t index) const;
  // `replace`: the first GSA of the chunk; later ones add to its satellites.
  void ApplyGSA(GnssSystem talker, bool replace);
  void ApplyGSV(GnssSystem talker);
  void ApplyGGA();
  void ApplyVTG();
};

// Whole-field integer as the parser reads PRN, elevation, azimuth and SNR: leading
// blanks and one sign, then decimal digits to the end. Throws ParseError otherwise or
// beyond the int32 range.
int32_t FieldToInt(std::string_view field);

// "ddmm.mmmm" (degree_digits 2) or "dddmm.mmmm" (3) and the hemisphere letter into
// "48.117298 N". A field too short to hold the degrees and some minutes, or one whose
// degrees or minutes do not read as numbers, gives an empty text: no made-up position.
void FormatCoordinate(std::string& out, std::string_view field, int degree_digits,
                      std::string_view hemisphere);

}  // namespace ostrel
