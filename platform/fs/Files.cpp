#include "platform/fs/Files.h"

#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace brevant::platform {

void UniqueFd::reset(int fd) noexcept {
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

int UniqueFd::Close() noexcept {
  if (fd_ < 0) return 0;
  // Linux releases the descriptor even when close fails: never retried.
  int rc = ::close(fd_);
  fd_ = -1;
  return rc == 0 || errno == EINTR ? 0 : errno;
}

int WriteAll(int fd, const void* data, std::size_t size) noexcept {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

int CopyAll(int from, int to, std::uint64_t limit, std::uint64_t* copied, bool* readFailed) noexcept {
  static thread_local char buf[1 << 16];
  *copied = 0;
  if (readFailed) *readFailed = false;
  for (;;) {
    ssize_t n = ::pread(from, buf, sizeof buf, static_cast<off_t>(*copied));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (readFailed) *readFailed = true;
      return errno;
    }
    if (n == 0) return 0;
    if (*copied + static_cast<std::uint64_t>(n) > limit) return EFBIG;
    if (int err = WriteAll(to, buf, static_cast<std::size_t>(n))) return err;
    *copied += static_cast<std::uint64_t>(n);
  }
}

std::string RandomName(std::size_t length) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string raw(length, '\0');
  if (::getrandom(raw.data(), length, 0) != static_cast<ssize_t>(length))
    for (auto& c : raw) c = static_cast<char>(std::rand());
  std::string s;
  for (char c : raw) s += kChars[static_cast<unsigned char>(c) % (sizeof kChars - 1)];
  return s;
}

namespace {

// The folder holding path (its name in *name), opened for openat().
int OpenParent(const std::string& path, std::string* name) {
  std::size_t slash = path.rfind('/');
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The text of a failure; errno is left at err for callers that map it.
std::string Why(const std::string& what, const std::string& shown, int err) {
  errno = err;
  return what + " " + shown + ": " + std::strerror(err);
}

}  // namespace

AtomicFile::AtomicFile(AtomicFile&& other) noexcept {
  *this = std::move(other);
}

AtomicFile& AtomicFile::operator=(AtomicFile&& other) noexcept {
  if (this != &other) {
    Abandon();
    fd_ = std::move(other.fd_);
    dir_ = std::move(other.dir_);
    tempDir_ = std::move(other.tempDir_);
    dirFd_ = other.dirFd_;
    tempDirFd_ = other.tempDirFd_;
    name_ = std::move(other.name_);
    temp_ = std::move(other.temp_);
    shown_ = std::move(other.shown_);
    sync_ = other.sync_;
    finished_ = other.finished_;
    other.Reset();
  }
  return *this;
}

void AtomicFile::Reset() noexcept {
  fd_.reset();
  dir_.reset();
  tempDir_.reset();
  dirFd_ = tempDirFd_ = -1;
  temp_.clear();
  finished_ = false;
}

bool AtomicFile::Begin(const std::string& path, const AtomicOptions& options, std::string* why) {
  Abandon();
  std::string name;
  dir_.reset(OpenParent(path, &name));
  if (!dir_ || name.empty()) {
    int err = dir_ ? EISDIR : errno;
    Reset();
    *why = Why("cannot write", path, err);
    return false;
  }
  int tempDirFd = dir_.get();
  if (!options.tempFolder.empty()) {
    tempDir_.reset(::open(options.tempFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!tempDir_) {
      int err = errno;
      Reset();
      *why = Why("cannot write", options.tempFolder, err);
      return false;
    }
    tempDirFd = tempDir_.get();
  }
  if (!Open(dir_.get(), tempDirFd, name, path, options, why)) {
    int err = errno;
    Reset();
    errno = err;
    return false;
  }
  return true;
}

bool AtomicFile::BeginAt(int dirFd, const std::string& name, const std::string& shown,
                         const AtomicOptions& options, std::string* why) {
  Abandon();
  if (!options.tempFolder.empty()) {
    tempDir_.reset(
        ::openat(dirFd, options.tempFolder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!tempDir_) {
      *why = Why("cannot write", shown, errno);
      return false;
    }
  }
  if (!Open(dirFd, tempDir_ ? tempDir_.get() : dirFd, name, shown, options, why)) {
    int err = errno;
    Reset();
    errno = err;
    return false;
  }
  return true;
}

bool AtomicFile::Open(int dirFd, int tempDirFd, const std::string& name, const std::string& shown,
                      const AtomicOptions& options, std::string* why) {
  dirFd_ = dirFd;
  tempDirFd_ = tempDirFd;
  name_ = name;
  shown_ = shown;
  sync_ = options.sync;
  finished_ = false;
  const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  const std::string fixed = !options.tempName.empty() ? options.tempName
                            : options.partName        ? name + ".part"
                                                      : "";
  int err = EEXIST;
  for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
    if (!fixed.empty() && attempt > 0) break;
    temp_ = fixed.empty() ? "." + name + "-" + RandomName(8) + ".part" : fixed;
    // A fixed name's leftover goes first (the link itself, never what it
    // points to).
    if (!fixed.empty()) ::unlinkat(tempDirFd, temp_.c_str(), 0);
    fd_.reset(::openat(tempDirFd, temp_.c_str(), flags, options.mode));
    err = fd_ ? 0 : errno;
  }
  if (err) {
    temp_.clear();
    *why = Why("cannot create a file for", shown, err);
    return false;
  }
  if (options.exactMode && ::fchmod(fd_.get(), options.mode) != 0) {
    const int failed = errno;
    Abandon();
    *why = Why("cannot write", shown, failed);
    return false;
  }
  return true;
}

bool AtomicFile::Write(std::string_view data, std::string* why) {
  if (int err = fd_ ? WriteAll(fd_.get(), data) : EBADF) {
    *why = Why("cannot write", shown_, err);
    return false;
  }
  return true;
}

int AtomicFile::Finish() noexcept {
  if (finished_) return 0;
  if (!fd_) return EBADF;
  int err = sync_ && ::fsync(fd_.get()) != 0 ? errno : 0;
  int closed = fd_.Close();
  if (!err) err = closed;
  finished_ = err == 0;
  return err;
}

bool AtomicFile::Commit(std::string* why) {
  int err = Finish();
  if (!err && ::renameat(tempDirFd_, temp_.c_str(), dirFd_, name_.c_str()) != 0) err = errno;
  if (err) {
    Abandon();
    *why = Why("cannot write", shown_, err);
    return false;
  }
  temp_.clear();
  // The rename itself made lasting.
  if (sync_) ::fsync(dirFd_);
  Reset();
  return true;
}

int AtomicFile::CommitNew(const std::string& name) {
  int err = Finish();
  if (!err && ::renameat2(tempDirFd_, temp_.c_str(), dirFd_, name.c_str(), RENAME_NOREPLACE) != 0)
    err = errno;
  if (err == EEXIST) return err;
  if (err) {
    Abandon();
    errno = err;
    return err;
  }
  temp_.clear();
  if (sync_) ::fsync(dirFd_);
  Reset();
  return 0;
}

void AtomicFile::Abandon() noexcept {
  fd_.reset();
  if (!temp_.empty() && tempDirFd_ >= 0) ::unlinkat(tempDirFd_, temp_.c_str(), 0);
  Reset();
}

bool WriteFileAtomic(const std::string& path, std::string_view data, const AtomicOptions& options,
                     std::string* why) {
  AtomicFile file;
  return file.Begin(path, options, why) && file.Write(data, why) && file.Commit(why);
}

}  // namespace brevant::platform
