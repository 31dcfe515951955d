// Arbitrary bytes as the settings file's [Share] section: reading never fails, every value
// it gives is one the servers can use (or off), a value it cannot use is named, and what
// it writes back reads the same again without a word.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/settings.h"
#include "engine/share_settings.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

const std::string& ScratchFile() {
  static const std::string path = [] {
    char name[] = "/tmp/fuzz-share-XXXXXX";
    const int fd = ::mkstemp(name);
    Check(fd >= 0);
    ::close(fd);
    static std::string made = name;
    std::atexit([] { std::remove(made.c_str()); });
    return made;
  }();
  return path;
}

void WriteFile(const std::string& text) {
  std::FILE* f = std::fopen(ScratchFile().c_str(), "wb");
  Check(f != nullptr);
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

bool Usable(const ostrel::ShareSettings& s) {
  if (s.extra_ports < 0 || s.extra_ports > ostrel::kMaxExtraPorts) return false;
  if (s.tcp_port != 0 && (s.tcp_port < ostrel::kLowestTcpPort || s.tcp_port > 65535)) return false;
  if (s.tcp_port != 0 && !ostrel::IsNumericAddress(s.tcp_address)) return false;
  for (const std::string& t : s.sentences) {
    std::vector<std::string> unknown;
    if (ostrel::ParseSentenceTypes(t, unknown).size() != 1 || !unknown.empty()) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Mostly a [Share] section, so that the keys are met.
  const std::string text = "[Share]\n" + std::string(reinterpret_cast<const char*>(data), size);
  WriteFile(text);
  std::vector<std::string> problems;
  ostrel::TSettings file(ScratchFile());
  const ostrel::ShareSettings first = ostrel::ReadShareSettings(file, problems);
  Check(Usable(first));
  for (const std::string& p : problems) Check(p.rfind("[Share] ", 0) == 0);

  try {
    ostrel::WriteShareSettings(file, first);
  } catch (const ostrel::SettingsError&) {
    return 0;
  }
  std::vector<std::string> again;
  const ostrel::ShareSettings second = ostrel::ReadShareSettings(file, again);
  Check(second.extra_ports == first.extra_ports && second.tcp_port == first.tcp_port &&
        second.sentences == first.sentences && second.writable == first.writable);
  Check(again.size() <= problems.size());
  return 0;
}
