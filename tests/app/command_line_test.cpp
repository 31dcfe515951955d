// ostrel-panel's options, read as the program reads them: its own, Qt's, and the refused.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/param_name.h"

namespace ostrel {
namespace {

CommandLine Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "ostrel-panel");
  return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

struct LineCase {
  const char* name;
  std::vector<const char*> args;
  int exit_code;  // -1: the panel starts
  bool no_window;
  const char* out_has;  // on stdout, or "" for nothing there
  const char* err_has;  // on stderr, or "" for nothing there
};

class CommandLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(CommandLineTest, ReadsAsAUserExpects) {
  const LineCase& c = GetParam();
  const CommandLine line = Parse(c.args);
  EXPECT_EQ(line.exit_code, c.exit_code);
  EXPECT_EQ(line.no_window, c.no_window);
  if (*c.out_has == 0)
    EXPECT_EQ(line.out, "");
  else
    EXPECT_NE(line.out.find(c.out_has), std::string::npos) << line.out;
  if (*c.err_has == 0)
    EXPECT_EQ(line.err, "");
  else
    EXPECT_NE(line.err.find(c.err_has), std::string::npos) << line.err;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CommandLineTest,
    ::testing::Values(
        LineCase{"none", {}, -1, false, "", ""},
        LineCase{"no_window", {"--no-window"}, -1, true, "", ""},
        LineCase{"help", {"--help"}, 0, false, "Usage: ostrel-panel [OPTION]...", ""},
        LineCase{"short_help", {"-h"}, 0, false, "  --no-window", ""},
        LineCase{"version", {"--version"}, 0, false, "ostrel-panel " OSTREL_VERSION "\n", ""},
        LineCase{"help_wins_over_a_mode", {"--no-window", "--help"}, 0, true, "--version", ""},
        LineCase{"qt_option_with_value", {"-platform", "offscreen"}, -1, false, "", ""},
        LineCase{"qt_option_joined", {"-style=fusion", "-reverse"}, -1, false, "", ""},
        LineCase{"qt_option_without_its_value", {"-style"}, 2, false, "", "needs a value"},
        LineCase{"unknown",
                 {"--no-windows"},
                 2,
                 false,
                 "",
                 "unknown option '--no-windows'\nTry 'ostrel-panel --help'"},
        LineCase{
            "unknown_after_a_known_one", {"--no-window", "-x"}, 2, true, "", "unknown option '-x'"},
        LineCase{"argument", {"settings.ini"}, 2, false, "", "unexpected argument"}),
    test::ParamName());

TEST(CommandLine, HelpListsEveryOption) {
  const std::string help = HelpText();
  for (const PanelOption& option : PanelOptions()) {
    EXPECT_NE(help.find(std::string(option.name) + " "), std::string::npos) << option.name;
    EXPECT_NE(help.find(std::string(option.help.substr(0, 20))), std::string::npos);
  }
}

}  // namespace
}  // namespace ostrel
