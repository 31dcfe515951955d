#pragma once
// ostrel-panel's own options, few and Linux-like; its configuration is the settings file.
// Qt's own options (-platform, -style, ...) are left for Qt. Anything else is refused
// before the panel touches a file.
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

struct CommandLine {
  // --no-window: the engine without a window, as a service.
  bool no_window = false;
  // --udev-rule: the words after it are USB ids whose udev rule is printed; their index.
  int udev_rule_ids = 0;
  // The program ends at once with `exit_code`, having printed `out` on stdout and `err`
  // on stderr; -1 while it goes on.
  int exit_code = -1;
  std::string out;
  std::string err;

  void Finish(int code, std::string stdout_text, std::string stderr_text = {}) {
    exit_code = code;
    out = std::move(stdout_text);
    err = std::move(stderr_text);
  }
};

// One row per option: a new option is one more row.
struct PanelOption {
  std::string_view name;
  std::string_view alias;  // a short form, or empty
  std::string_view help;
  void (*apply)(CommandLine& line);
};

const std::vector<PanelOption>& PanelOptions();

// The text of --help: usage, every option of PanelOptions, a word on Qt's options.
std::string HelpText();

// Reads argv[1..argc); Qt's options and their values are skipped.
CommandLine ParseCommandLine(int argc, const char* const* argv);

}  // namespace ostrel
