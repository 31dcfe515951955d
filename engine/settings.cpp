#include "engine/settings.h"

#include <algorithm>
#include <charconv>
#include <utility>

namespace ostrel {

int32_t ParseSettingInteger(std::string_view text, int32_t fallback) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
    // from_chars would take a sign here; "0x-5" is no number.
    if (text.front() == '-' || text.front() == '+') return fallback;
  } else if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return fallback;
  }
  if (text.empty()) return fallback;
  int32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size()) return fallback;
  return value;
}

std::vector<UsbId> ParseUsbIds(std::string_view text, std::vector<std::string>* rejected) {
  std::vector<UsbId> ids;
  auto hex = [](std::string_view part, std::uint16_t& value) {
    if (part.empty() || part.size() > 4) return false;
    const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value, 16);
    return ec == std::errc() && end == part.data() + part.size();
  };
  constexpr std::string_view kSeparators = ", \t;";
  while (!text.empty()) {
    const std::size_t start = text.find_first_not_of(kSeparators);
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    const std::string_view word = text.substr(0, text.find_first_of(kSeparators));
    text.remove_prefix(word.size());
    const std::size_t colon = word.find(':');
    UsbId id;
    if (colon != std::string_view::npos && hex(word.substr(0, colon), id.vendor) &&
        hex(word.substr(colon + 1), id.product)) {
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    } else if (rejected != nullptr) {
      rejected->emplace_back(word);
    }
  }
  return ids;
}

PanelSettings ReadPanelSettings(const TSettings& file) {
  PanelSettings s;
  s.dgps_name = file.ReadString(kDGPSName);
  s.com = file.ReadInteger(kGpsCom);
  s.waas = file.ReadBool(kGpsWAAS);
  s.baud = file.ReadString(kGpsBaud);
  s.process_gps = file.ReadBool(kGpsProcessGPS);
  s.pass_binary_data = file.ReadBool(kGpsPassBinaryData);
  s.demo = file.ReadBool(kGpsDemo);
  s.log_status = file.ReadInteger(kLogStatus);
  s.debug_panel = file.ReadInteger(kDebugPanel);
  s.ports_directory = file.ReadString(kPortsDirectory);
  s.usb_device = file.ReadIfPresent(kUsbSection, kUsbDeviceKey);
  return s;
}

TSettings::TSettings(std::string path) : file_(std::move(path)) {}

std::string TSettings::ReadString(std::string_view section, std::string_view key,
                                  std::string_view fallback) const {
  return file_.Read(section, key, fallback);
}

int32_t TSettings::ReadInteger(std::string_view section, std::string_view key,
                               int32_t fallback) const {
  std::string text = file_.Read(section, key, "");
  return ParseSettingInteger(text, fallback);
}

bool TSettings::ReadBool(std::string_view section, std::string_view key, bool fallback) const {
  return ReadInteger(section, key, fallback ? 1 : 0) != 0;
}

std::optional<std::string> TSettings::ReadIfPresent(std::string_view section,
                                                    std::string_view key) const {
  // No value read from a file can hold a line break, so this default means "missing".
  constexpr std::string_view kMissing = "\n";
  std::string text = file_.Read(section, key, kMissing);
  if (text == kMissing) return std::nullopt;
  return text;
}

std::string TSettings::ReadString(const SettingKey& setting) const {
  return ReadString(setting.section, setting.key, setting.default_text);
}

int32_t TSettings::ReadInteger(const SettingKey& setting) const {
  return ReadInteger(setting.section, setting.key, ParseSettingInteger(setting.default_text, 0));
}

bool TSettings::ReadBool(const SettingKey& setting) const {
  return ReadBool(setting.section, setting.key, ParseSettingInteger(setting.default_text, 0) != 0);
}

void TSettings::WriteString(std::string_view section, std::string_view key,
                            std::string_view value) {
  try {
    file_.Write(section, key, value);
  } catch (const ProfileError& e) {
    throw SettingsError(e.what());
  }
}

void TSettings::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void TSettings::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void TSettings::WriteInteger(const SettingKey& setting, int32_t value) {
  WriteInteger(setting.section, setting.key, value);
}

void TSettings::WriteBool(const SettingKey& setting, bool value) {
  WriteBool(setting.section, setting.key, value);
}

}  // namespace ostrel
