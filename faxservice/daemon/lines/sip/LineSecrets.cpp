#include "faxservice/daemon/lines/sip/LineSecrets.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/fs/Files.h"

namespace brevant::faxd {

namespace {

std::string Folder(const std::string& stateDir) {
  return stateDir + "/secrets";
}
std::string PathOf(const std::string& stateDir, long long line) {
  return Folder(stateDir) + "/line-" + std::to_string(line);
}

}  // namespace

bool PutLineSecret(const std::string& stateDir, long long line, const std::string& value, std::string* why) {
  const std::string folder = Folder(stateDir);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *why = "cannot make " + folder + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    *why = folder + " is not a folder of the fax service's own";
    return false;
  }
  ::chmod(folder.c_str(), 0700);
  // Readable by the service alone, whatever the umask, and replaced whole.
  return platform::WriteFileAtomic(PathOf(stateDir, line), value, platform::AtomicOptions(0600).Exact(), why);
}

std::string LineSecret(const std::string& stateDir, long long line) {
  platform::UniqueFd fd(::open(PathOf(stateDir, line).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return "";
  std::string value;
  char buf[512];
  for (ssize_t n; value.size() < 4096 && (n = ::read(fd.get(), buf, sizeof buf)) > 0;)
    value.append(buf, static_cast<std::size_t>(n));
  return value;
}

void RemoveLineSecret(const std::string& stateDir, long long line) {
  ::unlink(PathOf(stateDir, line).c_str());
}

}  // namespace brevant::faxd
