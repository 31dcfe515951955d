// Any settings file as [Record]: every value typed within its range, whatever the text;
// the formats named back and read again are the same formats.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "engine/settings.h"

namespace {

char g_dir[] = "/tmp/ostrel-fuzz-record-XXXXXX";
char g_file[sizeof g_dir + 16];

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool made = [] {
    if (::mkdtemp(g_dir) == nullptr) std::abort();
    std::snprintf(g_file, sizeof g_file, "%s/s.ini", g_dir);
    std::atexit([] {
      ::unlink(g_file);
      ::rmdir(g_dir);
    });
    return true;
  }();
  (void)made;
  std::FILE* f = std::fopen(g_file, "wb");
  Check(f != nullptr);
  Check(std::fwrite(data, 1, size, f) == size);
  std::fclose(f);

  std::vector<std::string> rejected;
  const ostrel::RecordSettings r = ostrel::ReadRecordSettings(ostrel::TSettings(g_file), &rejected);
  Check(r.rotate_mb >= 0 && r.rotate_mb <= ostrel::kMaxRotateMB);
  Check(!r.folder.empty());
  for (const std::string& word : rejected) Check(!word.empty());
  Check(ostrel::ParseRecordFormats(ostrel::FormatRecordFormats(r.formats)) == r.formats);

  // The raw bytes as a Formats value.
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const ostrel::RecordFormats formats = ostrel::ParseRecordFormats(text);
  Check(ostrel::ParseRecordFormats(ostrel::FormatRecordFormats(formats)) == formats);
  return 0;
}
