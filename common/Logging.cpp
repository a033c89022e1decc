#include "common/Logging.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>

#include "Version.h"
#include "common/Errors.h"
#include "common/Folders.h"
#include "platform/events/NamedEvent.h"
#include "platform/fs/Files.h"
#include "platform/fs/SafeFiles.h"
#include "platform/process/Process.h"

namespace brevant {
namespace {

std::string Quoted(const std::string& s) {
  return "\"" + s + "\"";
}

std::string FormatNow(const char* fmt) {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, fmt, &tm);
  return buf;
}

// One record, one write(2) on an O_APPEND descriptor, under flock: records of
// concurrent writers never interleave. A lock another process keeps for
// more than two seconds is not waited for longer: the record is written
// without it (a single append still lands whole). A log that is a symlink
// is not written through.
bool AppendRecord(const std::string& path, const std::string& record, std::string* why) {
  platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (!fd) {
    *why = std::strerror(errno);
    return false;
  }
  platform::LockFile(fd.get(), LOCK_EX, 2000);
  if (int err = platform::WriteAll(fd.get(), record + "\r\n")) {
    *why = std::strerror(err);
    return false;
  }
  return true;  // closing releases the lock
}

void AppendOrThrow(const std::string& path, const std::string& record) {
  std::string why;
  if (!AppendRecord(path, record, &why))
    throw VbError(kErrPathFileAccess, "Path/File access error: " + path + ": " + why);
}

std::string TraceText(const std::string& procedure, const std::string& message) {
  std::string text = GeneralDateTime() + ", " + procedure;
  if (!message.empty()) text += " - " + message;
  return Quoted(text);
}

}  // namespace

// Refusals of the named events (an unsafe runtime folder, a planted file)
// become error records of whichever program meets them.
[[maybe_unused]] static const bool g_eventReports = [] {
  platform::NamedEvent::SetReporter([](const std::string& text, const std::string& source) {
    WriteErrorLog(kErrPathFileAccess, text, source);
  });
  return true;
}();

std::string ProgramVersion() {
  return BREVANT_VERSION_TEXT;
}

std::string TraceLogPath() {
  return GetProgramFolder() + "/" + platform::ExecutableName() + ".log";
}
std::string ErrorLogPath() {
  return GetProgramFolder() + "/Errors.log";
}
std::string DebugLogPath() {
  return GetProgramFolder() + "/Debug.log";
}

std::string RecordDateTime() {
  return FormatNow("#%Y-%m-%d %H:%M:%S#");
}
std::string GeneralDateTime() {
  return FormatNow("%Y-%m-%d %H:%M:%S");
}

void WriteTraceLog(const std::string& procedure, const std::string& message) {
  AppendOrThrow(TraceLogPath(), TraceText(procedure, message));
}

void WriteErrorLog(long number, const std::string& description, const std::string& source) {
  std::string message = "Error (" + std::to_string(number) + ") in " + source + ": " + description;
  std::string record = std::to_string(number) + "," + Quoted(description) + "," +
                       Quoted(platform::ExecutableName() + ":" + source) + "," + Quoted("ver") + "," +
                       Quoted(ProgramVersion()) + "," + Quoted("str:") + ",0," + RecordDateTime();
  std::string why;
  if (!AppendRecord(ErrorLogPath(), record, &why))
    std::cerr << "brevant: cannot write " << ErrorLogPath() << " (" << why << "): " << message << std::endl;
  if (strcasecmp(platform::ExecutableName().c_str(), "Brevant") == 0 &&
      !AppendRecord(TraceLogPath(), TraceText("", message), &why))
    std::cerr << "brevant: cannot write " << TraceLogPath() << " (" << why << ")" << std::endl;
}

void NotAvailable(const std::string& source) {
  WriteErrorLog(kErrNotAvailable, source + " is not available in this build", source);
}

void WriteDebugLog(const std::string& procedure, const std::string& message) {
  AppendOrThrow(DebugLogPath(), RecordDateTime() + "," + Quoted("ver") + "," + Quoted(ProgramVersion()) +
                                    "," + Quoted(procedure) + "," + Quoted(message));
}

}  // namespace brevant
