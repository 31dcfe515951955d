#include "support/corpus.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace ostrel::test {

namespace {

// An exception fails the test at once with this text; a caller never sees an empty capture.
[[noreturn]] void Missing(const std::string& what) {
  throw std::runtime_error(what +
                           " (the captures are part of the repository: is the clone whole?)");
}

}  // namespace

std::string CapturePath(const std::string& name) {
  std::string path = std::string(OSTREL_CORPUS_DIR) + "/" + name;
  if (!std::filesystem::is_regular_file(path)) Missing("capture missing: " + path);
  return path;
}

std::string ReadCapture(const std::string& name) {
  const std::string path = CapturePath(name);
  std::ifstream in(path, std::ios::binary);
  if (!in) Missing("capture unreadable: " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string WithCrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 40);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

std::vector<std::string> CutBefore(std::string_view text, std::string_view epoch_tag) {
  std::vector<std::string> chunks;
  std::size_t start = 0;
  std::size_t line = 0;
  while (line < text.size()) {
    std::size_t next = text.find('\n', line);
    next = next == std::string_view::npos ? text.size() : next + 1;
    if (line != start && text.substr(line).starts_with(epoch_tag)) {
      chunks.emplace_back(text.substr(start, line - start));
      start = line;
    }
    line = next;
  }
  if (start < text.size()) chunks.emplace_back(text.substr(start));
  return chunks;
}

std::vector<std::string> CutLines(std::string_view text, std::size_t max) {
  std::vector<std::string> chunks;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = std::min(text.size(), start + max);
    const std::size_t lf = text.rfind('\n', end - 1);
    if (end < text.size() && lf != std::string_view::npos && lf >= start) end = lf + 1;
    chunks.emplace_back(text.substr(start, end - start));
    start = end;
  }
  return chunks;
}

std::vector<std::string> CaptureNames() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(OSTREL_CORPUS_DIR, error))
    if (entry.path().extension() == ".log") names.push_back(entry.path().filename().string());
  if (names.empty()) Missing(std::string("no capture in ") + OSTREL_CORPUS_DIR);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace ostrel::test
