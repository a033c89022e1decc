#include "platform/process/Process.h"

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

extern char** environ;

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
    struct stat st{};
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

bool OtherInstanceRunning() {
  std::string me = Lower(ExecutableName());
  int self = int(::getpid());
  int uid = int(::getuid());
  for (const ProcessEntry& p : ListProcesses())
    if (p.pid != self && p.uid == uid && Lower(StripExe(p.name)) == me) return true;
  return false;
}

std::vector<std::string> SplitCommandLine(const std::string& s) {
  std::vector<std::string> out;
  std::string cur;
  bool inWord = false, quoted = false;
  for (char c : s) {
    if (c == '"') { quoted = !quoted; inWord = true; continue; }
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
  if (argv.empty()) { r.error = "empty command"; return r; }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 29))
  if (!workDir.empty()) posix_spawn_file_actions_addchdir_np(&fa, workDir.c_str());
#endif
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // A child of its own process group, so a time-out can end its children too.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  pid_t pid = 0;
  int rc = argv[0].find('/') == std::string::npos
               ? posix_spawnp(&pid, args[0], &fa, &attr, args.data(), environ)
               : posix_spawn(&pid, args[0], &fa, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    r.error = argv[0] + ": " + std::strerror(rc);
    return r;
  }
  r.started = true;
  r.pid = int(pid);
  if (!wait) {
    // Nobody waits for it: a detached reaper keeps it from lingering as a zombie.
    std::thread([pid] { int st; ::waitpid(pid, &st, 0); }).detach();
    return r;
  }
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    int st = 0;
    pid_t w = ::waitpid(pid, &st, timeoutMs < 0 ? 0 : WNOHANG);
    if (w == pid) {
      r.exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return r;
    }
    if (w < 0 && errno != EINTR) return r;
    if (timeoutMs >= 0 &&
        std::chrono::steady_clock::now() - start > std::chrono::milliseconds(timeoutMs)) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &st, 0);
      r.timedOut = true;
      return r;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool ShellExecute(const std::string& verb, const std::string& target) {
  std::vector<std::string> argv;
  if (verb == "print") argv = {"lp", target};
  else argv = {"xdg-open", target};
  return Spawn(argv, "", false).started;
}

}  // namespace brevant::platform
