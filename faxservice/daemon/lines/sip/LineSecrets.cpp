#include "faxservice/daemon/lines/sip/LineSecrets.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brevant::faxd {

namespace {

std::string Folder(const std::string& stateDir) { return stateDir + "/secrets"; }
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
  const std::string path = PathOf(stateDir, line), temp = path + ".new";
  ::unlink(temp.c_str());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    *why = "cannot write " + temp + ": " + std::strerror(errno);
    return false;
  }
  std::size_t done = 0;
  while (done < value.size()) {
    ssize_t n = ::write(fd, value.data() + done, value.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const bool ok = done == value.size() && ::fsync(fd) == 0;
  const int error = errno;
  ::close(fd);
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    *why = "cannot write " + path + ": " + std::strerror(ok ? errno : error);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

std::string LineSecret(const std::string& stateDir, long long line) {
  int fd = ::open(PathOf(stateDir, line).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return "";
  std::string value;
  char buf[512];
  for (ssize_t n; value.size() < 4096 && (n = ::read(fd, buf, sizeof buf)) > 0;)
    value.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return value;
}

void RemoveLineSecret(const std::string& stateDir, long long line) { ::unlink(PathOf(stateDir, line).c_str()); }

}  // namespace brevant::faxd
