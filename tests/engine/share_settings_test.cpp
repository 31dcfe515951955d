// [Share]: typed values, one message per unusable value, written back only when present.
#include "engine/share_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/settings.h"
#include "support/param_name.h"
#include "support/temp_dir.h"

namespace ostrel {
namespace {

using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

struct ShareCase {
  const char* name;
  std::string section;
  int32_t extra_ports;
  int32_t tcp_port;
  std::string sentences;
  bool writable;
  std::string problem;  // a part of the one message, or "" for none
};

void PrintTo(const ShareCase& c, std::ostream* os) { *os << c.name; }

class ShareSettingsTest : public ::testing::TestWithParam<ShareCase> {};

TEST_P(ShareSettingsTest, ReadsTypedValuesAndNamesWhatItCannotUse) {
  const ShareCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.File("s.ini");
  WriteAll(path, "[Share]\n" + c.section);
  std::vector<std::string> problems;
  const ShareSettings s = ReadShareSettings(TSettings(path), problems);
  EXPECT_EQ(s.extra_ports, c.extra_ports);
  EXPECT_EQ(s.tcp_port, c.tcp_port);
  EXPECT_EQ(JoinSentenceTypes(s.sentences), c.sentences);
  EXPECT_EQ(s.writable, c.writable);
  if (c.problem.empty()) {
    EXPECT_TRUE(problems.empty()) << problems.front();
  } else {
    ASSERT_EQ(problems.size(), 1U);
    EXPECT_NE(problems.front().find(c.problem), std::string::npos) << problems.front();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Share, ShareSettingsTest,
    ::testing::Values(
        ShareCase{"everything",
                  "ExtraPorts=2\nTcpPort=10110\nTcpAddress=::1\nSentences=rmc, GGA\n"
                  "Writable=1\n",
                  2, 10110, "RMC,GGA", true, ""},
        ShareCase{"empty_section", "", 0, 0, "", false, ""},
        ShareCase{"extra_ports_too_many", "ExtraPorts=9\n", 0, 0, "", false,
                  "[Share] ExtraPorts=9 is not a number from 0 to 8"},
        ShareCase{"extra_ports_negative", "ExtraPorts=-1\n", 0, 0, "", false, "ExtraPorts=-1"},
        ShareCase{"privileged_port", "TcpPort=80\n", 0, 0, "", false,
                  "[Share] TcpPort=80 is refused: ports below 1024"},
        ShareCase{"port_beyond_range", "TcpPort=70000\n", 0, 0, "", false,
                  "TcpPort=70000 is no TCP port number"},
        ShareCase{"address_by_name", "TcpPort=10110\nTcpAddress=gps.example.org\n", 0, 0, "", false,
                  "TcpAddress=gps.example.org is not a numeric address"},
        ShareCase{"unknown_sentence_type", "Sentences=RMC,XYZ,GGA\n", 0, 0, "RMC,GGA", false,
                  "XYZ is no NMEA sentence type; left out."},
        ShareCase{"only_unknown_types", "Sentences=FOO\n", 0, 0, "", false,
                  "every sentence is served"},
        ShareCase{"writable_not_a_number", "Writable=yes\n", 0, 0, "", false,
                  "Writable=yes is neither 0 nor 1"}),
    test::ParamName());

TEST(ShareSettings, WritesBackOnlyTheKeysTheFileHadWithUsableValues) {
  TempDir dir;
  const std::string path = dir.File("s.ini");
  WriteAll(path, "[GPS]\nCOM=3\n");
  std::vector<std::string> problems;
  {
    TSettings file(path);
    WriteShareSettings(file, ReadShareSettings(file, problems));
  }
  EXPECT_EQ(ReadAll(path), "[GPS]\nCOM=3\n");

  WriteAll(path, "[Share]\nTcpPort=80\nSentences=gga\nExtraPorts=0x2\n");
  TSettings file(path);
  WriteShareSettings(file, ReadShareSettings(file, problems));
  EXPECT_EQ(file.ReadString("Share", "TcpPort", ""), "80");  // as the user wrote it
  EXPECT_EQ(file.ReadString("Share", "Sentences", ""), "GGA");
  EXPECT_EQ(file.ReadString("Share", "ExtraPorts", ""), "2");
  EXPECT_FALSE(file.ReadIfPresent("Share", "Writable").has_value());
}

}  // namespace
}  // namespace ostrel
