// Prints the report of each capture named (see capture_report.h); with --write the
// report goes to its place beside the capture instead. scripts/expected_outputs.sh runs
// it over every capture.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "capture_report.h"

int main(int argc, char** argv) {
  bool write = false;
  int first = 1;
  if (argc > 1 && std::strcmp(argv[1], "--write") == 0) write = true, first = 2;
  if (first >= argc) {
    std::fprintf(stderr, "usage: %s [--write] CAPTURE.log...\n", argv[0]);
    return 2;
  }
  for (int i = first; i < argc; ++i) {
    const std::string path = argv[i];
    const std::string name = path.substr(path.find_last_of('/') + 1);
    const std::string report = ostrel::testing::CaptureReport(path, name);
    if (!write) {
      std::cout << report;
      continue;
    }
    std::ofstream out(ostrel::testing::ExpectedReportPath(name), std::ios::binary);
    out << report;
    if (!out.flush()) {
      std::fprintf(stderr, "cannot write the report of %s\n", name.c_str());
      return 1;
    }
  }
  return 0;
}
