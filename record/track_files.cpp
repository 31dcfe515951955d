#include "record/track_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>

#include "record/times_file.h"

namespace ostrel {
namespace {

// Locale-free fixed-point text (a window's locale may use a decimal comma).
void AppendFixed(std::string& out, double value, int decimals) {
  char text[64];
  const auto [end, ec] =
      std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
  if (ec == std::errc()) out.append(text, end);
}

class GpxWriter final : public TrackWriter {
 public:
  GpxWriter(std::unique_ptr<TrackFile> file, std::int64_t start_utc, const std::string& title)
      : file_(std::move(file)) {
    head_ =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<gpx version=\"1.1\" creator=\"Ostrel GPS Control Panel\"\n"
        "     xmlns=\"http://www.topografix.com/GPX/1/1\"\n"
        "     xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
        "     xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 "
        "http://www.topografix.com/GPX/1/1/gpx.xsd\">\n"
        " <metadata><time>" +
        IsoUtc(start_utc) +
        "</time></metadata>\n"
        " <trk>\n"
        "  <name>" +
        title + "</name>\n";
  }
  int Start() {
    if (const int err = file_->Append(head_ + Tail())) return err;
    end_ = static_cast<std::int64_t>(head_.size());
    return 0;
  }
  int Point(const TrackPoint& p, bool new_segment) override {
    std::string text;
    if (in_segment_ && new_segment) text += "  </trkseg>\n";
    if (!in_segment_ || new_segment) text += "  <trkseg>\n";
    text += "   <trkpt lat=\"";
    AppendFixed(text, p.latitude, 8);
    text += "\" lon=\"";
    AppendFixed(text, p.longitude, 8);
    text += "\">";
    if (p.elevation) {
      text += "<ele>";
      AppendFixed(text, *p.elevation, 2);
      text += "</ele>";
    }
    if (p.day) text += "<time>" + FormatUtc(p) + "</time>";
    if (p.fix != FixKind::kUnknown) text += std::string("<fix>") + FixName(p.fix) + "</fix>";
    if (p.satellites && *p.satellites >= 0)
      text += "<sat>" + std::to_string(*p.satellites) + "</sat>";
    const std::pair<const char*, const std::optional<double>*> dops[] = {
        {"hdop", &p.hdop}, {"vdop", &p.vdop}, {"pdop", &p.pdop}};
    for (const auto& [name, value] : dops) {
      if (!*value || **value < 0) continue;
      text += std::string("<") + name + ">";
      AppendFixed(text, **value, 2);
      text += std::string("</") + name + ">";
    }
    text += "</trkpt>\n";
    const bool was_in = in_segment_;
    in_segment_ = true;
    // The point over the old closing tags, then the closing tags again.
    if (const int err = file_->WriteAt(end_, text + Tail())) {
      // The old closing tags back over what the failed write left of the point.
      in_segment_ = was_in;
      (void)file_->WriteAt(end_, Tail());
      return err;
    }
    end_ += static_cast<std::int64_t>(text.size());
    return 0;
  }
  int Sentence(std::string_view, Millis) override { return 0; }
  std::int64_t Size() const override { return file_->Size(); }
  const std::string& Path() const override { return file_->Path(); }

 private:
  std::string Tail() const {
    return in_segment_ ? "  </trkseg>\n </trk>\n</gpx>\n" : " </trk>\n</gpx>\n";
  }

  std::unique_ptr<TrackFile> file_;
  std::string head_;
  std::int64_t end_ = 0;  // where the closing tags start
  bool in_segment_ = false;
};

class CsvWriter final : public TrackWriter {
 public:
  explicit CsvWriter(std::unique_ptr<TrackFile> file) : file_(std::move(file)) {}
  int Start() { return file_->Append(kCsvHeader); }
  int Point(const TrackPoint& p, bool) override {
    std::string row = FormatUtc(p) + ",";
    AppendFixed(row, p.latitude, 8);
    row += ',';
    AppendFixed(row, p.longitude, 8);
    row += ',';
    if (p.elevation) AppendFixed(row, *p.elevation, 2);
    row += ',';
    if (p.speed) AppendFixed(row, *p.speed, 3);
    row += ',';
    if (p.course) AppendFixed(row, *p.course, 2);
    row += ',';
    row += FixName(p.fix);
    row += ',';
    if (p.satellites) row += std::to_string(*p.satellites);
    row += ',';
    if (p.hdop) AppendFixed(row, *p.hdop, 2);
    row += "\r\n";
    return file_->Append(row);
  }
  int Sentence(std::string_view, Millis) override { return 0; }
  std::int64_t Size() const override { return file_->Size(); }
  const std::string& Path() const override { return file_->Path(); }

 private:
  std::unique_ptr<TrackFile> file_;
};

class NmeaWriter final : public TrackWriter {
 public:
  NmeaWriter(std::unique_ptr<TrackFile> nmea, std::unique_ptr<TrackFile> times)
      : nmea_(std::move(nmea)), times_(std::move(times)) {}
  int Start(std::int64_t start_utc) {
    return times_->Append(std::string(kTimesHeader) + " " + IsoUtc(start_utc) + "\n");
  }
  int Point(const TrackPoint&, bool) override { return 0; }
  int Sentence(std::string_view line, Millis ms) override {
    const std::int64_t before = nmea_->Size();
    failed_ = nmea_.get();
    if (const int err = nmea_->Append(line)) return err;
    failed_ = times_.get();
    if (const int err = times_->Append(std::to_string(ms) + "\n")) {
      // A sentence without its time would shift every time after it.
      nmea_->Truncate(before);
      return err;
    }
    return 0;
  }
  std::int64_t Size() const override { return nmea_->Size() + times_->Size(); }
  const std::string& Path() const override { return failed_->Path(); }

 private:
  std::unique_ptr<TrackFile> nmea_;
  std::unique_ptr<TrackFile> times_;
  TrackFile* failed_ = nmea_.get();
};

std::string FileTitle(const std::string& base) {
  const std::size_t slash = base.rfind('/');
  return slash == std::string::npos ? base : base.substr(slash + 1);
}

}  // namespace

std::string IsoUtc(std::int64_t utc_ms) {
  const std::int64_t seconds = utc_ms >= 0 ? utc_ms / 1000 : (utc_ms - 999) / 1000;
  TrackPoint p;
  p.day = static_cast<std::int32_t>(seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400);
  p.day_ms = static_cast<std::int32_t>((seconds - std::int64_t{*p.day} * 86400) * 1000);
  return FormatUtc(p);
}

std::unique_ptr<TrackFile> TrackFile::Create(const std::string& path, int& err) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    err = errno;
    return nullptr;
  }
  err = 0;
  return std::unique_ptr<TrackFile>(new TrackFile(fd, path));
}

TrackFile::~TrackFile() { ::close(fd_); }

int TrackFile::Reserve(std::int64_t end) {
  // Exactly what the write needs: room taken ahead would stay taken past the file's end
  // (ext4 keeps it after close).
  if (!can_reserve_ || end <= size_) return 0;
  if (::fallocate(fd_, FALLOC_FL_KEEP_SIZE, size_, end - size_) == 0) return 0;
  if (errno == ENOSPC || errno == EDQUOT) return errno;
  // The file system cannot reserve; the write finds out itself.
  can_reserve_ = false;
  return 0;
}

int TrackFile::WriteAt(std::int64_t offset, std::string_view text) {
  const std::int64_t end = offset + static_cast<std::int64_t>(text.size());
  if (const int err = Reserve(end)) return err;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::pwrite(fd_, text.data() + done, text.size() - done,
                               static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int err = n < 0 ? errno : ENOSPC;
    // What the failed write replaced is put back: the file's old end (closing tags of a
    // GPX) was `size_ - offset` bytes that this write began to overwrite.
    Truncate(size_);
    return err;
  }
  if (end > size_) size_ = end;
  return 0;
}

void TrackFile::Truncate(std::int64_t size) {
  int rc = 0;
  do rc = ::ftruncate(fd_, static_cast<off_t>(size));
  while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    size_ = size;
    return;
  }
  // The cut failed (an I/O error): the next write goes where the file really ends, so
  // nothing stale is left past it.
  struct stat st {};
  if (::fstat(fd_, &st) == 0) size_ = st.st_size;
}

std::unique_ptr<TrackWriter> MakeGpxWriter(const std::string& base, std::int64_t start_utc,
                                           int& err) {
  std::unique_ptr<TrackFile> file = TrackFile::Create(base + ".gpx", err);
  if (!file) return nullptr;
  auto writer = std::make_unique<GpxWriter>(std::move(file), start_utc, FileTitle(base));
  err = writer->Start();
  return writer;
}

std::unique_ptr<TrackWriter> MakeCsvWriter(const std::string& base, int& err) {
  std::unique_ptr<TrackFile> file = TrackFile::Create(base + ".csv", err);
  if (!file) return nullptr;
  auto writer = std::make_unique<CsvWriter>(std::move(file));
  err = writer->Start();
  return writer;
}

std::unique_ptr<TrackWriter> MakeNmeaWriter(const std::string& base, std::int64_t start_utc,
                                            int& err) {
  std::unique_ptr<TrackFile> nmea = TrackFile::Create(base + ".nmea", err);
  if (!nmea) return nullptr;
  std::unique_ptr<TrackFile> times = TrackFile::Create(TimesPathFor(base + ".nmea"), err);
  if (!times) return nullptr;
  auto writer = std::make_unique<NmeaWriter>(std::move(nmea), std::move(times));
  err = writer->Start(start_utc);
  return writer;
}

}  // namespace ostrel
