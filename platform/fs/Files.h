#pragma once
// The one way Brevant's programs hold and write files: a descriptor owned
// by one object, a write that finishes what it starts, and a file replaced
// in one step (written beside its place, synced, renamed over it) so that a
// reader sees the old file whole or the new one whole, never a piece.
// Errors come back as errno values and texts; the caller decides what they
// mean to it.
#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace brevant::platform {

// An open descriptor with one owner: moved, never copied, and closed
// exactly once (by Close, reset or the destructor).
class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the held descriptor (a failed close is not reported: use Close
  // where a written file depends on it) and holds fd instead.
  void reset(int fd = -1) noexcept;
  // Closes now: 0, or the errno of a failed close (on some file systems a
  // write that did not reach the disk shows only here). 0 when nothing is
  // held.
  int Close() noexcept;

 private:
  int fd_ = -1;
};

// Writes all of data to fd, going on after short writes and interrupted
// ones. 0, or the errno of the write that failed (ENOSPC for a write that
// wrote nothing without saying why).
int WriteAll(int fd, const void* data, std::size_t size) noexcept;
inline int WriteAll(int fd, std::string_view data) noexcept {
  return WriteAll(fd, data.data(), data.size());
}

// Copies what `from` holds, from its start (pread: its offset is left
// alone), to fd `to`: at most `limit` bytes. 0, EFBIG when `from` holds
// more, or the errno of the read (*readFailed set) or write that failed.
// *copied gets the count copied either way.
int CopyAll(int from, int to, std::uint64_t limit, std::uint64_t* copied,
            bool* readFailed = nullptr) noexcept;

// length random lower-case letters and digits, for a new file's name.
std::string RandomName(std::size_t length);

// How an AtomicFile makes and places its file:
// AtomicOptions(0644).Sync(false).PartName().
struct AtomicOptions {
  // The new file's mode, less the umask...
  mode_t mode = 0600;
  // ...or exactly this mode whatever the umask (a file that keeps the
  // permissions of the one it replaces).
  bool exactMode = false;
  // fsync of the file before it is renamed and of the folder after: the
  // new content survives a crash. A batch of files may skip it and flush
  // the file system once itself.
  bool sync = true;
  // The temporary's name in the folder. Empty: a new random name,
  // "." + name + "-XXXXXXXX.part". A fixed name is for folders the caller
  // alone writes: whatever is left at it (a piece of a writer that was
  // killed, a link) is removed, never followed, before the file is made.
  std::string tempName;
  // The fixed name "<name>.part" (for tempName empty).
  bool partName = false;
  // Another folder on the same file system to write the temporary in (a
  // Maildir's tmp/); empty for the target's own folder.
  std::string tempFolder;

  explicit AtomicOptions(mode_t m = 0600) : mode(m) {}
  AtomicOptions& Exact(bool exact = true) {
    exactMode = exact;
    return *this;
  }
  AtomicOptions& Sync(bool s) {
    sync = s;
    return *this;
  }
  AtomicOptions& TempName(std::string name) {
    tempName = std::move(name);
    return *this;
  }
  AtomicOptions& PartName() {
    partName = true;
    return *this;
  }
  AtomicOptions& TempFolder(std::string folder) {
    tempFolder = std::move(folder);
    return *this;
  }
};

// A new version of a file: created as a temporary in the same folder
// (O_CREAT|O_EXCL|O_NOFOLLOW|O_CLOEXEC, so nothing at its name is followed
// or written through), written through fd(), then given the file's name by
// Commit. The temporary is removed on every failure and when the object
// goes without a Commit.
class AtomicFile {
 public:
  AtomicFile() = default;
  AtomicFile(AtomicFile&& other) noexcept;
  AtomicFile& operator=(AtomicFile&& other) noexcept;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile() { Abandon(); }

  // Starts a new version of path (relative names from the working
  // folder). False with *why (and errno); nothing is left behind then.
  bool Begin(const std::string& path, const AtomicOptions& options, std::string* why);
  // The same for `name` in the folder open as dirFd (held by the caller,
  // open until Commit or Abandon). `shown` names the file in texts.
  bool BeginAt(int dirFd, const std::string& name, const std::string& shown, const AtomicOptions& options,
               std::string* why);

  // The temporary, open for reading and writing.
  int fd() const noexcept { return fd_.get(); }
  // Writes all of data; false with *why (the temporary is kept until
  // Commit or Abandon so the caller may report first).
  bool Write(std::string_view data, std::string* why);

  // Syncs, closes and renames the temporary over the file (replacing what
  // was there). False with *why (and errno), the temporary removed, the
  // old file whole.
  bool Commit(std::string* why);
  // Gives the temporary `name` in the target folder only when nothing has
  // that name yet. 0; EEXIST when the name is taken (the temporary stays,
  // so another name may be tried); another errno when it failed (the
  // temporary is removed).
  int CommitNew(const std::string& name);
  // Removes the temporary (nothing when committed or never begun).
  void Abandon() noexcept;

 private:
  bool Open(int dirFd, int tempDirFd, const std::string& name, const std::string& shown,
            const AtomicOptions& options, std::string* why);
  int Finish() noexcept;
  void Reset() noexcept;

  UniqueFd fd_;
  UniqueFd dir_, tempDir_;  // the folders, when opened here
  int dirFd_ = -1, tempDirFd_ = -1;
  std::string name_, temp_, shown_;
  bool sync_ = true, finished_ = false;
};

// data written as the whole new content of path in one step (see
// AtomicFile). False with *why; the old file is then whole.
bool WriteFileAtomic(const std::string& path, std::string_view data, const AtomicOptions& options,
                     std::string* why);

}  // namespace brevant::platform
