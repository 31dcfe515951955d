#pragma once
// The receiver state and its NMEA parser. One TAntaris (derived) object lives for the
// whole run; the receive cycle hands it each chunk.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "link/command_queue.h"
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

inline constexpr int kMaxPrn = 32;

class TGPS {
 public:
  TGPS();
  virtual ~TGPS();

  // Applies the first GSA, the first three GSV, the first GGA and the first VTG of the
  // NUL-terminated chunk `text` (length bytes). True when at least one was applied.
  bool ParseNMEA(char* text, int32_t length);
  // Finds the occurrence-th copy of `tag`, checks it ends in *hh CR LF with a matching
  // checksum, and splits it into FieldList. `text` is left unchanged.
  bool FindSentence(const char* text, const char* tag, int occurrence);

  // Frames `len` bytes into CommandQueue with the object's BlockSize copy.
  bool AppendBlocks(const std::uint8_t* bytes, std::size_t len, bool control);

  // Members in their declared order.
  std::vector<std::string> FieldList;
  std::array<TSatellite, kMaxPrn + 1> Sat{};
  std::string FixModeText;
  std::string LatitudeText;
  std::string LongitudeText;
  std::string ElevationText;
  std::string SpeedText;
  bool StatusUpdated = false;
  int32_t FixType = 0;
  int32_t DGPSState = 0;
  int32_t SVCount = 0;
  bool WAASActive = false;
  ostrel::CommandQueue* CommandQueue = nullptr;
  int32_t BlockSize = 0;

 private:
  std::size_t field_count_ = 0;  // items of FieldList in use; the rest is reused storage
};

}  // namespace ostrel
