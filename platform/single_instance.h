#pragma once
// One panel per user. The mark of a running panel is an advisory lock (flock) on a file
// in the user's own runtime directory, held for the life of the process: the kernel
// frees it when the process ends, crash or not. Only the user can reach that directory,
// so no other user can take the mark first and keep the panel from starting; each user
// (like each Windows session) has a panel of its own.
#include <string>
#include <string_view>

namespace ostrel {

inline constexpr const char* kInstanceName = "Ostrel GPS Control Panel";

// $XDG_RUNTIME_DIR when it is a directory of this user's that nobody else may enter;
// otherwise "ostrel-panel-<uid>" in $TMPDIR (or /tmp), made with mode 0700 when missing
// and checked the same way. Empty when neither passes the check.
std::string InstanceDirectory();

class SingleInstance {
 public:
  // Takes the mark for `name` in `dir` if nobody holds it, and writes `holder` (who we
  // are, one line) into it. No mark at all (neither holding nor running) when `dir` is
  // empty or the lock file cannot be made.
  explicit SingleInstance(std::string_view name = kInstanceName,
                          const std::string& dir = InstanceDirectory(),
                          std::string_view holder = {});
  ~SingleInstance();  // gives the mark back
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Another holder, in this process or another, had the mark first.
  bool AlreadyRunning() const { return already_running_; }
  // We hold the mark.
  bool Holding() const { return fd_ >= 0; }
  // What the other holder wrote into the mark; empty when it wrote nothing.
  const std::string& Holder() const { return holder_; }

 private:
  int fd_ = -1;
  bool already_running_ = false;
  std::string holder_;
};

// Program entry: takes the mark and keeps it until the process ends, as the design keeps
// its mutex handle. True when another panel of this user already runs. When the mark
// cannot be made at all the answer is false: better a second panel than none.
bool AlreadyRunning(std::string_view name = kInstanceName);
// The same, writing `holder` into the mark; `running` gets what the other holder wrote.
bool AlreadyRunning(std::string_view holder, std::string& running,
                    std::string_view name = kInstanceName);

}  // namespace ostrel
