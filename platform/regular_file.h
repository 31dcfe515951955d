#pragma once
// How the panel opens a file of its own (the settings file, both logs, the demonstration
// file): without blocking, and only when it is a regular file. A FIFO or a device under
// one of those names would otherwise stop the window's thread in open, read or write.
//
// A symbolic link in a directory that everyone may write and that has the sticky bit
// (such as /tmp) is followed only when it belongs to this user, as the kernel's
// protected_symlinks would have it whatever the machine's own setting: otherwise another
// user could point the panel's file at one of ours.
#include <sys/types.h>

#include <cstdio>
#include <string>

namespace ostrel {

// open(2) with O_NONBLOCK and O_CLOEXEC added; the descriptor is in blocking mode again
// when it is returned. -1 with errno set on failure: EACCES for a link another user put
// in a sticky world-writable directory, EINVAL for anything but a regular file (EISDIR
// for a directory).
int OpenRegularFile(const std::string& path, int flags, mode_t mode = 0666);

// What a failure of OpenRegularFile says to a user: "not a regular file" for EINVAL,
// strerror otherwise.
const char* OpenFailure(int err);

// The same as a stdio stream; `how` is "rb", "r+b", "ab", "a+b" or "a" (text modes alike).
std::FILE* OpenRegularStream(const std::string& path, const char* how);

// `path` is a symbolic link this user may not follow by the rule above.
bool ForeignLinkInStickyDirectory(const std::string& path);

}  // namespace ostrel
