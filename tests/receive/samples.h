#pragma once
// Real sentences (GlobalSat BU-353-S4, from the shared corpus) and test file helpers;
// the temporary folder is the support library's.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/nmea_sentence.h"
#include "support/temp_dir.h"

namespace ostrel::testing {

inline const std::string kGGA =
    "$GPGGA,030721.000,3747.0876,S,17518.8934,E,1,08,1.1,60.1,M,23.7,M,,0000*7D\r\n";
inline const std::string kGSA = "$GPGSA,A,3,17,28,06,01,30,20,26,13,,,,,1.8,1.1,1.5*33\r\n";
inline const std::string kGSV1 =
    "$GPGSV,3,1,12,17,72,207,32,28,59,095,31,06,35,347,25,01,29,132,23*7B\r\n";
inline const std::string kGSV2 =
    "$GPGSV,3,2,12,30,23,011,29,20,17,069,20,26,09,293,23,13,07,304,10*7C\r\n";
inline const std::string kGSV3 =
    "$GPGSV,3,3,12,11,12,132,04,08,38,008,,02,35,348,,03,14,091,*73\r\n";
inline const std::string kRMC =
    "$GPRMC,030721.000,A,3747.0876,S,17518.8934,E,0.89,181.39,311214,,,A*71\r\n";

using test::NmeaSentence;

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace ostrel::testing
