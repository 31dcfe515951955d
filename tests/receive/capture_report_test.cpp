// Every capture's report against the one kept beside it. A difference is a change of
// what the panel shows or forwards: when it is meant, scripts/expected_outputs.sh writes
// the reports again and the diff goes into the same commit.
#include "capture_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "support/corpus.h"
#include "support/temp_dir.h"

namespace ostrel::testing {
namespace {

TEST(CaptureReports, EachCaptureGivesItsExpectedReport) {
  for (const std::string& name : test::CaptureNames()) {
    SCOPED_TRACE(name);
    const std::string expected = ExpectedReportPath(name);
    ASSERT_TRUE(std::filesystem::is_regular_file(expected))
        << expected << " is missing: run scripts/expected_outputs.sh";
    EXPECT_EQ(CaptureReport(test::CapturePath(name), name), test::ReadAll(expected))
        << "run scripts/expected_outputs.sh and look at the diff";
  }
}

TEST(CaptureReports, NoReportWithoutItsCapture) {
  std::set<std::string> captures;
  for (const std::string& name : test::CaptureNames()) captures.insert(name + ".expected");
  for (const auto& entry : std::filesystem::directory_iterator(OSTREL_CORPUS_DIR))
    if (entry.path().extension() == ".expected") {
      EXPECT_TRUE(captures.count(entry.path().filename().string())) << entry.path();
    }
}

}  // namespace
}  // namespace ostrel::testing
