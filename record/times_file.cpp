#include "record/times_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>

#include "platform/regular_file.h"

namespace ostrel {

std::string TimesPathFor(const std::string& nmea_path) {
  constexpr std::string_view kNmea = ".nmea";
  const std::size_t slash = nmea_path.rfind('/');
  const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
  if (nmea_path.size() > name + kNmea.size() &&
      nmea_path.compare(nmea_path.size() - kNmea.size(), kNmea.size(), kNmea) == 0)
    return nmea_path.substr(0, nmea_path.size() - kNmea.size()) + ".times";
  return nmea_path + ".times";
}

std::vector<Millis> ParseTimes(std::string_view text) {
  // A year of recording is far beyond any file; a bigger number is damage.
  constexpr Millis kMax = 366LL * 24 * 3600 * 1000;
  std::vector<Millis> times;
  Millis last = 0;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    if (lf == std::string_view::npos) break;  // the last line, cut short
    std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty() && line.front() == '#') continue;
    Millis value = 0;
    const auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), value);
    if (line.empty() || ec != std::errc() || end != line.data() + line.size() || value < last ||
        value > kMax)
      break;
    times.push_back(value);
    last = value;
  }
  return times;
}

bool HasTimes(const std::string& nmea_path) {
  const int fd = OpenRegularFile(TimesPathFor(nmea_path), O_RDONLY);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::vector<Millis> ReadTimesFor(const std::string& nmea_path, bool& found, std::size_t limit) {
  found = false;
  const int fd = OpenRegularFile(TimesPathFor(nmea_path), O_RDONLY);
  if (fd < 0) return {};
  std::string text;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && static_cast<std::size_t>(st.st_size) <= limit) {
    text.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    text.resize(done);
    found = true;
  }
  ::close(fd);
  return ParseTimes(text);
}

}  // namespace ostrel
