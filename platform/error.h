#pragma once
// The project's own error types derive from ostrel::Error, so a caller can tell a fault
// the program knows (a short sentence, a settings file it cannot write) from a failure
// of a library or of the machine. The receive tick drops both alike: one tick's failure
// must never stop the next.
#include <stdexcept>
#include <string>

namespace ostrel {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace ostrel
