#include "engine/settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/param_name.h"
#include "support/temp_dir.h"

namespace ostrel {

void PrintTo(const UsbId& id, std::ostream* os) {
  *os << std::hex << id.vendor << ':' << id.product << std::dec;
}

namespace {

using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

struct IntegerCase {
  const char* text;
  int32_t expected;  // with default -99
};

class SettingIntegerTest : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(SettingIntegerTest, ReadsDecimalAndHexOrGivesDefault) {
  TempDir dir;
  const std::string path = dir.File("s.ini");
  WriteAll(path, std::string("[GPS]\nCOM=") + GetParam().text + "\n");
  EXPECT_EQ(TSettings(path).ReadInteger("GPS", "COM", -99), GetParam().expected)
      << "text \"" << GetParam().text << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Integers, SettingIntegerTest,
    ::testing::Values(IntegerCase{"3", 3}, IntegerCase{"-7", -7}, IntegerCase{"+7", 7},
                      IntegerCase{"007", 7}, IntegerCase{" 12 ", 12}, IntegerCase{"\"5\"", 5},
                      IntegerCase{"0x3", 3}, IntegerCase{"0X1f", 31},
                      IntegerCase{"0x7FFFFFFF", 2147483647}, IntegerCase{"2147483647", 2147483647},
                      IntegerCase{"-2147483648", -2147483648},
                      // not numbers
                      IntegerCase{"", -99}, IntegerCase{"0x", -99}, IntegerCase{"abc", -99},
                      IntegerCase{"12abc", -99}, IntegerCase{"1 2", -99}, IntegerCase{"0x1g", -99},
                      IntegerCase{"0x-5", -99}, IntegerCase{"-0x5", -99}, IntegerCase{"+-5", -99},
                      IntegerCase{"-", -99}, IntegerCase{"3.5", -99},
                      IntegerCase{"2147483648", -99}, IntegerCase{"-2147483649", -99},
                      IntegerCase{"0x80000000", -99}, IntegerCase{"99999999999999999999", -99}));

TEST(TSettings, MissingKeysAndFileGiveDefaults) {
  TempDir dir;
  TSettings settings(dir.File("absent.ini"));
  EXPECT_EQ(settings.ReadString("Ports", "DGPSName", "COM1"), "COM1");
  EXPECT_EQ(settings.ReadInteger("GPS", "COM", 0), 0);
  EXPECT_TRUE(settings.ReadBool("GPS", "WAAS", true));
  EXPECT_FALSE(settings.ReadBool("GPS", "Demo", false));
  EXPECT_FALSE(std::filesystem::exists(dir.File("absent.ini")));
}

TEST(TSettings, BooleansReadAsIntegers) {
  TempDir dir;
  const std::string path = dir.File("s.ini");
  WriteAll(path, "[GPS]\nWAAS=2\nDemo=0\nProcessGPS=junk\nPassBinaryData=-1\n");
  TSettings settings(path);
  EXPECT_TRUE(settings.ReadBool("GPS", "WAAS", false));
  EXPECT_FALSE(settings.ReadBool("GPS", "Demo", true));
  EXPECT_TRUE(settings.ReadBool("GPS", "ProcessGPS", true));
  EXPECT_FALSE(settings.ReadBool("GPS", "ProcessGPS", false));
  EXPECT_TRUE(settings.ReadBool("GPS", "PassBinaryData", false));
}

TEST(TSettings, RoundTripWritesPlainText) {
  TempDir dir;
  const std::string path = dir.File("s.ini");
  TSettings settings(path);
  settings.WriteInteger("GPS", "COM", -12);
  settings.WriteBool("GPS", "WAAS", true);
  settings.WriteString("GPS", "Baud", "9600");
  settings.WriteBool("GPS", "WAAS", false);
  EXPECT_EQ(settings.ReadInteger("GPS", "COM", 0), -12);
  EXPECT_FALSE(settings.ReadBool("GPS", "WAAS", true));
  EXPECT_EQ(settings.ReadString("GPS", "Baud", ""), "9600");
  EXPECT_EQ(ReadAll(path), "[GPS]\nCOM=-12\nWAAS=0\nBaud=9600\n");
}

// A first start writes [GPS] COM, WAAS and Baud when a module answers, then
// PassBinaryData; they must stand in the file in that order.
TEST(TSettings, FirstStartKeepsTheOrderOfWrites) {
  TempDir dir;
  const std::string path = dir.File("ostrel_gps_monitor.ini");
  TSettings settings(path);
  settings.WriteInteger(kGpsCom.section, kGpsCom.key, 0);
  settings.WriteBool(kGpsWAAS.section, kGpsWAAS.key, true);
  settings.WriteString(kGpsBaud.section, kGpsBaud.key, "19200");
  settings.WriteBool(kGpsPassBinaryData.section, kGpsPassBinaryData.key, false);
  EXPECT_EQ(ReadAll(path), "[GPS]\nCOM=0\nWAAS=1\nBaud=19200\nPassBinaryData=0\n");
}

TEST(TSettings, HandEditedFileSurvivesWrites) {
  TempDir dir;
  const std::string path = dir.File("s.ini");
  WriteAll(path,
           "; my panel\n[Ports]\nDGPSName=com1\nDirectory=/tmp/ports\n\n[gps]\nCOM=abc\n"
           "Extra = kept  \n\n[Debug]\nPanel=2\n");
  TSettings settings(path);
  ASSERT_EQ(settings.ReadInteger(kGpsCom), 0);
  settings.WriteInteger("GPS", "COM", 0);
  settings.WriteBool("GPS", "PassBinaryData", false);
  settings.WriteBool("Log", "Status", true);
  EXPECT_EQ(ReadAll(path),
            "; my panel\n[Ports]\nDGPSName=com1\nDirectory=/tmp/ports\n\n[gps]\nCOM=0\n"
            "Extra = kept  \nPassBinaryData=0\n\n[Debug]\nPanel=2\n[Log]\nStatus=1\n");
  EXPECT_EQ(settings.ReadString(kDGPSName), "com1");
  EXPECT_EQ(settings.ReadInteger(kDebugPanel), 2);
}

TEST(TSettings, RefusedWriteRaisesSettingsErrorNamingTheFile) {
  TempDir dir;
  std::filesystem::create_directory(dir.File("ostrel_gps_monitor.ini"));
  const std::string path = dir.File("ostrel_gps_monitor.ini");
  TSettings settings(path);
  try {
    settings.WriteInteger("GPS", "COM", 0);
    FAIL() << "write into a directory succeeded";
  } catch (const SettingsError& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
  }
  // Raised as the project's error, so the receive cycle's trap would see it.
  EXPECT_THROW(settings.WriteBool("GPS", "WAAS", true), Error);
}

TEST(TSettings, KeyTableDefaultsMatchTheirTypes) {
  TempDir dir;
  TSettings settings(dir.File("absent.ini"));
  EXPECT_EQ(settings.ReadString(kDGPSName), "COM1");
  EXPECT_EQ(settings.ReadString(kGpsBaud), "19200");
  EXPECT_TRUE(settings.ReadBool(kGpsWAAS));
  EXPECT_FALSE(settings.ReadBool(kGpsProcessGPS));
  EXPECT_EQ(settings.ReadInteger(kLogStatus), 0);
  for (const SettingKey& k : kSettingKeys) {
    if (k.type != SettingType::kText) {
      EXPECT_EQ(std::to_string(ParseSettingInteger(k.default_text, -1)), k.default_text) << k.key;
    }
  }
}

// [USB] Device as the user may write it, read through the file like every key.
struct UsbIdsCase {
  const char* name;
  const char* value;
  std::vector<UsbId> ids;
  std::vector<std::string> rejected;
};
void PrintTo(const UsbIdsCase& c, std::ostream* os) { *os << c.name; }

class UsbIdsTest : public ::testing::TestWithParam<UsbIdsCase> {};

TEST_P(UsbIdsTest, ReadsHexIdsAndSetsAsideTheRest) {
  TempDir dir;
  const std::string path = dir.File("s.ini");
  WriteAll(path, std::string("[usb]\ndevice=") + GetParam().value + "\n");
  const std::optional<std::string> text = TSettings(path).ReadIfPresent("USB", "Device");
  ASSERT_TRUE(text.has_value());
  std::vector<std::string> rejected;
  EXPECT_EQ(ParseUsbIds(*text, &rejected), GetParam().ids);
  EXPECT_EQ(rejected, GetParam().rejected);
}

constexpr UsbId kModule{0x1209, 0x4b53};
constexpr UsbId kOther{0x04b4, 0x8613};

INSTANTIATE_TEST_SUITE_P(
    UsbIds, UsbIdsTest,
    ::testing::Values(
        UsbIdsCase{"One", "1209:4b53", {kModule}, {}},
        UsbIdsCase{"UpperCase", "1209:4B53", {kModule}, {}},
        UsbIdsCase{"Comma", "1209:4b53,04b4:8613", {kModule, kOther}, {}},
        UsbIdsCase{"BlanksAndTabs", "1209:4b53 \t 04b4:8613", {kModule, kOther}, {}},
        UsbIdsCase{"CommaAndBlanks", " 1209:4b53 , ,04b4:8613 ", {kModule, kOther}, {}},
        UsbIdsCase{"Quoted", "\"04b4:8613\"", {kOther}, {}},
        UsbIdsCase{"Repeated", "1209:4b53 1209:4B53", {kModule}, {}},
        UsbIdsCase{"ShortDigits", "1:2", {{0x0001, 0x0002}}, {}}, UsbIdsCase{"Empty", "", {}, {}},
        UsbIdsCase{"NoColon", "12094b53", {}, {"12094b53"}},
        UsbIdsCase{"NoProduct", "1209:", {}, {"1209:"}},
        UsbIdsCase{"NoVendor", ":4b53", {}, {":4b53"}},
        UsbIdsCase{"FiveDigits", "12090:4b53", {}, {"12090:4b53"}},
        UsbIdsCase{"HexPrefix", "0x1209:0x4b53", {}, {"0x1209:0x4b53"}},
        UsbIdsCase{"Sign", "1209:-4b5", {}, {"1209:-4b5"}},
        UsbIdsCase{"NotHex", "12g9:4b53", {}, {"12g9:4b53"}},
        UsbIdsCase{"ThreeParts", "1209:4b53:1", {}, {"1209:4b53:1"}},
        UsbIdsCase{"BadAmongGood", "zz 1209:4b53 04b4:86130", {kModule}, {"zz", "04b4:86130"}}),
    ostrel::test::ParamName());

TEST(TSettings, ReadIfPresentTellsAMissingKeyFromAnEmptyOne) {
  TempDir dir;
  const std::string path = dir.File("s.ini");
  EXPECT_EQ(TSettings(path).ReadIfPresent("USB", "Device"), std::nullopt);
  WriteAll(path, "[GPS]\nDevice=1209:4b53\n[USB]\nOther=1\n");
  EXPECT_EQ(TSettings(path).ReadIfPresent("USB", "Device"), std::nullopt);
  WriteAll(path, "[USB]\nDevice=\n");
  EXPECT_EQ(TSettings(path).ReadIfPresent("USB", "Device"), std::string());
}

}  // namespace
}  // namespace ostrel
