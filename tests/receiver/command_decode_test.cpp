// What applications wrote, in words, as commands.log shows it.
#include "receiver/command_decode.h"

#include <gtest/gtest.h>

#include <string>

#include "receiver/ubx.h"
#include "support/param_name.h"

namespace ostrel {
namespace {

template <std::size_t N>
std::string Bytes(const std::array<std::uint8_t, N>& frame) {
  return {frame.begin(), frame.end()};
}

struct DecodeCase {
  const char* name;
  std::string bytes;
  std::string decoded;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class DecodeCommandTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeCommandTest, SaysWhatWasWritten) {
  const DecodeCase& c = GetParam();
  EXPECT_EQ(DecodeCommand(reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size()),
            c.decoded);
}

const std::string kCfgRstCold("\xB5\x62\x06\x04\x04\x00\xFF\xFF\x01\x00\x0D\x5F", 12);
const std::string kMonVerPoll("\xB5\x62\x0A\x04\x00\x00\x0E\x34", 8);
const std::string kNoName("\xB5\x62\x7E\x7F\x02\x00\x01\x02\x02\x7B", 10);
const std::string kCfgMsg3("\xB5\x62\x06\x01\x03\x00\x01\x06\x01\x12\x4F", 11);

INSTANTIATE_TEST_SUITE_P(
    Commands, DecodeCommandTest,
    ::testing::Values(
        DecodeCase{"cfg_prt", Bytes(ubx::kCfgPrt9600),
                   "CFG-PRT port=1 mode=0x000008C0 baud=9600 in=0x0003 out=0x0003"},
        DecodeCase{"cfg_sbas", Bytes(ubx::kSbasOn), "CFG-SBAS mode=enabled usage=0x07 maxSBAS=2"},
        DecodeCase{"cfg_sbas_off", Bytes(ubx::kSbasOff),
                   "CFG-SBAS mode=disabled usage=0x07 maxSBAS=2"},
        DecodeCase{"cfg_msg_per_port", Bytes(ubx::kEnableNavSol), "CFG-MSG NAV-SOL rates=1,1,1,0"},
        DecodeCase{"cfg_msg_current_port", kCfgMsg3, "CFG-MSG NAV-SOL rate=1"},
        DecodeCase{"cfg_rst", kCfgRstCold,
                   "CFG-RST navBbrMask=0xFFFF (cold start) resetMode=0x01 (software reset)"},
        DecodeCase{"poll", kMonVerPoll, "MON-VER poll"},
        DecodeCase{"pair_without_a_name", kNoName, "7E-7F len=2"},
        DecodeCase{"wrong_checksum", std::string(kMonVerPoll, 0, 7) + "\x35",
                   "MON-VER poll (checksum wrong)"},
        DecodeCase{"two_frames", Bytes(ubx::kSbasOff) + kMonVerPoll,
                   "CFG-SBAS mode=disabled usage=0x07 maxSBAS=2; MON-VER poll"},
        DecodeCase{"firmware_letters", "*v*r",
                   "firmware *v (query version); firmware *r (read "
                   "serial number)"},
        DecodeCase{"nmea", "$PUBX,40,GLL,0,0,0,0*5C\r\n", "NMEA $PUBX,40,GLL,0,0,0,0*5C"},
        DecodeCase{"garbage_between", "ab" + kMonVerPoll + "\x01",
                   "2 bytes not understood; MON-VER poll; 1 bytes not understood"},
        DecodeCase{"cut_frame", std::string(kCfgRstCold, 0, 9), "9 bytes not understood"},
        DecodeCase{"nothing", "", "nothing"}),
    test::ParamName());

}  // namespace
}  // namespace ostrel
