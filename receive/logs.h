#pragma once
// The program's two files of its own, both in the current directory unless a test says
// otherwise:
//   positions.log  one record per received chunk, to play a stretch of data back:
//                  int32 little-endian length n (1..2047), then the n bytes.
//                  0A 00 00 00 24 47 50 47 47 41 2C 2E 2E 0A  = a 10-byte chunk "$GPGGA,..\n"
//   error.log      failure messages of the serial-port listing, run together as written.
// Neither is ever truncated or rotated. Write failures are not reported: logging must
// never stop the receive cycle. Only a regular file is used: a FIFO or a device under
// either name is an error of that log, said once on stderr, and the panel goes on.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

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

 private:
  void Replay(std::uint8_t* ChunkBuffer, int32_t& len);
  void Record(const std::uint8_t* ChunkBuffer, int32_t len);
  void EndPass(std::uint8_t* ChunkBuffer, int32_t& len);
  void Refused();

  int32_t mode_;
  std::string path_;
  std::FILE* file_ = nullptr;  // open for replay only, across ticks
  int said_ = 0;               // the errno last reported
};

// Appends `text` (up to a NUL in it, if any) to error.log in `directory` (empty: the
// current directory). No line end is added. A file that cannot be opened is skipped.
void ErrorLog(std::string_view text, const std::string& directory = {});

}  // namespace ostrel
