// A bounded log: rotated before it would pass its limit, one old file kept.
#include "platform/rotating_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace ostrel {
namespace {

using testing::ReadAll;
using testing::TempDir;

TEST(RotatingLog, KeepsOneOldFileAndNeverPassesTheLimit) {
  TempDir dir;
  const std::string path = dir.File("commands.log");
  const std::string line(40, 'a');
  for (int i = 0; i < 5; ++i) AppendRotating(path, line + "\n", 100);
  // Two lines fit in 100 bytes; the third started a new file.
  EXPECT_EQ(ReadAll(path), line + "\n");
  EXPECT_EQ(ReadAll(RotatedName(path)), line + "\n" + line + "\n");
  EXPECT_FALSE(std::filesystem::exists(RotatedName(RotatedName(path))));
  // A line longer than the limit still goes in, alone.
  AppendRotating(path, std::string(150, 'b'), 100);
  EXPECT_EQ(ReadAll(path), std::string(150, 'b'));
  EXPECT_EQ(ReadAll(RotatedName(path)), line + "\n");
}

TEST(RotatingLog, SkipsWhatIsNoRegularFile) {
  TempDir dir;
  const std::string path = dir.File("commands.log");
  std::filesystem::create_directory(path);
  AppendRotating(path, "x\n", 1);
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_FALSE(std::filesystem::exists(RotatedName(path)));
}

}  // namespace
}  // namespace ostrel
