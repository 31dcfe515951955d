#include "receive/status_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace ostrel {
namespace {

struct StatusCase {
  int32_t fix;
  bool waas;
  int32_t dgps;
  int32_t svs;
  const char* text;
};

TEST(StatusText, EveryFixDgpsAndWaasCombination) {
  const StatusCase cases[] = {
      {0, true, 2, 9, "Connected, No Fix"},
      {0, false, 0, 0, "Connected, No Fix"},
      {3, true, 1, 7, "Connected, 3D Fix, WAAS, No DGPS, 7 SVs"},
      {2, false, 2, 4, "Connected, 2D Fix, DGPS, 4 SVs"},
      {3, false, 0, 6, "Connected, 3D Fix, , 6 SVs"},
      {5, false, 1, 3, "Connected, , No DGPS, 3 SVs"},
      {3, false, 2, 9, "Connected, 3D Fix, DGPS, 9 SVs"},
      {1, false, 1, 0, "Connected, DR, No DGPS, 0 SVs"},
      {4, true, 2, 12, "Connected, GPS+DR, WAAS, DGPS, 12 SVs"},
      {-1, true, 3, 255, "Connected, , WAAS, , 255 SVs"},
      {4, true, 1, INT32_MIN, "Connected, GPS+DR, WAAS, No DGPS, -2147483648 SVs"},
  };
  for (const auto& c : cases) {
    StatusTextBuffer buf;
    buf.fill('#');
    EXPECT_EQ(FormatStatusText(buf, c.fix, c.waas, c.dgps, c.svs), c.text);
  }
}

}  // namespace
}  // namespace ostrel
