#include "record/record_settings.h"

#include <strings.h>

namespace ostrel {

RecordFormats ParseRecordFormats(std::string_view text, std::vector<std::string>* rejected) {
  RecordFormats formats;
  constexpr std::string_view kSeparators = ", \t;";
  while (!text.empty()) {
    const std::size_t start = text.find_first_not_of(kSeparators);
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    const std::string word(text.substr(0, text.find_first_of(kSeparators)));
    text.remove_prefix(word.size());
    if (::strcasecmp(word.c_str(), "gpx") == 0)
      formats.gpx = true;
    else if (::strcasecmp(word.c_str(), "csv") == 0)
      formats.csv = true;
    else if (::strcasecmp(word.c_str(), "nmea") == 0)
      formats.nmea = true;
    else if (rejected != nullptr)
      rejected->push_back(word);
  }
  return formats;
}

std::string FormatRecordFormats(const RecordFormats& formats) {
  std::string text;
  for (const auto& [on, name] : {std::pair{formats.gpx, "gpx"}, std::pair{formats.csv, "csv"},
                                 std::pair{formats.nmea, "nmea"}}) {
    if (!on) continue;
    if (!text.empty()) text += ',';
    text += name;
  }
  return text;
}

}  // namespace ostrel
