#pragma once
// The project's own error types. Errors that the receive cycle's trap catches and
// drops derive from ostrel::Error, so nothing else is swallowed by accident.
#include <stdexcept>
#include <string>

namespace ostrel {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace ostrel
