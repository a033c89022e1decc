// The bug report's probes over this machine: the mail program and session,
// the fax service through its client, the spooler for printers, the
// version record for the system.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "common/CWinReg.h"
#include "common/FaxServerConfig.h"
#include "common/MailAccount.h"
#include "common/MailSessions.h"
#include "common/OsCheck.h"
#include "faxservice/client/FaxService.h"
#include "maintenance/BugReport.h"
#include "platform/fs/Files.h"
#include "platform/mail/MailStore.h"
#include "platform/process/Process.h"
#include "printing/Spooler.h"

extern char** environ;

namespace brevant {
namespace {

// The installed printers as the spooler reports them (the printer objects'
// source). The fax printer's data type and print processor are the ones its
// set-up stored with the queue; a queue that has none shows the spooler's
// usual values.
std::vector<PrinterRecord> SpoolerPrinters() {
  std::vector<PrinterRecord> list;
  long error = 0;
  for (const std::string& name : spooler::PrinterNames(&error)) {
    spooler::PrinterRecord rec;
    if (spooler::GetPrinter(name, &rec) != 0) continue;
    list.push_back({rec.PrinterName, rec.DriverName,
                    rec.PrintProcessor.empty() ? "winprint" : rec.PrintProcessor,
                    rec.Datatype.empty() ? "RAW" : rec.Datatype});
  }
  return list;
}

// The first line a program writes to standard output, waiting at most
// timeoutMs; the program is ended after that. "" when it does not start.
std::string FirstLineOf(const std::vector<std::string>& argv, long timeoutMs) {
  int ends[2];
  if (argv.empty() || ::pipe2(ends, O_CLOEXEC) != 0) return "";
  platform::UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
  const int pipeFd[2] = {ends[0], ends[1]};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, pipeFd[1], 1);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  writeEnd.reset();
  std::string out;
  if (rc == 0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[512];
    while (out.find('\n') == std::string::npos && out.size() < 4096) {
      long left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
              .count();
      pollfd p{pipeFd[0], POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      ssize_t n = ::read(pipeFd[0], buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  readEnd.reset();
  out = out.substr(0, out.find('\n'));
  while (!out.empty() && (out.back() == '\r' || out.back() == ' ')) out.pop_back();
  return out;
}

std::string Basename(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The "Name" and the program of "Exec" of a desktop entry found in the
// XDG data folders.
bool ReadDesktopEntry(const std::string& id, std::string* name, std::string* program) {
  std::vector<std::string> dirs;
  const char* home = std::getenv("XDG_DATA_HOME");
  const char* userHome = std::getenv("HOME");
  if (home && *home)
    dirs.push_back(home);
  else if (userHome && *userHome)
    dirs.push_back(std::string(userHome) + "/.local/share");
  const char* sys = std::getenv("XDG_DATA_DIRS");
  std::string list = sys && *sys ? sys : "/usr/local/share:/usr/share";
  for (std::size_t b = 0; b <= list.size();) {
    std::size_t e = list.find(':', b);
    if (e == std::string::npos) e = list.size();
    if (e > b) dirs.push_back(list.substr(b, e - b));
    b = e + 1;
  }
  for (const auto& d : dirs) {
    std::ifstream in(d + "/applications/" + id);
    if (!in) continue;
    std::string line;
    bool main = false;
    while (std::getline(in, line)) {
      if (!line.empty() && line[0] == '[') main = line == "[Desktop Entry]";
      if (!main) continue;
      if (line.rfind("Name=", 0) == 0 && name->empty()) *name = line.substr(5);
      if (line.rfind("Exec=", 0) == 0 && program->empty()) {
        auto words = platform::SplitCommandLine(line.substr(5));
        if (!words.empty()) *program = words[0];
      }
    }
    return true;
  }
  return false;
}

MailProgram FindMailProgram() {
  MailProgram p;
  std::string configured;
  CWinReg reg;
  if (reg.InitForReadIfPresent(CWinReg::HKEY_CURRENT_USER, mail::kAccountKey)) {
    configured = reg.GetString("MailProgram");
    reg.CloseKey();
  }
  if (!configured.empty()) {
    p.command = platform::SplitCommandLine(configured);
    if (p.command.empty()) return p;
    p.name = Basename(p.command[0]);
    p.version = FirstLineOf({p.command[0], "--version"}, 5000);
    return p;
  }
  // The desktop's program for mail messages opens the report through
  // xdg-open, as a double click on the file would.
  std::string id = FirstLineOf({"xdg-mime", "query", "default", "message/rfc822"}, 5000);
  if (id.empty()) return p;
  std::string program;
  if (!ReadDesktopEntry(id, &p.name, &program)) return p;
  if (p.name.empty()) p.name = id;
  if (!program.empty()) p.version = FirstLineOf({program, "--version"}, 5000);
  p.command = {"xdg-open"};
  return p;
}

// A fax server object of the report's own (the client library makes one
// whether or not the service runs; a service that does not run is a failed
// connection): connected, read, disconnected.
FaxServiceReport ProbeFaxService(bool xp, const std::string& computerName) {
  FaxServiceReport r;
  auto server = std::make_shared<faxsvc::FaxServer>(faxsvc::ProgramFaxClient());
  r.created = true;
  try {
    server->Connect(computerName);
  } catch (...) {
    return r;
  }
  r.connected = true;
  auto text = [](auto v) { return v ? std::to_string(*v) : std::string(); };
  auto yesNo = [](std::optional<bool> v) { return v ? std::string(*v ? "True" : "False") : std::string(); };
  if (auto g = server->GrantedRights()) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "%lX", static_cast<unsigned long>(*g));
    r.grantedRights = hex;
  }
  try {
    auto devices = server->GetDevices();
    for (auto& d : devices.Items()) {
      if (xp) {
        r.devices.push_back({d.DeviceName(), d.Description().value_or(""), yesNo(d.PoweredOff()),
                             std::to_string(d.ReceiveMode()), std::to_string(d.RingsBeforeAnswer()),
                             yesNo(d.SendEnabled()), d.CSID(), d.TSID()});
      } else {
        r.ports.push_back({text(d.CanModify()), yesNo(d.SendEnabled()), yesNo(d.ReceiveEnabled()),
                           std::to_string(d.RingsBeforeAnswer()), text(d.Priority()), d.TSID(), d.CSID(),
                           std::to_string(d.Id())});
      }
      if (d.Fields().Get("kind") == "sip")
        r.sipLines.push_back({d.DeviceName(), d.Fields().Get("status"), d.Fields().Get("t38_memory")});
    }
  } catch (...) {
    // A service that fails to list its devices leaves the modems part empty.
  }
  server->Disconnect();
  return r;
}

}  // namespace

BugReportProbes DefaultBugReportProbes() {
  BugReportProbes p;
  p.mailProgram = FindMailProgram;
  p.mailStore = [] { return mCommon::GetMapiNamespace() != nullptr; };
  p.cdoSession = [] { return mCommon::SetCDOSession() != nullptr; };
  p.faxService = ProbeFaxService;
  p.printers = SpoolerPrinters;
  p.osDescription = mCommon::GetOSDescription;
  p.xpCheck = mCommon::CheckXP;
  return p;
}

}  // namespace brevant
