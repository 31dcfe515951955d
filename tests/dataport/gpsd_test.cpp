// gpsd reads the GPS Data port: a capture with fixes fed through TVSPort comes back as
// gpsd's TPV reports with the same position.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QTimer>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/vsport_qt.h"
#include "pty_harness.h"
#include "support/corpus.h"
#include "support/nmea_sentence.h"

namespace ostrel {
namespace {

using namespace testing_pty;

constexpr char kGpsd[] = "/usr/sbin/gpsd";

struct LatLon {
  double lat, lon;
};

// "3747.0873","S" -> -37.78478833
double Degrees(const std::string& field, const std::string& hemi, int degree_digits) {
  const double deg = std::stod(field.substr(0, static_cast<std::size_t>(degree_digits)));
  const double min = std::stod(field.substr(static_cast<std::size_t>(degree_digits)));
  const double v = deg + min / 60.0;
  return hemi == "S" || hemi == "W" ? -v : v;
}

// Every position with a fix in the capture (GGA quality > 0).
std::vector<LatLon> Fixes(const std::vector<std::string>& lines) {
  std::vector<LatLon> out;
  for (const std::string& l : lines) {
    const auto f = test::NmeaFields(l);
    if (l.rfind("$GPGGA", 0) == 0 && f.size() > 6 && !f[2].empty() && f[6] != "0")
      out.push_back({Degrees(f[2], f[3], 2), Degrees(f[4], f[5], 3)});
  }
  return out;
}

double JsonNumber(const std::string& json, const std::string& key, bool& found) {
  const std::size_t at = json.find("\"" + key + "\":");
  found = at != std::string::npos;
  return found ? std::stod(json.substr(at + key.size() + 3)) : 0.0;
}

// gpsd starts as root and drops to an unprivileged user in the device's group; only
// reports read after that count.
bool RunsUnprivileged(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string l; std::getline(status, l);)
    if (l.rfind("Uid:", 0) == 0) return std::stoi(l.substr(4)) != 0;
  return false;
}

int FreeTcpPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  (void)::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

TEST(Gpsd, ReadsFixesFromThePort) {
  if (!std::filesystem::exists(kGpsd)) GTEST_SKIP() << kGpsd << " is not installed";

  std::vector<std::string> lines;
  {
    std::istringstream in(test::ReadCapture("bu353s4.log"));
    for (std::string l; std::getline(in, l);)
      if (!l.empty() && l[0] == '$') lines.push_back(l + "\r\n");  // the receiver sends CR LF
  }
  const std::vector<LatLon> fixes = Fixes(lines);
  ASSERT_FALSE(fixes.empty());

  TempDir dir;
  TVSPort port(dir.Path().string());
  ASSERT_TRUE(port.CreatePort("COM7"));
  const std::string tcp = std::to_string(FreeTcpPort());
  const std::string control = dir.Path().string() + "/gpsd.sock";
  const std::string link = port.LinkPath();
  // -b: read-only, no probe strings (with the panel they would reach the receiver).
  Child gpsd([&](int, int) {
    ::execl(kGpsd, "gpsd", "-N", "-n", "-b", "-S", tcp.c_str(), "-F", control.c_str(), link.c_str(),
            static_cast<char*>(nullptr));
    return 127;
  });

  // The receive cycle's stand-in: a sentence every 20 ms, round and round the capture.
  std::size_t next = 0;
  QTimer feed;
  QObject::connect(&feed, &QTimer::timeout, [&] {
    const std::string& l = lines[next++ % lines.size()];
    port.Write(reinterpret_cast<const std::uint8_t*>(l.data()), static_cast<int32_t>(l.size()));
  });
  feed.start(20);

  int sock = -1;
  std::string json, tpv;
  const bool got = WaitFor(
      [&] {
        if (gpsd.Exited()) return true;
        if (sock < 0) {
          sock = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
          sockaddr_in a{};
          a.sin_family = AF_INET;
          a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
          a.sin_port = htons(static_cast<uint16_t>(std::stoi(tcp)));
          if (::connect(sock, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 &&
              errno != EINPROGRESS) {
            ::close(sock);
            sock = -1;
            return false;
          }
          static const char kWatch[] = "?WATCH={\"enable\":true,\"json\":true};\n";
          if (::send(sock, kWatch, sizeof kWatch - 1, MSG_NOSIGNAL) < 0) {
            ::close(sock);
            sock = -1;
          }
          return false;
        }
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(sock, buf, sizeof buf, 0)) > 0)
          json.append(buf, static_cast<std::size_t>(n));
        for (std::size_t end; (end = json.find('\n')) != std::string::npos;
             json.erase(0, end + 1)) {
          const std::string report = json.substr(0, end);
          if (RunsUnprivileged(gpsd.Pid()) &&
              report.find("\"class\":\"TPV\"") != std::string::npos &&
              report.find("\"mode\":3") != std::string::npos &&
              // A report set off by GSA alone has the mode but no position yet.
              report.find("\"lat\":") != std::string::npos) {
            tpv = report;
            return true;
          }
        }
        return false;
      },
      30000);
  if (sock >= 0) ::close(sock);
  ASSERT_TRUE(got && !tpv.empty()) << "gpsd exited " << gpsd.ExitCode() << "; last: " << json;

  bool has_lat = false, has_lon = false;
  const double lat = JsonNumber(tpv, "lat", has_lat);
  const double lon = JsonNumber(tpv, "lon", has_lon);
  ASSERT_TRUE(has_lat && has_lon) << tpv;
  bool matches = false;
  for (const LatLon& f : fixes)
    matches = matches || (std::fabs(f.lat - lat) < 1e-5 && std::fabs(f.lon - lon) < 1e-5);
  EXPECT_TRUE(matches) << tpv;
}

}  // namespace
}  // namespace ostrel
