#pragma once
// File access for places another local user might reach: folders checked
// component by component without following symlinks, locks that give up,
// and reads that refuse FIFOs, devices and files too large to hold.
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace brevant::platform {

// flock(fd, operation) (LOCK_SH or LOCK_EX), waiting at most timeoutMs for
// another holder to let go. False when the lock was not had in time (or
// flock failed): nobody can keep a process waiting forever by holding a
// file.
bool LockFile(int fd, int operation, long timeoutMs);

// Opens an absolute folder path for use with openat(): every component is
// opened from "/" with O_NOFOLLOW, so a symlink anywhere on the way is
// refused, and each must be a folder owned by root or by `owner` that no
// other user may change (no group or other write, unless it is sticky like
// /tmp). The last component must belong to `owner` itself. With `create`,
// missing components are made with `mode` (and belong to the caller).
// Returns an O_DIRECTORY descriptor, or -1 with *why saying which
// component failed and how.
int OpenOwnedFolder(const std::string& path, uid_t owner, bool create, mode_t mode, std::string* why);

// The user's home folder: $HOME, else the account's home in the user
// database ("/nonexistent" when the account has none). Never /tmp: a
// per-user file under a folder every user may write is another user's to
// plant or read.
std::string HomeFolder();

// Reads a whole regular file of at most maxBytes. A FIFO, device or folder
// is refused without blocking (the file is opened non-blocking and checked
// before the first read), and so is a longer file, before anything of it is
// held.
enum class ReadStatus { Ok, NotFound, NotRegular, TooLarge, Failed };
ReadStatus ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string* data,
                           std::string* why);

}  // namespace brevant::platform
