#include "app/command_line.h"

#include <algorithm>
#include <array>

#ifndef OSTREL_VERSION
#error "OSTREL_VERSION is set by the build"
#endif

namespace ostrel {

namespace {

// Qt's options that take a value, and those that stand alone (QGuiApplication,
// QApplication and the X11 platform's).
constexpr std::array<std::string_view, 14> kQtWithValue = {
    "-platform",    "-platformpluginpath", "-platformtheme", "-plugin", "-qwindowgeometry",
    "-qwindowicon", "-qwindowtitle",       "-session",       "-style",  "-stylesheet",
    "-display",     "-geometry",           "-title",         "-name"};
constexpr std::array<std::string_view, 5> kQtAlone = {"-reverse", "-widgetcount", "-nograb",
                                                      "-dograb", "-sync"};

template <std::size_t N>
bool Among(const std::array<std::string_view, N>& names, std::string_view word) {
  return std::find(names.begin(), names.end(), word) != names.end();
}

std::string Refused(std::string_view what, std::string_view word) {
  return "ostrel-panel: " + std::string(what) + " '" + std::string(word) +
         "'\nTry 'ostrel-panel --help' for more information.\n";
}

}  // namespace

const std::vector<PanelOption>& PanelOptions() {
  static const std::vector<PanelOption> kOptions = {
      {"--no-window", "", "run as a service, without a window or a display",
       [](CommandLine& line) { line.no_window = true; }},
      {"--udev-rule", "", "VVVV:PPPP... print the udev rule that lets you open the module",
       [](CommandLine&) {}},
      {"--help", "-h", "show this help and exit",
       [](CommandLine& line) { line.Finish(0, HelpText()); }},
      {"--version", "", "show the version and exit",
       [](CommandLine& line) { line.Finish(0, "ostrel-panel " OSTREL_VERSION "\n"); }},
  };
  return kOptions;
}

std::string HelpText() {
  std::string text =
      "Usage: ostrel-panel [OPTION]...\n"
      "The control panel of the Kastrel USB GPS module: it republishes the module's data\n"
      "on the GPS Data port, a pseudo-terminal for gpsd and other NMEA programs. Its\n"
      "settings are ostrel_gps_monitor.ini in the current directory.\n"
      "\n"
      "Options:\n";
  for (const PanelOption& option : PanelOptions()) {
    std::string names = option.alias.empty() ? std::string() : std::string(option.alias) + ", ";
    names += option.name;
    text += "  " + names + std::string(names.size() < 16 ? 16 - names.size() : 1, ' ') +
            std::string(option.help) + "\n";
  }
  text +=
      "\n"
      "Qt's own options (such as -platform) and variables (such as QT_QPA_PLATFORM) apply\n"
      "to the window. See ostrel-panel(1).\n";
  return text;
}

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine line;
  for (int i = 1; i < argc && line.exit_code < 0; ++i) {
    const std::string_view word = argv[i];
    const auto option =
        std::find_if(PanelOptions().begin(), PanelOptions().end(), [&](const PanelOption& o) {
          return word == o.name || (!o.alias.empty() && word == o.alias);
        });
    if (option != PanelOptions().end()) {
      if (option->name == "--udev-rule") {
        line.udev_rule_ids = i + 1;
        break;
      }
      option->apply(line);
      continue;
    }
    const std::string_view key = word.substr(0, word.find('='));
    if (Among(kQtAlone, word) || (Among(kQtWithValue, key) && key != word)) continue;
    if (Among(kQtWithValue, word)) {
      if (i + 1 < argc) {
        ++i;
        continue;
      }
      line.Finish(2, {}, Refused("option needs a value:", word));
    } else if (!word.empty() && word.front() == '-') {
      line.Finish(2, {}, Refused("unknown option", word));
    } else {
      line.Finish(2, {}, Refused("unexpected argument", word));
    }
  }
  return line;
}

}  // namespace ostrel
