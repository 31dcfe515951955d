#include "platform/profile_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "support/param_name.h"
#include "support/temp_dir.h"

namespace ostrel {
namespace {

using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

struct LookupCase {
  const char* name;
  std::string text;
  const char* section;
  const char* key;
  std::optional<std::string> expected;
};
// Shown by its name in test output, not as raw bytes.
void PrintTo(const LookupCase& c, std::ostream* os) { *os << c.name; }

class ProfileLookupTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(ProfileLookupTest, FindsTheValueAsWindowsWould) {
  const LookupCase& c = GetParam();
  EXPECT_EQ(ProfileLookup(c.text, c.section, c.key), c.expected);
}

const std::string kLong(3000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Lookup, ProfileLookupTest,
    ::testing::Values(
        LookupCase{"plain", "[GPS]\nCOM=3\n", "GPS", "COM", "3"},
        LookupCase{"section_case", "[gps]\nCOM=3\n", "GPS", "COM", "3"},
        LookupCase{"key_case", "[GPS]\ncom=3\n", "GPS", "COM", "3"},
        LookupCase{"asked_in_other_case", "[GPS]\nPassBinaryData=1\n", "gps", "passbinarydata",
                   "1"},
        LookupCase{"blanks_trimmed", "  [ GPS ]  \n\t COM \t=  3  \n", "GPS", "COM", "3"},
        LookupCase{"crlf", "[GPS]\r\nBaud=9600\r\n", "GPS", "Baud", "9600"},
        LookupCase{"no_final_line_end", "[GPS]\nBaud=9600", "GPS", "Baud", "9600"},
        LookupCase{"first_key_wins", "[GPS]\nCOM=1\ncom=2\n", "GPS", "COM", "1"},
        LookupCase{"first_section_wins", "[GPS]\nCOM=1\n[Log]\n[gps]\nCOM=2\n", "GPS", "COM", "1"},
        LookupCase{"only_first_section_counts", "[GPS]\nA=1\n[GPS]\nCOM=2\n", "GPS", "COM",
                   std::nullopt},
        LookupCase{"double_quotes", "[GPS]\nBaud=\"19200\"\n", "GPS", "Baud", "19200"},
        LookupCase{"single_quotes", "[GPS]\nBaud= '19200' \n", "GPS", "Baud", "19200"},
        LookupCase{"one_pair_only", "[GPS]\nBaud=\"\"x\"\"\n", "GPS", "Baud", "\"x\""},
        LookupCase{"unmatched_quotes_kept", "[GPS]\nBaud=\"19200'\n", "GPS", "Baud", "\"19200'"},
        LookupCase{"lone_quote_kept", "[GPS]\nBaud=\"\n", "GPS", "Baud", "\""},
        LookupCase{"empty_value", "[GPS]\nBaud=\n", "GPS", "Baud", ""},
        LookupCase{"value_keeps_equals", "[GPS]\nX=a=b\n", "GPS", "X", "a=b"},
        LookupCase{"cut_at_2047", "[GPS]\nX=" + kLong + "\n", "GPS", "X", std::string(2047, 'x')},
        LookupCase{"key_of_other_section", "[Log]\nCOM=3\n", "GPS", "COM", std::nullopt},
        LookupCase{"key_before_any_section", "COM=3\n[GPS]\n", "GPS", "COM", std::nullopt},
        LookupCase{"semicolon_comment", "[GPS]\n;COM=3\n", "GPS", "COM", std::nullopt},
        LookupCase{"hash_comment", "[GPS]\n  # COM=3\n", "GPS", "COM", std::nullopt},
        LookupCase{"line_without_equals", "[GPS]\nCOM\n", "GPS", "COM", std::nullopt},
        LookupCase{"header_without_bracket_is_no_section", "[GPS\nCOM=3\n", "GPS", "COM",
                   std::nullopt},
        LookupCase{"empty_text", "", "GPS", "COM", std::nullopt},
        // Windows editors start a UTF-8 file with a byte order mark.
        LookupCase{"bom_before_first_section", "\xEF\xBB\xBF[Log]\r\nStatus=2\r\n", "Log", "Status",
                   "2"},
        LookupCase{"bom_only_at_start", "[GPS]\n\xEF\xBB\xBF[Log]\nStatus=2\n", "Log", "Status",
                   std::nullopt}),
    ostrel::test::ParamName());

struct UpdateCase {
  const char* name;
  std::string before;
  const char* section;
  const char* key;
  const char* value;
  std::string after;
};
// Shown by its name in test output, not as raw bytes.
void PrintTo(const UpdateCase& c, std::ostream* os) { *os << c.name; }

class ProfileUpdateTest : public ::testing::TestWithParam<UpdateCase> {};

TEST_P(ProfileUpdateTest, ChangesOnlyWhatItMust) {
  const UpdateCase& c = GetParam();
  std::string after = ProfileUpdate(c.before, c.section, c.key, c.value);
  EXPECT_EQ(after, c.after);
  EXPECT_EQ(ProfileLookup(after, c.section, c.key), std::string(c.value));
}

INSTANTIATE_TEST_SUITE_P(
    Update, ProfileUpdateTest,
    ::testing::Values(UpdateCase{"new_file", "", "GPS", "COM", "0", "[GPS]\nCOM=0\n"},
                      UpdateCase{"replace_keeps_spelling_and_rest",
                                 "; top\n[gps]\n  com = 7 ; x\nBaud=1\n", "GPS", "COM", "0",
                                 "; top\n[gps]\n  com=0\nBaud=1\n"},
                      UpdateCase{"replace_first_of_two", "[GPS]\nCOM=1\nCOM=2\n", "GPS", "COM", "5",
                                 "[GPS]\nCOM=5\nCOM=2\n"},
                      UpdateCase{"key_after_last_key_of_section",
                                 "[GPS]\nCOM=0\n; about logs\n\n[Log]\nStatus=2\n", "GPS", "WAAS",
                                 "1", "[GPS]\nCOM=0\nWAAS=1\n; about logs\n\n[Log]\nStatus=2\n"},
                      UpdateCase{"key_after_header_of_empty_section", "[GPS]\n\n[Log]\n", "GPS",
                                 "COM", "0", "[GPS]\nCOM=0\n\n[Log]\n"},
                      UpdateCase{"key_in_first_of_two_sections", "[GPS]\nA=1\n[GPS]\nB=2\n", "GPS",
                                 "C", "3", "[GPS]\nA=1\nC=3\n[GPS]\nB=2\n"},
                      UpdateCase{"section_at_end", "[Ports]\nDGPSName=COM2\n", "Debug", "Panel",
                                 "2", "[Ports]\nDGPSName=COM2\n[Debug]\nPanel=2\n"},
                      UpdateCase{"section_after_unfinished_line", "[Ports]\nDGPSName=COM2", "GPS",
                                 "COM", "0", "[Ports]\nDGPSName=COM2\n[GPS]\nCOM=0\n"},
                      UpdateCase{"key_after_unfinished_last_line", "[GPS]\nCOM=0", "GPS", "Baud",
                                 "9600", "[GPS]\nCOM=0\nBaud=9600\n"},
                      UpdateCase{"crlf_kept_for_new_lines", "[GPS]\r\nCOM=0\r\n", "GPS", "Baud",
                                 "9600", "[GPS]\r\nCOM=0\r\nBaud=9600\r\n"},
                      UpdateCase{"crlf_kept_on_replace", "[GPS]\r\nCOM=0\r\n", "GPS", "COM", "3",
                                 "[GPS]\r\nCOM=3\r\n"},
                      UpdateCase{"crlf_kept_for_new_section", "[GPS]\r\nCOM=0\r\n", "Log", "Status",
                                 "1", "[GPS]\r\nCOM=0\r\n[Log]\r\nStatus=1\r\n"},
                      UpdateCase{"bom_kept_on_replace", "\xEF\xBB\xBF[GPS]\nCOM=3\n", "GPS", "COM",
                                 "0", "\xEF\xBB\xBF[GPS]\nCOM=0\n"},
                      UpdateCase{"bom_first_section_gets_the_key", "\xEF\xBB\xBF[GPS]\nCOM=3\n",
                                 "GPS", "Baud", "9600", "\xEF\xBB\xBF[GPS]\nCOM=3\nBaud=9600\n"},
                      UpdateCase{"bom_alone_kept", "\xEF\xBB\xBF", "GPS", "COM", "0",
                                 "\xEF\xBB\xBF[GPS]\nCOM=0\n"},
                      UpdateCase{"commented_key_is_not_replaced", "[GPS]\n;COM=9\n", "GPS", "COM",
                                 "1", "[GPS]\nCOM=1\n;COM=9\n"}),
    ostrel::test::ParamName());

TEST(ProfileUpdate, RefusesWhatCannotBeOneLine) {
  struct Bad {
    const char* section;
    const char* key;
    const char* value;
  };
  for (const Bad& b : {Bad{"GPS", "COM", "1\n[Log]"}, Bad{"GPS", "COM", "1\r"},
                       Bad{"GPS", "A=B", "1"}, Bad{"GPS", ";COM", "1"}, Bad{"GPS", "[COM", "1"},
                       Bad{"GPS", " ", "1"}, Bad{"", "COM", "1"}, Bad{"G\nPS", "COM", "1"}}) {
    EXPECT_THROW(ProfileUpdate("[GPS]\n", b.section, b.key, b.value), ProfileError)
        << b.section << " " << b.key;
  }
}

TEST(ProfileFile, MissingFileReadsDefault) {
  TempDir dir;
  ProfileFile file(dir.File("none.ini"));
  EXPECT_EQ(file.Read("GPS", "Baud", "19200"), "19200");
}

TEST(ProfileFile, DirectoryInPlaceOfFileReadsDefault) {
  TempDir dir;
  std::filesystem::create_directory(dir.File("x.ini"));
  EXPECT_EQ(ProfileFile(dir.File("x.ini")).Read("GPS", "Baud", "d"), "d");
}

TEST(ProfileFile, WriteCreatesFileAndKeepsOtherLinesByteForByte) {
  TempDir dir;
  const std::string path = dir.File("s.ini");
  const std::string before =
      "; written by hand\r\n[Ports]\r\nDGPSName = com1 \r\nUnknown=key\r\n\r\n"
      "#note\r\n[GPS]\r\ngarbage line\r\nCOM=4\r\n";
  WriteAll(path, before);
  ProfileFile file(path);
  file.Write("GPS", "COM", "0");
  file.Write("GPS", "PassBinaryData", "0");
  EXPECT_EQ(ReadAll(path),
            "; written by hand\r\n[Ports]\r\nDGPSName = com1 \r\nUnknown=key\r\n\r\n"
            "#note\r\n[GPS]\r\ngarbage line\r\nCOM=0\r\nPassBinaryData=0\r\n");
  EXPECT_EQ(file.Read("Ports", "DGPSName", ""), "com1");
}

TEST(ProfileFile, ReplaceLeavesNoTemporaryFileAndKeepsPermissions) {
  TempDir dir;
  const std::string path = dir.File("s.ini");
  WriteAll(path, "[GPS]\nCOM=1\n");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ProfileFile file(path);
  for (int i = 0; i < 5; ++i) file.Write("GPS", "COM", std::to_string(i));
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
    ++entries;
    EXPECT_EQ(e.path().filename(), "s.ini");
  }
  EXPECT_EQ(entries, 1);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(file.Read("GPS", "COM", ""), "4");
}

TEST(ProfileFile, WriteThroughLinkChangesTheTarget) {
  TempDir dir;
  WriteAll(dir.File("real.ini"), "[GPS]\nCOM=1\n");
  std::filesystem::create_symlink("real.ini", dir.File("link.ini"));
  ProfileFile(dir.File("link.ini")).Write("GPS", "COM", "2");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.ini")));
  EXPECT_EQ(ReadAll(dir.File("real.ini")), "[GPS]\nCOM=2\n");
}

// The settings file in a directory everyone may write, with the sticky bit (like /tmp),
// where another user (nobody) may have put something under its name.
struct SharedDirCase {
  const char* name;
  bool link;      // a link to our own file "mine.ini" beside the directory; else a file
  uid_t owner;    // of the link or file; 0 stands for ourselves
  bool replaced;  // the write goes through
};
void PrintTo(const SharedDirCase& c, std::ostream* os) { *os << c.name; }

class SharedDirectoryTest : public ::testing::TestWithParam<SharedDirCase> {};

TEST_P(SharedDirectoryTest, AnotherUsersEntryIsNeitherFollowedNorReplaced) {
  const SharedDirCase& c = GetParam();
  if (c.owner != 0 && ::geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
  TempDir dir;
  const std::string shared = dir.File("tmp"), mine = dir.File("mine.ini");
  std::filesystem::create_directory(shared);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  const std::string original = "[Mine]\nKey=precious\n";
  WriteAll(mine, original);
  const std::string path = shared + "/ostrel_gps_monitor.ini";
  if (c.link)
    std::filesystem::create_symlink(mine, path);
  else
    WriteAll(path, original);
  const uid_t owner = c.owner != 0 ? c.owner : ::geteuid();
  ASSERT_EQ(::lchown(path.c_str(), owner, static_cast<gid_t>(-1)), 0);

  const std::string updated = original + "[GPS]\nCOM=0\n";
  if (c.replaced) {
    ProfileFile(path).Write("GPS", "COM", "0");
  } else {
    EXPECT_THROW(ProfileFile(path).Write("GPS", "COM", "0"), ProfileError);
  }
  const std::string& at_target = c.replaced && c.link ? updated : original;
  EXPECT_EQ(ReadAll(mine), at_target);
  EXPECT_EQ(std::filesystem::is_symlink(path), c.link);
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, c.replaced && !c.link ? ::geteuid() : owner);
  if (!c.link) {
    EXPECT_EQ(ReadAll(path), c.replaced ? updated : original);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SharedDirectoryTest,
    ::testing::Values(SharedDirCase{"our_own_link", true, 0, true},
                      SharedDirCase{"link_of_another_user", true, 65534, false},
                      SharedDirCase{"our_own_file", false, 0, true},
                      SharedDirCase{"file_of_another_user", false, 65534, false}),
    ostrel::test::ParamName());

// Temporary files of writers killed in the middle of a write; each name carries the
// writer's process id.
TEST(ProfileFile, LeftoversOfEndedWritersAreRemovedAtStart) {
  TempDir dir;
  const pid_t ended = ::fork();
  if (ended == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
  const std::string prefix = dir.File(".s.ini.tmp-");
  const std::string dead = prefix + std::to_string(ended) + "-3";
  const std::string live = prefix + std::to_string(::getpid()) + "-0";
  const std::string odd = prefix + "x-0";
  const std::string other = dir.File(".other.ini.tmp-") + std::to_string(ended) + "-0";
  for (const std::string& f : {dead, live, odd, other}) WriteAll(f, std::string(4096, 'x'));
  std::string foreign;
  if (::geteuid() == 0) {
    foreign = prefix + std::to_string(ended) + "-4";
    WriteAll(foreign, "theirs");
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
  }
  ProfileFile(dir.File("s.ini")).RemoveStaleTemporaries();
  EXPECT_FALSE(std::filesystem::exists(dead));
  for (const std::string& kept : {live, odd, other})
    EXPECT_TRUE(std::filesystem::exists(kept)) << kept;
  if (!foreign.empty()) {
    EXPECT_TRUE(std::filesystem::exists(foreign));
  }
}

// Whether or not we run as root: a directory that is missing or a directory standing
// where the file should be refuses every write.
TEST(ProfileFile, RefusedWriteThrowsNamingTheFile) {
  TempDir dir;
  std::filesystem::create_directory(dir.File("taken.ini"));
  for (const std::string& path : {dir.File("missing/s.ini"), dir.File("taken.ini")}) {
    try {
      ProfileFile(path).Write("GPS", "COM", "0");
      ADD_FAILURE() << "no error for " << path;
    } catch (const ProfileError& e) {
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
  }
}

TEST(ProfileFile, WriteProtectionIsRespected) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes through permissions";
  for (const char* protect : {"ro", "ro/s.ini"}) {
    TempDir dir;
    std::filesystem::create_directory(dir.File("ro"));
    const std::string path = dir.File("ro/s.ini");
    WriteAll(path, "[GPS]\nCOM=1\n");
    ASSERT_EQ(::chmod(dir.File(protect).c_str(), 0555), 0);
    EXPECT_THROW(ProfileFile(path).Write("GPS", "COM", "2"), ProfileError) << protect;
    ::chmod(dir.File(protect).c_str(), 0755);
    EXPECT_EQ(ReadAll(path), "[GPS]\nCOM=1\n");
  }
}

}  // namespace
}  // namespace ostrel
