// The module's udev rule, its install commands run by a real shell, and the command-line
// form that prints it.
#include "engine/udev_rule.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace ostrel::test {
namespace {

const std::vector<UsbId> kTwo = {{0x1209, 0x4b53}, {0x04b4, 0x8613}};

TEST(UdevRule, FileTagsEveryIdForTheSeat) {
  EXPECT_EQ(UdevRuleFile(kTwo),
            "# Lets the user logged in at the seat open the Kastrel GPS module (ostrel-panel).\n"
            "# Written by: ostrel-panel --udev-rule 1209:4b53 04b4:8613\n"
            "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"1209\", ATTR{idProduct}==\"4b53\", "
            "TAG+=\"uaccess\"\n"
            "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"04b4\", ATTR{idProduct}==\"8613\", "
            "TAG+=\"uaccess\"\n");
}

// The commands as a user pastes them, with sudo standing for a shell function that lets
// tee write into the test's folder and records the reload.
TEST(UdevRule, CommandsWriteTheRuleLinesToEtcAndReload) {
  TempDir dir;
  const std::string commands = UdevInstallCommands(kTwo);
  EXPECT_NE(commands.find("sudo tee /etc/udev/rules.d/60-ostrel-kastrel.rules\n"),
            std::string::npos);
  const std::string script =
      "sudo() { case \"$1\" in\n"
      "  tee) [ \"$2\" = /etc/udev/rules.d/60-ostrel-kastrel.rules ] && cat > \"$D/rules\" ;;\n"
      "  udevadm) echo \"$*\" > \"$D/udevadm\" ;;\n"
      "esac; }\n" +
      commands;
  WriteAll(dir.File("commands.sh"), script);
  const std::string run =
      "D='" + dir.Path().string() + "' sh -e '" + dir.File("commands.sh") + "' >/dev/null";
  ASSERT_EQ(std::system(run.c_str()), 0) << script;
  std::string rules = UdevRuleFile(kTwo);
  rules.erase(0, rules.find("SUBSYSTEM"));  // the file less its comment
  EXPECT_EQ(ReadAll(dir.File("rules")), rules);
  EXPECT_EQ(ReadAll(dir.File("udevadm")), "udevadm control --reload\n");
}

TEST(UdevRule, CommandTakesOnlyIds) {
  const struct {
    std::vector<std::string> words;
    int status;
    std::string out, err_part;
  } cases[] = {
      {{"1209:4B53", "04b4:8613"}, 0, UdevRuleFile(kTwo), ""},
      {{}, 2, "", "needs the module's USB ids"},
      {{"1209:4b53", "--help"}, 2, "", "\"--help\" is none"},
      {{"1209"}, 2, "", "ostrel-panel --udev-rule 1209:4b53 | sudo tee"},
  };
  for (const auto& c : cases) {
    std::string out, err;
    EXPECT_EQ(UdevRuleCommand(c.words, out, err), c.status) << c.words.size();
    EXPECT_EQ(out, c.out);
    EXPECT_NE(err.find(c.err_part), std::string::npos) << err;
  }
}

}  // namespace
}  // namespace ostrel::test
