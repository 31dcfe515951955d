// kastrel-emulator: the Kastrel USB GPS module on the Ezusb-0 socket, for trying the
// panel without hardware. See --help.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/emulator/emulator.h"
#include "tools/emulator/options.h"

int main(int argc, char** argv) {
  using namespace ostrel::emulator;
  Options options;
  std::string error;
  const std::vector<std::string> args(argv + 1, argv + argc);
  switch (ParseOptions(args, options, error)) {
    case ParseResult::kHelp:
      std::fputs(HelpText().c_str(), stdout);
      return 0;
    case ParseResult::kVersion:
      std::fputs(VersionText().c_str(), stdout);
      return 0;
    case ParseResult::kError:
      std::fprintf(stderr, "kastrel-emulator: %s\n", error.c_str());
      return 2;
    case ParseResult::kRun:
      break;
  }
  Emulator emulator(options);
  int status = 0;
  if (!emulator.Prepare(error, status)) {
    std::fprintf(stderr, "kastrel-emulator: %s\n", error.c_str());
    return status;
  }
  return emulator.Run();
}
