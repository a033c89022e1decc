#include "platform/fs/SafeFiles.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/fs/Files.h"

namespace brevant::platform {

bool LockFile(int fd, int operation, long timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  long pauseMs = 1;
  for (;;) {
    if (::flock(fd, operation | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    pauseMs = std::min(pauseMs * 2, 20L);
  }
}

namespace {

std::string Describe(const std::string& path, const struct stat& st) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
  return path + " (owner uid " + std::to_string(st.st_uid) + ", mode " + mode + ")";
}

}  // namespace

int OpenOwnedFolder(const std::string& path, uid_t owner, bool create, mode_t mode, std::string* why) {
  if (path.empty() || path[0] != '/') {
    *why = "\"" + path + "\" is not a full path";
    return -1;
  }
  std::vector<std::string> parts;
  for (std::size_t start = 1; start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "..") {
      *why = path + " climbs with \"..\"";
      return -1;
    }
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  UniqueFd fd(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) {
    *why = std::string("/: ") + std::strerror(errno);
    return -1;
  }
  std::string sofar;
  for (std::size_t i = 0; i <= parts.size(); ++i) {
    const bool last = i == parts.size();
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
      *why = (sofar.empty() ? "/" : sofar) + ": " + std::strerror(errno);
      return -1;
    }
    const std::string here = sofar.empty() ? "/" : sofar;
    bool ownerOk = last ? st.st_uid == owner : (st.st_uid == 0 || st.st_uid == owner);
    bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (othersWrite && (last || !(st.st_mode & S_ISVTX))) {
      *why = Describe(here, st) + " may be changed by other users";
      return -1;
    }
    if (!ownerOk) {
      *why = Describe(here, st) +
             (last ? " does not belong to uid " + std::to_string(owner) : " belongs to another user");
      return -1;
    }
    if (last) return fd.release();
    const std::string& name = parts[i];
    sofar += "/" + name;
    UniqueFd next(::openat(fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next && errno == ENOENT && create) {
      if (::mkdirat(fd.get(), name.c_str(), mode) != 0 && errno != EEXIST) {
        *why = "cannot create " + sofar + ": " + std::strerror(errno);
        return -1;
      }
      next.reset(::openat(fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!next) {
      int e = errno;
      struct stat lst {};
      if ((e == ELOOP || e == ENOTDIR) && ::fstatat(fd.get(), name.c_str(), &lst, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(lst.st_mode))
        *why = sofar + " is a symbolic link";
      else
        *why = sofar + ": " + std::strerror(e);
      return -1;
    }
    fd = std::move(next);
  }
  return -1;  // not reached
}

std::string HomeFolder() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
  return "/nonexistent";
}

ReadStatus ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string* data,
                           std::string* why) {
  data->clear();
  struct stat st {};
  // Looked at before opening: opening a device may already do something.
  if (::stat(path.c_str(), &st) != 0) {
    *why = path + ": " + std::strerror(errno);
    return errno == ENOENT || errno == ENOTDIR ? ReadStatus::NotFound : ReadStatus::Failed;
  }
  if (!S_ISREG(st.st_mode)) {
    *why = path + " is not a regular file";
    return ReadStatus::NotRegular;
  }
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    *why = path + ": " + std::strerror(errno);
    return errno == ENOENT ? ReadStatus::NotFound : ReadStatus::Failed;
  }
  // What was opened may have been swapped since the stat.
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = path + " is not a regular file";
    return ReadStatus::NotRegular;
  }
  auto tooLarge = [&] {
    data->clear();
    *why = path + " is larger than " + std::to_string(maxBytes) + " bytes";
    return ReadStatus::TooLarge;
  };
  if (std::uint64_t(st.st_size) > maxBytes) return tooLarge();
  data->reserve(std::size_t(st.st_size));
  char buf[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      *why = path + ": " + std::strerror(errno);
      data->clear();
      return ReadStatus::Failed;
    }
    if (n == 0) break;
    // The file may grow while it is read.
    if (data->size() + std::size_t(n) > maxBytes) return tooLarge();
    data->append(buf, std::size_t(n));
  }
  return ReadStatus::Ok;
}

}  // namespace brevant::platform
