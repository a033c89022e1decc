#include "platform/fs/TempFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "platform/events/NamedEvent.h"
#include "platform/fs/Files.h"
#include "platform/fs/SafeFiles.h"

namespace fs = std::filesystem;

namespace brevant::platform {
namespace {

// The fall-back folder of this process, removed when it ends.
struct ProcessFolder {
  std::mutex mutex;
  std::string path;
  ~ProcessFolder() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
};

ProcessFolder& Fallback() {
  static ProcessFolder folder;
  return folder;
}

// Whatever is at path, gone: a folder with its content, a file, a link
// (the link itself). False with *why when something stays.
bool Clear(const std::string& path, std::string* why) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    *why = path + ": " + std::strerror(errno);
    return false;
  }
  std::error_code ec;
  if (S_ISDIR(st.st_mode))
    fs::remove_all(path, ec);  // never follows a link inside
  else if (::unlink(path.c_str()) != 0)
    ec.assign(errno, std::generic_category());
  if (ec) {
    *why = "cannot remove " + path + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

std::string MakePrivateFolder(const std::string& prefix, std::string* why) {
  const char* env = std::getenv("TMPDIR");
  std::string refused;
  for (std::string dir : {std::string(env ? env : ""), std::string("/tmp")}) {
    if (dir.empty() || dir[0] != '/') continue;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::string made = (dir == "/" ? "" : dir) + "/" + prefix + "XXXXXX";
    if (!::mkdtemp(made.data())) {
      refused = dir + ": " + std::strerror(errno);
      continue;
    }
    // Made 0700; every folder on the way must be one nobody else can
    // change, or our folder could be renamed away and another put there.
    if (UniqueFd(OpenOwnedFolder(made, ::geteuid(), false, 0700, &refused))) return made + "/";
    ::rmdir(made.c_str());
  }
  *why = "no private temporary folder can be made (" + refused + ")";
  return "";
}

std::string PrivateTempFolder(std::string* why) {
  const std::string dir = NamedEvent::RuntimeDir() + "/tmp";
  std::string refused;
  if (UniqueFd fd(OpenOwnedFolder(dir, ::geteuid(), true, 0700, &refused)); fd) {
    struct stat st {};
    // A folder made by hand with looser rights is the user's: tightened.
    if (::fstat(fd.get(), &st) == 0 && (st.st_mode & 077)) ::fchmod(fd.get(), 0700);
    return dir + "/";
  }
  ProcessFolder& fallback = Fallback();
  std::lock_guard lock(fallback.mutex);
  if (!fallback.path.empty()) return fallback.path;  // told when it was made
  std::string made;
  fallback.path = MakePrivateFolder("brevant-" + std::to_string(::geteuid()) + "-", &made);
  *why = "the temporary folder " + dir + " is refused: " + refused +
         (fallback.path.empty() ? "; " + made : "; this run uses " + fallback.path);
  return fallback.path;
}

std::string SafeFileName(const std::string& name, const std::string& fallback) {
  constexpr std::size_t kMaxBytes = 100;
  std::string out;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (out.empty() && (c == '.' || c == ' ')) continue;
    out += (c == '/' || u < 0x20 || u == 0x7f) ? '_' : c;
  }
  if (out.size() > kMaxBytes) {
    std::size_t cut = kMaxBytes;
    // Back to the start of a UTF-8 character.
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  return out.empty() ? fallback : out;
}

int CreateFreshFile(const std::string& path, mode_t mode, std::string* why) {
  if (!Clear(path, why)) return -1;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) *why = "cannot create " + path + ": " + std::strerror(errno);
  return fd;
}

bool WriteFreshFile(const std::string& path, const std::string& data, mode_t mode, std::string* why) {
  UniqueFd fd(CreateFreshFile(path, mode, why));
  if (!fd) return false;
  int err = WriteAll(fd.get(), data);
  if (int closed = fd.Close(); !err) err = closed;
  if (err) {
    *why = "cannot write " + path + ": " + std::strerror(err);
    ::unlink(path.c_str());
    return false;
  }
  return true;
}

bool CopyToFreshFile(const std::string& from, const std::string& path, mode_t mode, std::string* why) {
  // Opened without waiting: a FIFO or a device is no file to copy.
  UniqueFd in(::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!in) {
    *why = from + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = from + " is not a regular file";
    return false;
  }
  UniqueFd out(CreateFreshFile(path, mode, why));
  if (!out) return false;
  std::uint64_t copied = 0;
  bool readFailed = false;
  int err = CopyAll(in.get(), out.get(), UINT64_MAX, &copied, &readFailed);
  if (int closed = out.Close(); !err) err = closed;
  if (err) {
    *why = readFailed ? from + ": " + std::strerror(err) : "cannot write " + path + ": " + std::strerror(err);
    ::unlink(path.c_str());
    return false;
  }
  return true;
}

bool CreateFreshFolder(const std::string& path, std::string* why) {
  if (!Clear(path, why)) return false;
  if (::mkdir(path.c_str(), 0700) != 0) {
    *why = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::string MakeUniqueFile(const std::string& folder, const std::string& prefix, const std::string& suffix,
                           std::string* why) {
  if (folder.empty()) {
    *why = "there is no temporary folder";
    return "";
  }
  std::string path = folder;
  if (path.back() != '/') path += '/';
  path += prefix + "XXXXXX" + suffix;
  UniqueFd fd(::mkostemps(path.data(), static_cast<int>(suffix.size()), O_CLOEXEC));
  if (!fd) {
    *why = "cannot create a file in " + folder + ": " + std::strerror(errno);
    return "";
  }
  return path;
}

}  // namespace brevant::platform
