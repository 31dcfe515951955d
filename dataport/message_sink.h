#pragma once
// A modal message box with an OK button; the window shows it, tests record it.
#include <string>

namespace ostrel {

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void ShowMessage(const std::string& caption, const std::string& text) = 0;
};

}  // namespace ostrel
