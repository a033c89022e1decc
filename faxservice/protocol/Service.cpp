#include "faxservice/protocol/Service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/registry/Registry.h"

namespace brevant::faxsvc {

int OpenDocument(const std::string& path) {
  // Non-blocking, so a FIFO named here cannot hold the caller; it is then
  // refused as not a regular file.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    throw FaxError(platform::kErrFileNotFound, "cannot read the document " + path +
                                                   ": it does not exist, is not a file or may not be read");
  }
  return fd;
}

std::string QueueStatusText(int status) {
  switch (status) {
    case kJobPending:
      return "Pending";
    case kJobInProgress:
      return "Transmitting";
    case kJobPaused:
      return "Paused";
    case kJobRetrying:
      return "Retrying";
    case kJobNoLine:
      return "No line";
    case kJobFailed:
    case kJobRetriesExceeded:
      return "Failed";
    case kJobCompleted:
      return "Completed";
    case kJobCanceled:
    case kJobCanceling:
      return "Canceled";
    default:
      return "Unknown";
  }
}

// The service's folders ------------------------------------------------------

namespace {
const char* FolderKey(bool incoming) {
  return incoming ? "Software\\Microsoft\\Fax\\Setup\\Original Setup Data" : "Software\\Microsoft\\Fax";
}
const char* FolderValue(bool incoming) {
  return incoming ? "Store Directory" : "ArchiveDirectory";
}
}  // namespace

std::string RegisteredFaxFolder(bool incoming) {
  reg::HKEY h = 0;
  if (reg::OpenKey(reg::kLocalMachine, FolderKey(incoming), reg::kKeyRead, &h) != reg::kOk) return "";
  std::uint32_t type = 0, size = 0;
  std::string out;
  if (reg::QueryValue(h, FolderValue(incoming), &type, nullptr, &size) == reg::kOk && size > 0 &&
      (type == reg::REG_SZ || type == reg::REG_EXPAND_SZ)) {
    out.resize(size);
    if (reg::QueryValue(h, FolderValue(incoming), &type, out.data(), &size) != reg::kOk) out.clear();
    while (!out.empty() && out.back() == '\0') out.pop_back();
  }
  reg::CloseKey(h);
  return out;
}

bool RegisterFaxFolder(bool incoming, const std::string& folder) {
  reg::HKEY h = 0;
  if (reg::CreateKey(reg::kLocalMachine, FolderKey(incoming), reg::kKeyAllAccess, &h) != reg::kOk)
    return false;
  bool ok = reg::SetValue(h, FolderValue(incoming), reg::REG_SZ, folder.c_str(),
                          static_cast<std::uint32_t>(folder.size() + 1)) == reg::kOk;
  reg::CloseKey(h);
  return ok;
}

}  // namespace brevant::faxsvc
