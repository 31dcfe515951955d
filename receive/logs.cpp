#include "receive/logs.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include "platform/regular_file.h"

namespace ostrel {
namespace {

std::string InDirectory(const std::string& directory, const char* name) {
  if (directory.empty()) return name;
  return directory.back() == '/' ? directory + name : directory + "/" + name;
}

}  // namespace

PositionsLog::PositionsLog(int32_t mode, const std::string& directory)
    : mode_(mode), path_(InDirectory(directory, "positions.log")) {}

PositionsLog::~PositionsLog() {
  if (file_ != nullptr) std::fclose(file_);
}

void PositionsLog::LogPositions(std::uint8_t* ChunkBuffer, int32_t& len) {
  if (mode_ == kReplay) {
    Replay(ChunkBuffer, len);
  } else if (mode_ == kRecord) {
    Record(ChunkBuffer, len);
  }
}

void PositionsLog::EndPass(std::uint8_t* ChunkBuffer, int32_t& len) {
  std::fclose(file_);
  file_ = nullptr;
  len = 0;
  ChunkBuffer[0] = 0;
}

void PositionsLog::Replay(std::uint8_t* ChunkBuffer, int32_t& len) {
  if (file_ == nullptr) {
    // Opened for update as the design has it; a write-protected log still plays back.
    file_ = OpenRegularStream(path_, "r+b");
    if (file_ == nullptr && (errno == EACCES || errno == EROFS)) {
      file_ = OpenRegularStream(path_, "rb");
    }
    if (file_ == nullptr) return Refused();  // live chunk stays; the next tick tries again
  }
  std::uint8_t head[4];
  if (std::fread(head, 1, sizeof head, file_) != sizeof head) return EndPass(ChunkBuffer, len);
  uint32_t raw = static_cast<uint32_t>(head[0]) | static_cast<uint32_t>(head[1]) << 8 |
                 static_cast<uint32_t>(head[2]) << 16 | static_cast<uint32_t>(head[3]) << 24;
  int32_t n = static_cast<int32_t>(raw);
  if (n < 1 || n > kMaxChunk) return EndPass(ChunkBuffer, len);
  if (std::fread(ChunkBuffer, 1, static_cast<size_t>(n), file_) != static_cast<size_t>(n)) {
    return EndPass(ChunkBuffer, len);
  }
  len = n;
  ChunkBuffer[len] = 0;
}

void PositionsLog::Refused() {
  const int err = errno;
  if (err == ENOENT || err == said_) return;  // a replay without a log yet is no error
  said_ = err;
  std::fprintf(stderr, "ostrel-panel: %s: %s\n", path_.c_str(), OpenFailure(err));
}

void PositionsLog::Record(const std::uint8_t* ChunkBuffer, int32_t len) {
  // Beyond 2047 the chunk cannot be real and would not play back.
  if (len <= 0 || len > kMaxChunk) return;
  std::FILE* f = OpenRegularStream(path_, "a+b");
  if (f == nullptr) return RecordFailed(errno);
  // One buffer, one write: a record is whole or, should the disk fill, cut off again,
  // so the records after it stay readable.
  std::uint8_t record[4 + kMaxChunk];
  const auto n = static_cast<uint32_t>(len);
  record[0] = static_cast<std::uint8_t>(n);
  record[1] = static_cast<std::uint8_t>(n >> 8);
  record[2] = static_cast<std::uint8_t>(n >> 16);
  record[3] = static_cast<std::uint8_t>(n >> 24);
  for (int32_t i = 0; i < len; ++i) record[4 + i] = ChunkBuffer[i];
  const size_t total = 4 + static_cast<size_t>(len);
  long start = std::fseek(f, 0, SEEK_END) == 0 ? std::ftell(f) : -1;
  errno = 0;
  bool whole = std::fwrite(record, 1, total, f) == total && std::fflush(f) == 0;
  const int err = errno != 0 ? errno : EIO;
  if (!whole && start >= 0) {
    if (::ftruncate(fileno(f), static_cast<off_t>(start)) != 0) {
      // Nothing more can be done; the next pass ends at the cut record.
    }
  }
  std::fclose(f);
  if (whole)
    RecordWritten();
  else
    RecordFailed(err);
}

void PositionsLog::RecordFailed(int err) {
  if (stopped_) return;
  stopped_ = true;
  notice_ = path_ + ": " + OpenFailure(err) +
            ": recording has stopped; it goes on by itself once the file can be written again.";
}

void PositionsLog::RecordWritten() {
  if (!stopped_) return;
  stopped_ = false;
  notice_ = path_ + ": recording goes on again.";
}

bool PositionsLog::TakeNotice(std::string& text) {
  if (notice_.empty()) return false;
  text.swap(notice_);
  notice_.clear();
  return true;
}

ErrorLogFile::ErrorLogFile(const std::string& directory, Clock& clock)
    : path_(InDirectory(directory, "error.log")), clock_(clock) {}

ErrorLogFile::~ErrorLogFile() { WriteCount(); }

void ErrorLogFile::Note(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  std::lock_guard lock(mu_);
  const Millis now = clock_.Now();
  if (text == last_ && now - last_at_ < kRepeatWindow) {
    ++repeats_;
    return;
  }
  WriteCount();
  Append(text);
  last_.assign(text);
  last_at_ = now;
}

void ErrorLogFile::WriteCount() {
  if (repeats_ == 0) return;
  // Notes of the serial-port listing carry no line end; the count stands on its own line.
  const char* const start = !last_.empty() && last_.back() != '\n' ? "\n" : "";
  Append(std::string(start) + "(last message repeated " + std::to_string(repeats_) +
         (repeats_ == 1 ? " time)\n" : " times)\n"));
  repeats_ = 0;
}

void ErrorLogFile::Append(std::string_view text) {
  std::FILE* f = OpenRegularStream(path_, "a");
  struct stat st {};
  if (f != nullptr && ::fstat(fileno(f), &st) == 0 && st.st_size > 0 &&
      st.st_size + static_cast<long>(text.size()) > kRotateSize) {
    std::fclose(f);
    f = nullptr;
    // Where the old file cannot be moved aside the note is lost rather than the size
    // unbounded.
    if (std::rename(path_.c_str(), (path_ + ".1").c_str()) == 0) f = OpenRegularStream(path_, "a");
  }
  if (f == nullptr) {
    // Said once per reason: every failure of the listing would say it again.
    static std::atomic<int> said{0};
    const int err = errno;
    if (said.exchange(err) != err)
      std::fprintf(stderr, "ostrel-panel: %s: %s\n", path_.c_str(), OpenFailure(err));
    return;
  }
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

void ErrorLog(std::string_view text, const std::string& directory) {
  // One log a directory, kept to the end of the program, which writes the last count.
  static std::mutex mu;
  static std::map<std::string, std::unique_ptr<ErrorLogFile>> logs;
  ErrorLogFile* log = nullptr;
  {
    std::lock_guard lock(mu);
    std::unique_ptr<ErrorLogFile>& slot = logs[directory];
    if (!slot) slot = std::make_unique<ErrorLogFile>(directory, SystemClock());
    log = slot.get();
  }
  log->Note(text);
}

}  // namespace ostrel
