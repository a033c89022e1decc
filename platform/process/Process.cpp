#include "platform/process/Process.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "platform/process/ChildProcess.h"

namespace brevant::platform {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string StripExe(std::string s) {
  if (s.size() > 4 && Lower(s.substr(s.size() - 4)) == ".exe") s.resize(s.size() - 4);
  return s;
}

std::string BaseName(const std::string& p) {
  auto cut = p.find_last_of('/');
  return cut == std::string::npos ? p : p.substr(cut + 1);
}

}  // namespace

std::string ExecutablePath() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  buf[n] = 0;
  return buf;
}

std::string ExecutableName() {
  static const std::string name = StripExe(BaseName(ExecutablePath()));
  return name;
}

std::vector<ProcessEntry> ListProcesses() {
  std::vector<ProcessEntry> out;
  DIR* d = ::opendir("/proc");
  if (!d) return out;
  while (dirent* e = ::readdir(d)) {
    if (!std::isdigit(static_cast<unsigned char>(e->d_name[0]))) continue;
    ProcessEntry p;
    p.pid = std::atoi(e->d_name);
    std::string dir = std::string("/proc/") + e->d_name;
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) continue;
    p.uid = int(st.st_uid);
    // The exe link names the program even when comm is cut at 15 characters;
    // other users' links are unreadable, then comm serves.
    char buf[4096];
    ssize_t n = ::readlink((dir + "/exe").c_str(), buf, sizeof buf - 1);
    if (n > 0) {
      buf[n] = 0;
      std::string exe = buf;
      if (exe.size() > 10 && exe.compare(exe.size() - 10, 10, " (deleted)") == 0) exe.resize(exe.size() - 10);
      p.name = BaseName(exe);
    } else {
      std::ifstream comm(dir + "/comm");
      std::getline(comm, p.name);
    }
    out.push_back(std::move(p));
  }
  ::closedir(d);
  return out;
}

bool ProgramRunning(const std::string& name) {
  std::string wanted = Lower(StripExe(name));
  int self = int(::getpid());
  int uid = int(::getuid());
  for (const ProcessEntry& p : ListProcesses())
    if (p.pid != self && p.uid == uid && Lower(StripExe(p.name)) == wanted) return true;
  return false;
}

bool OtherInstanceRunning() {
  return ProgramRunning(ExecutableName());
}

std::vector<std::string> SplitCommandLine(const std::string& s) {
  std::vector<std::string> out;
  std::string cur;
  bool inWord = false, quoted = false;
  for (char c : s) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
      continue;
    }
    if (!quoted && (c == ' ' || c == '\t')) {
      if (inWord) out.push_back(cur);
      cur.clear();
      inWord = false;
      continue;
    }
    cur += c;
    inWord = true;
  }
  if (inWord) out.push_back(cur);
  return out;
}

SpawnResult Spawn(const std::vector<std::string>& argv, const std::string& workDir, bool wait,
                  long timeoutMs) {
  SpawnResult r;
  ChildProcess child;
  if (!child.Start(argv, workDir, "", /*inheritOutput=*/true)) {
    r.error = child.Error();
    return r;
  }
  r.started = true;
  r.pid = child.Pid();
  if (!wait) {
    child.Detach();
    return r;
  }
  if (!child.Wait(timeoutMs, 5)) {
    child.Kill();
    r.timedOut = true;
    return r;
  }
  r.exitCode = child.ExitCode();
  return r;
}

bool ShellExecute(const std::string& verb, const std::string& target) {
  std::vector<std::string> argv;
  if (verb == "print")
    argv = {"lp", target};
  else
    argv = {"xdg-open", target};
  return Spawn(argv, "", false).started;
}

}  // namespace brevant::platform
