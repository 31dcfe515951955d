#pragma once
// The program's two files of its own, both in the current directory unless a test says
// otherwise:
//   positions.log  one record per received chunk, to play a stretch of data back:
//                  int32 little-endian length n (1..2047), then the n bytes.
//                  0A 00 00 00 24 47 50 47 47 41 2C 2E 2E 0A  = a 10-byte chunk "$GPGGA,..\n"
//   error.log      notes for the user (the serial-port listing's failures, a second
//                  reader of the GPS Data port, USB notices), run together as written.
//                  The same note again within a minute is counted, not written, and
//                  past 1 MB the file becomes error.log.1, so a note that repeats every
//                  second (a misbehaving client) cannot fill the disk.
// positions.log is never truncated or rotated. Write failures are not reported: logging
// must never stop the receive cycle. Only a regular file is used: a FIFO or a device under
// either name is an error of that log, said once on stderr, and the panel goes on.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "receive/chunk.h"

namespace ostrel {

class PositionsLog {
 public:
  // [Log] Status. Any other value does what kOff does.
  static constexpr int32_t kOff = 0;
  static constexpr int32_t kReplay = 1;
  static constexpr int32_t kRecord = 2;
  // The receive tick's chunk, which is what gets recorded and replayed.
  static constexpr int32_t kChunkBufferSize = ostrel::kChunkBufferSize;
  static constexpr int32_t kMaxChunk = ostrel::kMaxChunk;

  // `directory` empty: the current directory.
  explicit PositionsLog(int32_t mode, const std::string& directory = {});
  ~PositionsLog();
  PositionsLog(const PositionsLog&) = delete;
  PositionsLog& operator=(const PositionsLog&) = delete;

  int32_t Mode() const { return mode_; }
  const std::string& FileName() const { return path_; }
  // The file is open between the ticks of one replay pass.
  bool IsOpen() const { return file_ != nullptr; }

  // Once per tick with the tick's chunk (ChunkBuffer has kChunkBufferSize bytes).
  // Replay puts the next recorded chunk in its place and its length in `len`, or len 0
  // (and ChunkBuffer[0] = 0) at the end of each pass; the pass then starts again on the
  // next call. A record that cannot be a chunk (length outside 1..2047, or cut short by
  // the end of the file) ends the pass the same way. Record appends a non-empty chunk.
  void LogPositions(std::uint8_t* ChunkBuffer, int32_t& len);

  // Recording stopped (a full disk, a folder that cannot be written) or went on again
  // since the last call: the note for the user, once for each change. The log stays
  // whole meanwhile, and recording goes on by itself once the file can be written.
  bool TakeNotice(std::string& text);

 private:
  void Replay(std::uint8_t* ChunkBuffer, int32_t& len);
  void Record(const std::uint8_t* ChunkBuffer, int32_t len);
  void EndPass(std::uint8_t* ChunkBuffer, int32_t& len);
  void Refused();
  void RecordFailed(int err);
  void RecordWritten();

  int32_t mode_;
  std::string path_;
  std::FILE* file_ = nullptr;  // open for replay only, across ticks
  int said_ = 0;               // the errno last reported
  bool stopped_ = false;       // recording failed last time
  std::string notice_;         // for TakeNotice
};

// error.log in one directory. A note is appended as it is, up to a NUL in it, with no
// line end added. The same note as the last one, within a minute of its last copy in the
// file, is only counted; the count is written as
//   (last message repeated 293 times)
// on a line of its own before the next note that is written, and when the log ends.
// A note that would take the file past 1 MB first moves it to error.log.1, replacing an
// older one. A file that cannot be opened is skipped. Notes may come from any thread.
class ErrorLogFile {
 public:
  static constexpr Millis kRepeatWindow = 60000;
  static constexpr long kRotateSize = 1L << 20;

  // `directory` empty: the current directory.
  ErrorLogFile(const std::string& directory, Clock& clock);
  ~ErrorLogFile();
  ErrorLogFile(const ErrorLogFile&) = delete;
  ErrorLogFile& operator=(const ErrorLogFile&) = delete;

  const std::string& FileName() const { return path_; }
  void Note(std::string_view text);

 private:
  void WriteCount();
  void Append(std::string_view text);

  const std::string path_;
  Clock& clock_;
  std::mutex mu_;
  std::string last_;  // the note written last
  Millis last_at_ = 0;
  long repeats_ = 0;  // copies of it counted since
};

// The note to error.log in `directory` (empty: the current directory), through one
// ErrorLogFile a directory that lives as long as the program, on the system clock.
void ErrorLog(std::string_view text, const std::string& directory = {});

}  // namespace ostrel
