#pragma once
// The port directory: where the GPS Data port's link "COM3" lives (the current directory
// unless [Ports] Directory names another). Beside each link of ours sits a lock file
// ".COM3.lock" that the running owner holds with flock() for its whole life, so a link
// whose lock is free was left behind by a program that has ended.
#include <sys/stat.h>

#include <string>

namespace ostrel {

// "dir/COM3".
std::string PortLinkPath(const std::string& dir, const std::string& name);
// "dir/.COM3.lock".
std::string PortLockPath(const std::string& dir, const std::string& name);
// "COM" followed by 1 to 4 digits, nothing else.
bool IsComPortName(const std::string& name);
// A port-directory entry made by this program: a symbolic link into /dev/pts (where it
// points now does not matter: pseudo-terminal numbers are reused) with a lock file of
// this user's beside it. A link of another program's pseudo-terminal (socat
// pty,link=COM1) has no lock file, and a leftover lock file does not make a link to a
// real device or a plain file ours.
bool IsVirtualPortEntry(const std::string& dir, const std::string& name);
// A lock file this user made: a regular file of its own.
bool IsOwnLockFile(const struct stat& st);
// A symbolic link whose text starts with /dev/pts/.
bool PointsIntoPts(const std::string& link);
// `dir` made absolute against the current directory (no symlinks resolved).
std::string AbsoluteDirectory(const std::string& dir);

}  // namespace ostrel
