#include "capture_report.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <algorithm>
#include <array>
#include <sstream>
#include <string_view>
#include <vector>

#include "gps/fix_display.h"
#include "rig.h"
#include "support/corpus.h"
#include "support/temp_dir.h"

namespace ostrel::testing {
namespace {

// The window as far as the report looks at it: the status line, the fix labels and
// SatGrid, filled by the same UpdateFixDisplay the window calls.
class ReportView final : public ReceiveView, public FixView {
 public:
  const TGPS* gps = nullptr;

  void SetConnectionLabel(std::string_view text) override { AddIfNew(labels, text); }
  void SetMessageStatus(std::string_view) override {}
  void SetEEPROMSerial(std::string_view) override {}
  void SetFirmwareVersion(std::string_view) override {}
  bool ProcessGPS() const override { return true; }
  void UpdateFixDisplay() override { ostrel::UpdateFixDisplay(*gps, *this); }
  void ShowDataStream(const std::uint8_t*, int32_t) override {}
  void DemoFileUnavailable(const std::string&, const std::string&) override {}
  void ShowNotice(const std::string&) override {}
  void GPSButtonSetClick() override {}

  void SetFixTexts(const std::string& mode, const std::string& latitude,
                   const std::string& longitude, const std::string& elevation,
                   const std::string& speed) override {
    AddIfNew(modes, mode);
    fix = {mode, latitude, longitude, elevation, speed};
  }
  void SetSatCell(int row, int col, std::string_view text) override {
    grid[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)] = text;
  }

  std::vector<std::string> labels, modes;
  std::array<std::string, 5> fix;
  std::array<std::array<std::string, kSatGridColumns>, kSatGridLastRow + 1> grid;

 private:
  static void AddIfNew(std::vector<std::string>& seen, std::string_view text) {
    if (seen.empty() || seen.back() != text) seen.emplace_back(text);
  }
};

// The module's USB packets, and how many arrive between two 100 ms ticks: about 12800
// baud, a little more than the module's usual 9600 so that the buffer is tested too.
constexpr std::size_t kPacket = 64;
constexpr std::size_t kPacketsPerTick = 2;

}  // namespace

std::string CaptureReport(const std::string& path, const std::string& name) {
  std::string capture = test::ReadAll(path);
  // Captures of NMEA text stored with LF alone get back the CR LF the receiver sent; one
  // with UBX frames is left as it is (a lone LF there is a frame's byte).
  if (capture.find("\r\n") == std::string::npos && capture.find("\xB5\x62") == std::string::npos)
    capture = test::WithCrLf(capture);
  ReportView view;
  Rig rig(nullptr, &view);
  view.gps = &rig.gps;
  if (!rig.link.OpenDevice()) return "the fake module did not open\n";
  int ticks = 0;
  for (std::size_t at = 0; at < capture.size(); at += kPacket * kPacketsPerTick, ++ticks) {
    for (std::size_t p = at; p < std::min(capture.size(), at + kPacket * kPacketsPerTick);
         p += kPacket)
      Deliver(rig.link, std::string_view(capture).substr(p, std::min(kPacket, capture.size() - p)));
    rig.cycle.Tick();
    rig.clock.Set(rig.clock.Now() + 100);
  }

  const std::string bytes = rig.port.All();
  const QByteArray digest = QCryptographicHash::hash(
      QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size())),
      QCryptographicHash::Sha256);
  std::ostringstream out;
  out << "capture: " << name << "\n";
  out << "ticks: " << ticks << "\n"
      << "data port: " << bytes.size() << " bytes in " << rig.port.writes.size()
      << " writes, sha256 " << digest.toHex().toStdString() << "\n";
  const auto list = [&out](const char* title, const std::vector<std::string>& texts) {
    out << title << ":";
    if (texts.empty()) out << " (none)";
    for (const auto& t : texts) out << "\n  " << t;
    out << "\n";
  };
  list("status line, each new text", view.labels);
  list("fix mode, each new text", view.modes);
  out << "fix at the end: " << view.fix[0] << " | " << view.fix[1] << " | " << view.fix[2] << " | "
      << view.fix[3] << " | " << view.fix[4] << "\n"
      << "satellite grid at the end (PRN, elevation, azimuth, SNR):\n";
  for (int row = kSatGridFirstRow; row <= kSatGridLastRow; ++row) {
    const auto& cells = view.grid[static_cast<std::size_t>(row)];
    if (cells[0].empty()) continue;
    out << " ";
    for (const auto& cell : cells) out << " " << cell;
    out << "\n";
  }
  return out.str();
}

std::string ExpectedReportPath(const std::string& name) {
  return std::string(OSTREL_CORPUS_DIR) + "/" + name + ".expected";
}

}  // namespace ostrel::testing
