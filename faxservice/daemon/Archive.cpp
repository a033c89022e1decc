#include "faxservice/daemon/Archive.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "faxservice/protocol/Service.h"
#include "faxservice/protocol/FaxTiff.h"
#include "faxservice/daemon/State.h"

namespace brevant::faxd {

namespace fs = std::filesystem;

namespace {

std::string Errno(int err) { return std::strerror(err); }

// Copies everything of `from` (from its start, at most limit bytes) to
// `to`; the count copied, or -1 with *err (-2 when from holds more).
long long CopyAll(int from, int to, long long limit, int* err) {
  static thread_local char buf[1 << 16];
  long long total = 0;
  for (;;) {
    ssize_t n = ::pread(from, buf, sizeof buf, total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *err = errno;
      return -1;
    }
    if (n == 0) return total;
    if (total + n > limit) return -2;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(to, buf + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        // A write that makes no progress without saying why is a full disk.
        *err = w < 0 ? errno : ENOSPC;
        return -1;
      }
      done += w;
    }
    total += n;
  }
}

// Makes the missing folders above a service folder, mode 0755 whatever the
// service's umask (they may hold things every user reads, such as the
// registry store beside the state folder).
void MakeParents(const fs::path& dir) {
  std::error_code ec;
  if (dir.empty() || fs::exists(dir, ec)) return;
  MakeParents(dir.parent_path());
  if (::mkdir(dir.c_str(), 0755) == 0) ::chmod(dir.c_str(), 0755);
}

std::string RandomSuffix() {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char raw[8];
  if (::getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw))
    for (auto& c : raw) c = static_cast<unsigned char>(std::rand());
  std::string s;
  for (unsigned char c : raw) s += kChars[c % (sizeof kChars - 1)];
  return s;
}

}  // namespace

// Folder ---------------------------------------------------------------------

Folder::~Folder() {
  if (fd_ >= 0) ::close(fd_);
}

Folder::Folder(Folder&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) { other.fd_ = -1; }

Folder& Folder::operator=(Folder&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

bool Folder::Open(const std::string& path, mode_t mode, bool tighten, Folder* out, std::string* why) {
  if (path.empty() || path[0] != '/') {
    *why = "the folder \"" + path + "\" is not a full path";
    return false;
  }
  fs::path p = fs::path(path).lexically_normal();
  if (p.filename().empty()) p = p.parent_path();
  MakeParents(p.parent_path());
  if (::mkdir(p.c_str(), mode) != 0 && errno != EEXIST) {
    *why = "cannot create " + p.string() + ": " + Errno(errno);
    return false;
  }
  // Whoever may write the folder holding it could put another folder in
  // its place; a sticky one (like /tmp) lets nobody move ours.
  struct stat parent {};
  if (::stat(p.parent_path().c_str(), &parent) != 0) {
    *why = "cannot read " + p.parent_path().string() + ": " + Errno(errno);
    return false;
  }
  uid_t me = ::geteuid();
  if ((parent.st_uid != me && parent.st_uid != 0) ||
      ((parent.st_mode & (S_IWGRP | S_IWOTH)) && !(parent.st_mode & S_ISVTX))) {
    *why = p.parent_path().string() + " may be changed by other users; " + p.string() + " is not used";
    return false;
  }
  int fd = ::open(p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    *why = "cannot open the folder " + p.string() + ": " + Errno(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  if (st.st_uid != me) {
    ::close(fd);
    *why = p.string() + " belongs to user " + std::to_string(st.st_uid) + ", not to the fax service; it is not used";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH | S_ISVTX)) || (tighten && (st.st_mode & 07777) != mode)) {
    if (!tighten || ::fchmod(fd, mode) != 0) {
      ::close(fd);
      char octal[8];
      std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      *why = p.string() + " may be written by other users (mode " + octal + "); it is not used";
      return false;
    }
  }
  if (out->fd_ >= 0) ::close(out->fd_);
  out->fd_ = fd;
  out->path_ = p.string();
  return true;
}

int Folder::Create(const std::string& name, std::string* why) const {
  int fd = ::openat(fd_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) *why = "cannot create " + path_ + "/" + name + ": " + Errno(errno);
  return fd;
}

std::string Folder::Publish(const std::string& tmpName, const std::string& name, std::string* why) const {
  std::string stem = name, ext;
  if (auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) {
    stem = name.substr(0, dot);
    ext = name.substr(dot);
  }
  for (int n = 1; n < 1000; ++n) {
    std::string candidate = n == 1 ? name : stem + "-" + std::to_string(n) + ext;
    if (::renameat2(fd_, tmpName.c_str(), fd_, candidate.c_str(), RENAME_NOREPLACE) == 0) return candidate;
    if (errno != EEXIST) {
      *why = "cannot name " + path_ + "/" + candidate + ": " + Errno(errno);
      return "";
    }
  }
  *why = "no free name for " + name + " in " + path_;
  return "";
}

int Folder::OpenOwn(const std::string& name, std::string* why) const {
  int fd = ::openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    *why = "cannot open " + path_ + "/" + name + ": " + Errno(errno);
    if (fd >= 0) ::close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) {
    ::close(fd);
    *why = path_ + "/" + name + " is not a fax of the service";
    return -1;
  }
  return fd;
}

// Archive --------------------------------------------------------------------

bool Archive::Start(const std::string& stateDir, std::string* why) {
  if (!Folder::Open(stateDir, 0700, true, &state_, why)) return false;
  return Folder::Open(stateDir + "/queue", 0700, true, &queue_, why) &&
         Folder::Open(stateDir + "/farend", 0700, true, &farend_, why) &&
         Folder::Open(stateDir + "/incoming", 0700, true, &incoming_, why);
}

std::string Archive::NewFile(const Folder& folder, const std::string& prefix) const {
  std::string why;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix + RandomSuffix() + ".tif";
    int fd = folder.Create(name, &why);
    if (fd >= 0) {
      ::close(fd);
      return folder.Path() + "/" + name;
    }
    if (errno != EEXIST) break;
  }
  throw Refused(faxsvc::kErrServiceFiles, why);
}

std::string Archive::NewQueueFile(const std::string& prefix) const { return NewFile(queue_, prefix); }
std::string Archive::NewIncomingFile(const std::string& prefix) const { return NewFile(incoming_, prefix); }

std::string Archive::TakeDocument(int fd, const std::string& prefix, long long limit) const {
  struct stat st {};
  if (fd < 0) throw Refused(faxsvc::kErrNoDocument, "no document: hand the document over as an open file");
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) throw Refused(faxsvc::kErrNotFaxDocument, "the document is not a regular file");
  if (st.st_size > kMaxDocumentBytes)
    throw Refused(faxsvc::kErrTooLarge, "the document is larger than " + std::to_string(kMaxDocumentBytes >> 20) + " MiB");
  std::string why;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix + RandomSuffix() + ".tif";
    int to = queue_.Create(name, &why);
    if (to < 0) {
      if (errno == EEXIST) continue;
      throw Refused(faxsvc::kErrServiceFiles, "cannot queue the fax: " + why);
    }
    int err = 0;
    long long copied = CopyAll(fd, to, std::min(limit, kMaxDocumentBytes), &err);
    ::close(to);
    if (copied < 0) {
      ::unlinkat(queue_.Fd(), name.c_str(), 0);
      if (copied == -2 && limit < kMaxDocumentBytes)
        throw Refused(faxsvc::kErrTooLarge, "the document grew while the fax service read it");
      if (copied == -2)
        throw Refused(faxsvc::kErrTooLarge, "the document is larger than " + std::to_string(kMaxDocumentBytes >> 20) + " MiB");
      if (err == EBADF || err == EISDIR || err == EINVAL) throw Refused(faxsvc::kErrNotFaxDocument, "the document cannot be read");
      throw Refused(faxsvc::kErrServiceFiles, "cannot queue the fax: " + Errno(err));
    }
    return queue_.Path() + "/" + name;
  }
  throw Refused(faxsvc::kErrServiceFiles, "cannot queue the fax: no free file name");
}

std::string Archive::DefaultFolder(bool incoming) const {
  return StateDir() + (incoming ? "/Received" : "/Sent");
}

void Archive::RegisterFolders() const {
  for (bool incoming : {true, false})
    if (faxsvc::RegisteredFaxFolder(incoming).empty())
      faxsvc::RegisterFaxFolder(incoming, DefaultFolder(incoming));
}

std::string Archive::StoreFolder() const {
  std::string dir = faxsvc::RegisteredFaxFolder(true);
  return dir.empty() ? DefaultFolder(true) : dir;
}

std::string Archive::ArchiveFolder() const {
  std::string dir = faxsvc::RegisteredFaxFolder(false);
  return dir.empty() ? DefaultFolder(false) : dir;
}

bool Archive::File(bool sent, const std::string& source, const std::string& name, const std::string& description,
                   std::string* stored, std::string* why) const {
  Folder folder;
  if (!Folder::Open(sent ? ArchiveFolder() : StoreFolder(), 0750, false, &folder, why)) return false;
  int from = ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (from < 0) {
    *why = "cannot read " + source + ": " + Errno(errno);
    return false;
  }
  std::string tmp = "." + name + ".part";
  ::unlinkat(folder.Fd(), tmp.c_str(), 0);  // a piece a stopped service left
  int to = folder.Create(tmp, why);
  if (to < 0) {
    ::close(from);
    return false;
  }
  int err = 0;
  bool ok = CopyAll(from, to, 1ll << 40, &err) >= 0;
  ::close(from);
  if (!ok) *why = "cannot write " + folder.Path() + "/" + name + ": " + Errno(err);
  if (ok) ok = faxsvc::StampDescription(to, description, why);
  if (ok && ::fdatasync(to) != 0) {
    ok = false;
    *why = "cannot write " + folder.Path() + "/" + name + ": " + Errno(errno);
  }
  ::close(to);
  std::string final = ok ? folder.Publish(tmp, name, why) : "";
  if (final.empty()) {
    ::unlinkat(folder.Fd(), tmp.c_str(), 0);
    return false;
  }
  *stored = folder.Path() + "/" + final;
  return true;
}

int Archive::OpenStored(const std::string& path, std::string* why) const {
  fs::path p(path);
  Folder folder;
  if (!Folder::Open(p.parent_path().string(), 0750, false, &folder, why)) return -1;
  return folder.OpenOwn(p.filename().string(), why);
}

}  // namespace brevant::faxd
