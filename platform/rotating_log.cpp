#include "platform/rotating_log.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/regular_file.h"

namespace ostrel {

std::string RotatedName(const std::string& path) { return path + ".1"; }

void AppendRotating(const std::string& path, std::string_view text, std::uintmax_t limit) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (!ec && size > 0 && size + text.size() > limit &&
      std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec))) {
    std::filesystem::rename(path, RotatedName(path), ec);
  }
  std::FILE* file = OpenRegularStream(path, "ab");
  if (file == nullptr) return;
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
}

}  // namespace ostrel
