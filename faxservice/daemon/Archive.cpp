#include "faxservice/daemon/Archive.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "faxservice/daemon/State.h"
#include "faxservice/protocol/FaxTiff.h"
#include "faxservice/protocol/Service.h"

namespace brevant::faxd {

namespace fs = std::filesystem;

namespace {

std::string Errno(int err) {
  return std::strerror(err);
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

}  // namespace

// Folder ---------------------------------------------------------------------

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
  platform::UniqueFd fd(::open(p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0) {
    *why = "cannot open the folder " + p.string() + ": " + Errno(errno);
    return false;
  }
  if (st.st_uid != me) {
    *why = p.string() + " belongs to user " + std::to_string(st.st_uid) +
           ", not to the fax service; it is not used";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH | S_ISVTX)) || (tighten && (st.st_mode & 07777) != mode)) {
    if (!tighten || ::fchmod(fd.get(), mode) != 0) {
      char octal[8];
      std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      *why = p.string() + " may be written by other users (mode " + octal + "); it is not used";
      return false;
    }
  }
  out->fd_ = std::move(fd);
  out->path_ = p.string();
  return true;
}

int Folder::Create(const std::string& name, std::string* why) const {
  int fd = ::openat(fd_.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) *why = "cannot create " + path_ + "/" + name + ": " + Errno(errno);
  return fd;
}

bool Folder::Begin(const std::string& name, platform::AtomicFile* file, std::string* why) const {
  return file->BeginAt(fd_.get(), name, path_ + "/" + name,
                       platform::AtomicOptions(0600).TempName("." + name + ".part"), why);
}

std::string Folder::Publish(platform::AtomicFile& file, const std::string& name, std::string* why) const {
  std::string stem = name, ext;
  if (auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) {
    stem = name.substr(0, dot);
    ext = name.substr(dot);
  }
  for (int n = 1; n < 1000; ++n) {
    std::string candidate = n == 1 ? name : stem + "-" + std::to_string(n) + ext;
    int err = file.CommitNew(candidate);
    if (err == 0) return candidate;
    if (err != EEXIST) {
      *why = "cannot name " + path_ + "/" + candidate + ": " + Errno(err);
      return "";
    }
  }
  *why = "no free name for " + name + " in " + path_;
  return "";
}

int Folder::OpenOwn(const std::string& name, std::string* why) const {
  platform::UniqueFd fd(::openat(fd_.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0) {
    *why = "cannot open " + path_ + "/" + name + ": " + Errno(errno);
    return -1;
  }
  if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) {
    *why = path_ + "/" + name + " is not a fax of the service";
    return -1;
  }
  return fd.release();
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
    std::string name = prefix + platform::RandomName(8) + ".tif";
    if (platform::UniqueFd(folder.Create(name, &why))) return folder.Path() + "/" + name;
    if (errno != EEXIST) break;
  }
  throw Refused(faxsvc::kErrServiceFiles, why);
}

std::string Archive::NewQueueFile(const std::string& prefix) const {
  return NewFile(queue_, prefix);
}
std::string Archive::NewIncomingFile(const std::string& prefix) const {
  return NewFile(incoming_, prefix);
}

std::string Archive::TakeDocument(int fd, const std::string& prefix, long long limit) const {
  struct stat st {};
  if (fd < 0) throw Refused(faxsvc::kErrNoDocument, "no document: hand the document over as an open file");
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    throw Refused(faxsvc::kErrNotFaxDocument, "the document is not a regular file");
  if (st.st_size > kMaxDocumentBytes)
    throw Refused(faxsvc::kErrTooLarge,
                  "the document is larger than " + std::to_string(kMaxDocumentBytes >> 20) + " MiB");
  std::string why;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix + platform::RandomName(8) + ".tif";
    platform::UniqueFd to(queue_.Create(name, &why));
    if (!to) {
      if (errno == EEXIST) continue;
      throw Refused(faxsvc::kErrServiceFiles, "cannot queue the fax: " + why);
    }
    std::uint64_t copied = 0;
    int err = platform::CopyAll(fd, to.get(), std::uint64_t(std::min(limit, kMaxDocumentBytes)), &copied);
    if (int closed = to.Close(); !err) err = closed;
    if (err) {
      ::unlinkat(queue_.Fd(), name.c_str(), 0);
      if (err == EFBIG && limit < kMaxDocumentBytes)
        throw Refused(faxsvc::kErrTooLarge, "the document grew while the fax service read it");
      if (err == EFBIG)
        throw Refused(faxsvc::kErrTooLarge,
                      "the document is larger than " + std::to_string(kMaxDocumentBytes >> 20) + " MiB");
      if (err == EBADF || err == EISDIR || err == EINVAL)
        throw Refused(faxsvc::kErrNotFaxDocument, "the document cannot be read");
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

bool Archive::File(bool sent, const std::string& source, const std::string& name,
                   const std::string& description, std::string* stored, std::string* why) const {
  Folder folder;
  if (!Folder::Open(sent ? ArchiveFolder() : StoreFolder(), 0750, false, &folder, why)) return false;
  platform::UniqueFd from(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!from) {
    *why = "cannot read " + source + ": " + Errno(errno);
    return false;
  }
  // Written under a name of its own (one a stopped service left goes
  // first) and named only when whole and on disk.
  platform::AtomicFile to;
  if (!folder.Begin(name, &to, why)) return false;
  std::uint64_t copied = 0;
  if (int err = platform::CopyAll(from.get(), to.fd(), UINT64_MAX, &copied)) {
    *why = "cannot write " + folder.Path() + "/" + name + ": " + Errno(err);
    return false;
  }
  if (!faxsvc::StampDescription(to.fd(), description, why)) return false;
  std::string final = folder.Publish(to, name, why);
  if (final.empty()) return false;
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
