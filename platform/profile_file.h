#pragma once
// The profile file: INI text read and written the way the Windows profile functions do,
// so a settings file edited by hand on either system means the same thing.
//
//   ; comments (';' or '#') and anything else we do not understand are kept as they are
//   [GPS]
//   COM = 3            <- section and key names match without regard to case
//   Baud="19200"       <- blanks around names and values go, one pair of quotes too
//
// A UTF-8 byte order mark at the start is no part of the first line, and is kept.
//
// Reading: only the first section of a name counts, and in it the first line of the key.
// Lines before any section, lines without '=' and lines with an empty name are no keys.
// Values are cut at 2047 characters, the size of the reader's buffer on Windows.
//
// Writing: the first line of the key is replaced by "Key=value" (the key keeps the
// spelling it has in the file). A new key goes straight after the last key line of its
// section (after the header when it has none), so comments and blank lines that close a
// section stay between it and the next one. A new section goes at the end of the file.
// Every other byte of the file is kept, line ends included; added lines use the file's
// own line end (CR LF when its first line ends so, LF otherwise and for a new file).
// The file is replaced as a whole: a temporary file beside it, fsync, rename. A crash
// leaves the old file or the new one, never half of either.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace ostrel {

// The longest value a read returns.
inline constexpr std::size_t kProfileValueMax = 2047;

// A write the system refused. The message names the file and the reason.
class ProfileError : public Error {
 public:
  using Error::Error;
};

// The value of [section] key in INI text, or nothing when the text lacks it.
std::optional<std::string> ProfileLookup(std::string_view text, std::string_view section,
                                         std::string_view key);

// The INI text with [section] key set to value (see the header comment for where).
// Throws ProfileError when a name or value cannot be stored as one line: a line break
// anywhere, '=' in a key, ']' in a section, or a name that is empty or starts a comment.
std::string ProfileUpdate(std::string_view text, std::string_view section, std::string_view key,
                          std::string_view value);

class ProfileFile {
 public:
  explicit ProfileFile(std::string path);

  const std::string& Path() const { return path_; }

  // The value, or `def` when the file, the section or the key is missing or unreadable.
  std::string Read(std::string_view section, std::string_view key, std::string_view def) const;

  // Stores the value at once. A value already stored as given leaves the file alone.
  // Throws ProfileError when the file cannot be read back or replaced.
  // Another user's file is never replaced, nor followed to through another user's link in
  // a sticky world-writable directory (see platform/regular_file.h).
  void Write(std::string_view section, std::string_view key, std::string_view value) const;

  // Removes the temporary files that writers which have ended (killed in the middle of a
  // write) left beside the file. Those of running processes and of other users stay.
  void RemoveStaleTemporaries() const;

 private:
  std::string path_;
};

}  // namespace ostrel
