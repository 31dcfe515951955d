// Any file as a demonstration file, over one pass and the first tick of the next. Every
// chunk fits ChunkBuffer with its NUL (the buffer has exactly that room, so a byte past it
// shows); the chunks of one pass put together are the file as delivered (no line lost
// or repeated); each chunk is one group of lines with the same first six bytes, and it
// ends only where the next line starts another group or would not fit; the file is
// closed by the tick that delivers its end, and the next tick starts the file over.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "receive/chunk.h"
#include "receive/demo_source.h"

namespace {

// Plain arrays: they must outlive the exit handler that removes the directory. In memory
// where there is a tmpfs: rewriting a file on disk 1000 times a second waits on the disk.
char g_dir[] = "/dev/shm/ostrel-fuzz-demo-XXXXXX";
char g_file[sizeof g_dir + 16];

void MakeDirectory() {
  static const bool made = [] {
    if (::mkdtemp(g_dir) == nullptr) {
      static const char kDisk[] = "/tmp/ostrel-fuzz-demo-XXXXXX";
      std::memcpy(g_dir, kDisk, sizeof kDisk);  // shorter than the tmpfs name
      if (::mkdtemp(g_dir) == nullptr) std::abort();
    }
    std::snprintf(g_file, sizeof g_file, "%s/nmea.txt", g_dir);
    std::atexit([] {
      ::unlink(g_file);
      ::rmdir(g_dir);
    });
    return true;
  }();
  (void)made;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

// A text file of Linux line ends (its first line ends in LF alone) is delivered as a
// receiver sends it, every lone LF as CR LF; any other file byte for byte.
bool FirstLineEndsInLf(std::string_view file) {
  int before = -1;
  for (std::size_t i = 0; i < file.size() && i < 4096; ++i) {
    if (file[i] == '\n') return before != '\r';
    before = static_cast<unsigned char>(file[i]);
  }
  return false;
}

// The file's lines as the demonstration delivers them: up to and including LF, at most 99
// bytes read (a CR put before a lone LF comes on top).
std::vector<std::string> Lines(std::string_view file) {
  const bool lf_file = FirstLineEndsInLf(file);
  std::vector<std::string> lines;
  int last = -1;
  std::size_t i = 0;
  while (i < file.size()) {
    std::string line;
    while (static_cast<int32_t>(line.size()) < ostrel::DemoSource::kMaxLine && i < file.size()) {
      const char c = file[i++];
      if (c == '\n' && lf_file && last != '\r') line.push_back('\r');
      last = static_cast<unsigned char>(c);
      line.push_back(c);
      if (c == '\n') break;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string_view Key(std::string_view line) {
  return line.substr(0, static_cast<std::size_t>(ostrel::DemoSource::kKeyLength));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MakeDirectory();
  std::FILE* f = std::fopen(g_file, "wb");
  Check(f != nullptr);
  Check(std::fwrite(data, 1, size, f) == size);
  std::fclose(f);
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = Lines(file);
  std::string delivered;
  for (const std::string& l : lines) delivered += l;

  auto chunk = std::make_unique<std::uint8_t[]>(ostrel::kChunkBufferSize);
  ostrel::DemoSource demo;
  demo.DemoFileName = g_file;
  std::size_t at = 0;    // bytes of the file delivered in this pass
  std::size_t line = 0;  // index of the next line to deliver
  std::string first;     // the first tick's chunk
  for (std::size_t tick = 0; tick <= lines.size() + 1; ++tick) {
    int32_t len = -1;
    Check(demo.NextGroup(chunk.get(), len));
    Check(len >= 0 && len <= ostrel::kMaxChunk);
    Check(chunk[static_cast<std::size_t>(len)] == 0);
    const std::string_view got(reinterpret_cast<const char*>(chunk.get()),
                               static_cast<std::size_t>(len));
    if (tick == 0) first = got;
    if (at == delivered.size() && tick > 0) {
      // A new pass: the file was closed and is read again from its first line.
      Check(got == first);
      break;
    }
    Check(got == std::string_view(delivered).substr(at, got.size()));
    at += got.size();

    // The chunk is whole lines of one group, and the group ended where it had to.
    std::size_t taken = 0;
    const std::size_t group_start = line;
    while (taken < got.size()) {
      Check(line < lines.size());
      Check(Key(lines[line]) == Key(lines[group_start]));
      taken += lines[line].size();
      ++line;
    }
    Check(taken == got.size());
    if (line < lines.size()) {
      Check(len > 0);
      Check(Key(lines[line]) != Key(lines[group_start]) ||
            got.size() + lines[line].size() > static_cast<std::size_t>(ostrel::kMaxChunk));
      Check(demo.IsOpen());
    } else {
      Check(at == delivered.size() && !demo.IsOpen());  // the end of the file closes it
      if (size == 0) break;                             // nothing to compare a second pass with
    }
  }
  Check(at == delivered.size());
  Check(line == lines.size());
  demo.Stop();
  Check(!demo.IsOpen());
  return 0;
}
