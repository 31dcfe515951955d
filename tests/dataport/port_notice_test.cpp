#include "dataport/port_notice.h"

#include <gtest/gtest.h>

namespace ostrel {
namespace {

TEST(PortAccessNotice, SaidOnlyWhenThePortIsNotDialouts) {
  EXPECT_EQ(PortAccessNotice(true, "/dev/pts/4"), "");
  const std::string notice = PortAccessNotice(false, "/dev/pts/4");
  EXPECT_NE(notice.find("/dev/pts/4"), std::string::npos);
  EXPECT_NE(notice.find("\"Permission denied\""), std::string::npos);
  EXPECT_NE(notice.find("sudo usermod -aG dialout $USER, then log out and in again"),
            std::string::npos);
  EXPECT_EQ(notice.back(), '\n');
}

}  // namespace
}  // namespace ostrel
