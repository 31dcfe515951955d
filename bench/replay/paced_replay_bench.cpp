// How closely File > Demonstration of a recording with its times keeps the recorded pace:
// the real engine (real clock, real receive timer and pace timer, real pseudo-terminal
// GPS Data port, no module) plays a recording whose sentences came at uneven gaps; a
// client of the GPS Data port timestamps each sentence as it arrives. Prints, per speed,
// the gaps' deviation from the recorded gaps divided by the speed: mean, 95th percentile
// and largest, in milliseconds.
//
//   paced_replay_bench [SENTENCES]        (default 120)
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/panel_engine.h"
#include "engine/panel_view.h"
#include "platform/clock.h"

namespace {

using Steady = std::chrono::steady_clock;

class QuietView final : public ostrel::PanelView {
 public:
  explicit QuietView(std::string file, int speed) : file_(std::move(file)), speed_(speed) {}
  void ShowStatus(std::string_view) override {}
  void ShowTrayTip(const std::string&) override {}
  void ShowPort(const std::string&, const std::string& link, const std::string&) override {
    link_path = link;
  }
  void ShowMessageStatus(std::string_view) override {}
  void ShowSerial(std::string_view) override {}
  void ShowFirmwareVersion(std::string_view) override {}
  void ShowFix(const ostrel::TGPS&) override {}
  void ShowFixCurrent(bool) override {}
  void ShowChunkSize(std::string_view) override {}
  int32_t MemoLineCount() const override { return 0; }
  void ClearMemo() override {}
  void AppendMemo(std::string_view) override {}
  void ShowProcessGPS(bool) override {}
  void ShowDemonstration(bool) override {}
  void ShowNotice(const std::string&) override {}
  void ShowMessage(const std::string& caption, const std::string& text) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  }
  bool ConfirmErase() override { return false; }
  std::optional<std::string> AskDemoFileName() override { return file_; }
  int AskDemoSpeed() override { return speed_; }
  void EndRequested() override {}
  std::string link_path;

 private:
  std::string file_;
  int speed_;
};

std::string Sentence(int n) {
  std::string body = "GPTXT,01,01,02,paced " + std::to_string(n);
  unsigned x = 0;
  for (char c : body) x ^= static_cast<unsigned char>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", x);
  return "$" + body + tail;
}

// A recording of `count` sentences with uneven gaps, as a receiver's epochs and their
// sentences come: bursts and pauses. Its arrival times.
std::vector<ostrel::Millis> WriteRecording(const std::string& dir, int count) {
  std::mt19937 rng(24);
  const int gaps[] = {0, 0, 3, 17, 45, 130, 250, 480, 970};
  std::vector<ostrel::Millis> times;
  std::ofstream nmea(dir + "/walk.nmea", std::ios::binary);
  std::ofstream sidecar(dir + "/walk.times", std::ios::binary);
  sidecar << "#ostrel-times 1 2026-12-07T10:00:00Z\n";
  ostrel::Millis at = 0;
  for (int i = 0; i < count; ++i) {
    at += gaps[rng() % std::size(gaps)];
    times.push_back(at);
    nmea << Sentence(i);
    sidecar << at << "\n";
  }
  return times;
}

// The arrival time of each line a client of the GPS Data port reads while the panel
// replays the recording at `speed`.
std::vector<double> Arrivals(QCoreApplication& app, const std::string& dir, int speed,
                             const std::vector<ostrel::Millis>& times) {
  ostrel::PanelEnvironment env;
  env.folder = dir;
  env.make_driver = [](const std::vector<ostrel::UsbId>&, const ostrel::UsbNoticeSink&) {
    return ostrel::MakeUsbDriver({}, "ostrel-paced-bench-nobody", {});
  };
  std::filesystem::remove(dir + "/ostrel_gps_monitor.ini");
  std::ofstream(dir + "/ostrel_gps_monitor.ini") << "[GPS]\nCOM=7\nDemo=1\n";
  QuietView view(dir + "/walk.nmea", speed);
  ostrel::PanelEngine engine(env, view);
  std::vector<double> arrivals;
  if (!engine.Start() || view.link_path.empty()) return arrivals;
  const int fd = ::open(view.link_path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return arrivals;
  termios tio{};
  ::tcgetattr(fd, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(fd, TCSANOW, &tio);
  std::string pending;
  QTimer reader;
  // The client polls often; 1 ms of polling is well inside what is measured.
  reader.setInterval(1);
  reader.setTimerType(Qt::PreciseTimer);
  QObject::connect(&reader, &QTimer::timeout, [&] {
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return;
    const double now =
        std::chrono::duration<double, std::milli>(Steady::now().time_since_epoch()).count();
    pending.append(buf, static_cast<std::size_t>(n));
    for (std::size_t lf; (lf = pending.find('\n')) != std::string::npos;) {
      arrivals.push_back(now);
      pending.erase(0, lf + 1);
    }
    if (arrivals.size() >= times.size()) app.quit();
  });
  reader.start();
  engine.ToggleDemonstration();
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, [&] { app.quit(); });
  limit.start(static_cast<int>(times.back() / speed + 5000));
  QCoreApplication::exec();
  engine.Stop();
  ::close(fd);
  return arrivals;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(10, std::atoi(argv[1])) : 120;
  char dir_name[] = "/tmp/ostrel-paced-XXXXXX";
  if (::mkdtemp(dir_name) == nullptr) return 1;
  const std::string dir = dir_name;
  const std::vector<ostrel::Millis> times = WriteRecording(dir, count);
  int argc_qt = 1;
  QCoreApplication app(argc_qt, argv);
  std::printf("%-6s %-10s %-10s %-10s %-10s\n", "speed", "sentences", "mean ms", "p95 ms",
              "max ms");
  for (const int speed : {1, 2, 10}) {
    const std::vector<double> arrivals = Arrivals(app, dir, speed, times);
    if (arrivals.empty()) return 1;
    std::vector<double> off;
    for (std::size_t i = 1; i < arrivals.size() && i < times.size(); ++i) {
      const double want = static_cast<double>(times[i] - times[i - 1]) / static_cast<double>(speed);
      off.push_back(std::fabs((arrivals[i] - arrivals[i - 1]) - want));
    }
    std::sort(off.begin(), off.end());
    double sum = 0;
    for (double d : off) sum += d;
    const double mean = off.empty() ? 0 : sum / static_cast<double>(off.size());
    const double p95 = off.empty() ? 0 : off[off.size() * 95 / 100];
    std::printf("x%-5d %-10zu %-10.2f %-10.2f %-10.2f\n", speed, arrivals.size(), mean, p95,
                off.empty() ? 0 : off.back());
  }
  std::filesystem::remove_all(dir);
  return 0;
}
