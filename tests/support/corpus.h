#pragma once
// Reading the receiver captures kept in tests/data/captures and cutting them into the
// chunks a receive tick takes.
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::test {

// The path of a capture. One that is not there throws, which fails the test with the path,
// so that no caller goes on with an empty file (cutting nothing into chunks and indexing).
std::string CapturePath(const std::string& name);
// The whole file; throws as CapturePath does when it cannot be read.
std::string ReadCapture(const std::string& name);
// The receiver sends CR LF; several captures were stored with LF alone.
std::string WithCrLf(std::string_view text);
// Chunks that each begin at a line starting with `epoch_tag` (one navigation epoch).
std::vector<std::string> CutBefore(std::string_view text, std::string_view epoch_tag);
// Chunks of whole lines, each at most `max` bytes (a longer line is cut at `max`).
std::vector<std::string> CutLines(std::string_view text, std::size_t max);
// The names of every capture; throws when there are none.
std::vector<std::string> CaptureNames();

}  // namespace ostrel::test
