// ostrel-panel-service: what `ostrel-panel --no-window` runs, on Qt Core alone (see
// headless.h). ostrel-panel starts it in its own place; started by hand it takes the
// same options.
#include "app/command_line.h"
#include "app/headless.h"

int main(int argc, char** argv) {
  const ostrel::CommandLine line = ostrel::ParseCommandLine(argc, argv);
  if (line.exit_code >= 0) return ostrel::FinishNow(line);
  return ostrel::ServiceMain(argc, argv);
}
