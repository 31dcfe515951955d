#pragma once
// TSettings: the panel's settings file, read and written key by key with no cache, so
// every write is on disk when the call returns. The whole vocabulary is the nine keys
// of kSettingKeys below, and [USB] Device; hand edits switch on the hidden features.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/profile_file.h"
#include "platform/usb_driver.h"

namespace ostrel {

// The panel's file, relative to the panel's folder (the current directory when run).
inline constexpr const char* kSettingsFileName = "./ostrel_gps_monitor.ini";

// A write the file refused; the message names the file.
class SettingsError : public Error {
 public:
  using Error::Error;
};

enum class SettingType { kText, kInteger, kBoolean };

struct SettingKey {
  std::string_view section;
  std::string_view key;
  SettingType type;
  std::string_view default_text;  // as it would stand in the file
};

inline constexpr SettingKey kDGPSName{"Ports", "DGPSName", SettingType::kText, "COM1"};
inline constexpr SettingKey kGpsCom{"GPS", "COM", SettingType::kInteger, "0"};
inline constexpr SettingKey kGpsWAAS{"GPS", "WAAS", SettingType::kBoolean, "1"};
inline constexpr SettingKey kGpsBaud{"GPS", "Baud", SettingType::kText, "19200"};
inline constexpr SettingKey kGpsProcessGPS{"GPS", "ProcessGPS", SettingType::kBoolean, "0"};
inline constexpr SettingKey kGpsPassBinaryData{"GPS", "PassBinaryData", SettingType::kBoolean, "0"};
inline constexpr SettingKey kGpsDemo{"GPS", "Demo", SettingType::kBoolean, "0"};
inline constexpr SettingKey kLogStatus{"Log", "Status", SettingType::kInteger, "0"};
inline constexpr SettingKey kDebugPanel{"Debug", "Panel", SettingType::kInteger, "0"};

// The port directory of the GPS Data port's link; a Linux addition, read only.
inline constexpr SettingKey kPortsDirectory{"Ports", "Directory", SettingType::kText, "."};

inline constexpr std::array<SettingKey, 9> kSettingKeys = {
    kDGPSName,          kGpsCom,  kGpsWAAS,   kGpsBaud,   kGpsProcessGPS,
    kGpsPassBinaryData, kGpsDemo, kLogStatus, kDebugPanel};

// The USB ids of the module, "VVVV:PPPP" in hexadecimal as lsusb prints them, several
// separated by commas or blanks. Present only when the user has the real module; never
// written at first start.
inline constexpr std::string_view kUsbSection = "USB";
inline constexpr std::string_view kUsbDeviceKey = "Device";

// The ids in a [USB] Device value, in order, each once. Words that are no id go to
// `rejected` (when given) and are otherwise ignored.
std::vector<UsbId> ParseUsbIds(std::string_view text, std::vector<std::string>* rejected = nullptr);

// "12" -> 12, "-7" -> -7, "0x1F" -> 31. Anything else, trailing junk or a number out of
// the signed 32-bit range included, gives the default. "0x" alone is no number.
int32_t ParseSettingInteger(std::string_view text, int32_t fallback);

class TSettings;

// The settings as the panel holds them while it runs: every key read once at start-up;
// a key is written back by its own name when the panel stores that value. The widgets
// show and edit these values; nothing is read back out of a widget.
struct PanelSettings {
  std::string dgps_name;                  // [Ports] DGPSName
  int32_t com = 0;                        // [GPS] COM: the GPS Data port's number, 0 any
  bool waas = true;                       // [GPS] WAAS
  std::string baud;                       // [GPS] Baud, as the file has it
  bool process_gps = false;               // [GPS] ProcessGPS: the displays run when shown
  bool pass_binary_data = false;          // [GPS] PassBinaryData
  bool demo = false;                      // [GPS] Demo: the Demonstration menu item
  int32_t log_status = 0;                 // [Log] Status
  int32_t debug_panel = 0;                // [Debug] Panel: the window's layout
  std::string ports_directory;            // [Ports] Directory
  std::optional<std::string> usb_device;  // [USB] Device, only when the file has it
};

// Every key of the file, or its default where the file, the section or the key is missing.
PanelSettings ReadPanelSettings(const TSettings& file);

class TSettings {
 public:
  explicit TSettings(std::string path = kSettingsFileName);

  const std::string& FileName() const { return file_.Path(); }

  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback) const;
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t fallback) const;
  // Read as an integer with default 0 or 1; any non-zero number is true.
  bool ReadBool(std::string_view section, std::string_view key, bool fallback) const;

  // The value, or nothing when the file, the section or the key is missing.
  std::optional<std::string> ReadIfPresent(std::string_view section, std::string_view key) const;

  // The same with the key's own default from the table.
  std::string ReadString(const SettingKey& setting) const;
  int32_t ReadInteger(const SettingKey& setting) const;
  bool ReadBool(const SettingKey& setting) const;

  // Each throws SettingsError when the file cannot be written.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int32_t value);
  void WriteBool(std::string_view section, std::string_view key, bool value);  // "1" / "0"
  // The same for a key of the table.
  void WriteInteger(const SettingKey& setting, int32_t value);
  void WriteBool(const SettingKey& setting, bool value);

 private:
  ProfileFile file_;
};

}  // namespace ostrel
