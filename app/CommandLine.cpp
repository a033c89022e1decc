// The command line's lists: fields split at "#", and list files.
#include <unistd.h>

#include <cerrno>
#include <string>

#include "app/mMisc.h"
#include "common/Errors.h"
#include "platform/fs/SafeFiles.h"

namespace brevant {
namespace {

std::string Trim(const std::string& s) {
  auto b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

}  // namespace

StringList SplitFields(const std::string& text, char sep) {
  StringList out;
  if (text.empty()) return out;
  std::size_t start = 0;
  for (;;) {
    std::size_t cut = text.find(sep, start);
    out.push_back(text.substr(start, cut == std::string::npos ? std::string::npos : cut - start));
    if (cut == std::string::npos) break;
    start = cut + 1;
  }
  return out;
}

StringList ParseFilesArg(const std::string& arg) {
  StringList out;
  for (const std::string& raw : SplitFields(arg, '#')) {
    std::string item = Trim(raw);
    if (item.empty() || item[0] != '@') {
      out.push_back(item);
      continue;
    }
    std::string listFile = item.substr(1);
    bool deleteAfter = false;
    if (!listFile.empty() && listFile[0] == '@') {
      listFile.erase(0, 1);
      deleteAfter = true;
    }
    // Only a regular file of a bounded size: a FIFO or a device (such as
    // /dev/zero) would hang the run or fill its memory.
    std::string text, why;
    switch (platform::ReadRegularFile(listFile, kMaxListFileBytes, &text, &why)) {
      case platform::ReadStatus::Ok:
        break;
      case platform::ReadStatus::NotFound:
        throw VbError(kErrFileNotFound, "File not found: " + listFile);
      case platform::ReadStatus::Failed:
        if (::access(listFile.c_str(), R_OK) != 0 && errno == EACCES)
          throw VbError(kErrPermission, "Permission denied: " + listFile);
        throw VbError(kErrPathFileAccess, "Path/File access error: " + why);
      default:
        throw VbError(kErrPathFileAccess, "Path/File access error: " + why);
    }
    // A text line ends at LF, CR LF or a lone CR; a last line without its
    // end counts too.
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find_first_of("\r\n", start);
      if (end == std::string::npos) end = text.size();
      out.push_back(Trim(text.substr(start, end - start)));
      if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
      start = end + 1;
    }
    if (deleteAfter) ::unlink(listFile.c_str());
  }
  return out;
}

}  // namespace brevant
