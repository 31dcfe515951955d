#include "receive/demo_source.h"

#include <cerrno>
#include <cstring>

#include "platform/regular_file.h"
#include "receive/chunk.h"

namespace ostrel {

DemoSource::~DemoSource() { Stop(); }

void DemoSource::Stop() {
  if (DemoFile != nullptr) {
    std::fclose(DemoFile);
    DemoFile = nullptr;
  }
  last_byte_ = EOF;
  failed_name_.clear();
}

bool DemoSource::TakeOpenFailure(std::string& reason) {
  if (!failure_new_) return false;
  failure_new_ = false;
  reason = failure_reason_;
  return true;
}

int32_t DemoSource::ReadLine(std::uint8_t* line, bool& at_end) {
  int32_t n = 0;
  while (n < kMaxLine) {
    const int c = std::getc(DemoFile);
    if (c == EOF) {
      at_end = true;
      break;
    }
    if (c == '\n' && lf_file_ && last_byte_ != '\r') line[n++] = '\r';
    last_byte_ = c;
    line[n++] = static_cast<std::uint8_t>(c);
    if (c == '\n') break;
  }
  return n;
}

bool DemoSource::FirstLineEndsInLf() {
  // A first line longer than this is not text; the file is taken as it is.
  constexpr int kLookAhead = 4096;
  int before = EOF;
  bool lf = false;
  for (int i = 0; i < kLookAhead; ++i) {
    const int c = std::getc(DemoFile);
    if (c == EOF) break;
    if (c == '\n') {
      lf = before != '\r';
      break;
    }
    before = c;
  }
  std::rewind(DemoFile);
  return lf;
}

bool DemoSource::NextGroup(std::uint8_t* chunk, int32_t& len) {
  len = 0;
  chunk[0] = 0;
  if (DemoFile == nullptr) {
    DemoFile = OpenRegularStream(DemoFileName, "rb");
    if (DemoFile == nullptr) {
      if (failed_name_ != DemoFileName) {
        failed_name_ = DemoFileName;
        failure_reason_ = OpenFailure(errno);
        failure_new_ = true;
      }
      return false;
    }
    failed_name_.clear();
    last_byte_ = EOF;
    lf_file_ = FirstLineEndsInLf();
  }

  // The key is the first six bytes of the group's first line, fewer if that line is
  // shorter; a shorter line matches only a key of its own length.
  std::uint8_t key[kKeyLength];
  int32_t key_length = -1;
  std::uint8_t line[kMaxLine + 1];
  bool at_end = false;
  while (!at_end) {
    const long start = std::ftell(DemoFile);
    const int byte_before = last_byte_;
    const int32_t n = ReadLine(line, at_end);
    if (n == 0) break;
    const int32_t head = n < kKeyLength ? n : kKeyLength;
    if (key_length < 0) {
      key_length = head;
      std::memcpy(key, line, static_cast<std::size_t>(head));
    }
    const bool same_group =
        head == key_length && std::memcmp(key, line, static_cast<std::size_t>(head)) == 0;
    // A line of another group, or one that would not fit, starts the next tick.
    if (!same_group || len + n > kMaxChunk) {
      std::fseek(DemoFile, start, SEEK_SET);
      last_byte_ = byte_before;
      at_end = false;
      break;
    }
    std::memcpy(chunk + len, line, static_cast<std::size_t>(n));
    len += n;
  }
  chunk[len] = 0;
  if (at_end) Stop();
  return true;
}

}  // namespace ostrel
