#pragma once
// kastrel-usb-bed as a child of a test: its stdin for commands, its stdout (events and
// the lines of the program it runs) read line by line. All waits have deadlines.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kastrel::usb_bed_test {

using Millis = std::chrono::milliseconds;

class BedProcess {
 public:
  // `bed_args` before "--", then the program and its arguments.
  BedProcess(const std::vector<std::string>& bed_args, const std::vector<std::string>& program);
  ~BedProcess();
  BedProcess(const BedProcess&) = delete;
  BedProcess& operator=(const BedProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void Send(const std::string& command);
  void Signal(int signal_number);
  // Reads lines until one satisfies `match`; that line, or "" at the deadline or the end
  // of output. Every line read is kept in lines().
  std::string WaitFor(const std::function<bool(const std::string&)>& match, Millis deadline);
  std::string WaitForPrefix(const std::string& prefix, Millis deadline);
  // Reads everything to the end of output, then the bed's exit status (-1: not in time).
  int WaitExit(Millis deadline);
  const std::vector<std::string>& lines() const { return lines_; }
  // All lines read so far, one a line, for failure messages.
  std::string Transcript() const;
  int Count(const std::string& line) const;

 private:
  bool ReadLine(std::chrono::steady_clock::time_point end);

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string pending_;
  std::vector<std::string> lines_;
};

}  // namespace kastrel::usb_bed_test
