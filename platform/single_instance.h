#pragma once
// One panel per user. The mark of a running panel is an abstract Unix socket bound for
// the life of the process: there is no file to leave behind, and the kernel frees the
// name when the process ends, crash or not. The user id is part of the name, so each
// user (like each Windows session) has a panel of its own.
#include <string>
#include <string_view>

namespace ostrel {

inline constexpr const char* kInstanceName = "Ostrel GPS Control Panel";

class SingleInstance {
 public:
  // Takes the mark for `name` if nobody holds it. The user id is added to the name.
  explicit SingleInstance(std::string_view name = kInstanceName);
  ~SingleInstance();  // gives the mark back
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Another holder, in this process or another, had the mark first.
  bool AlreadyRunning() const { return already_running_; }
  // We hold the mark.
  bool Holding() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  bool already_running_ = false;
};

// Program entry: takes the mark and keeps it until the process ends, as the design keeps
// its mutex handle. True when another panel of this user already runs. When the socket
// cannot be made at all the answer is false: better a second panel than none.
bool AlreadyRunning(std::string_view name = kInstanceName);

}  // namespace ostrel
