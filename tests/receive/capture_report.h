#pragma once
// What the panel makes of a capture sent as the module sends it (64-byte packets, two
// between 100 ms ticks) through the real link and receive cycle: the GPS Data port's bytes (count,
// writes, SHA-256), each new text of the status line, each new fix mode, and the fix texts and
// satellite grid at the end. The report of each capture is kept beside it
// (tests/data/captures/<name>.expected, written by scripts/expected_outputs.sh), so that a change
// of behaviour shows as a diff.
#include <string>

namespace ostrel::testing {

// The report of the capture file at `path`, whose name it gives as `name`.
std::string CaptureReport(const std::string& path, const std::string& name);

// Where the expected report of capture `name` is kept.
std::string ExpectedReportPath(const std::string& name);

}  // namespace ostrel::testing
