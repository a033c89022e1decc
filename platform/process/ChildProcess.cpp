#include "platform/process/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/ui/Ui.h"

extern char** environ;

namespace brevant::platform {

ChildProcess::~ChildProcess() {
  if (!reaped_) Kill();
  CloseInput();
}

void ChildProcess::CloseInput() {
  input_.reset();
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& workDir,
                         const std::string& logFile, bool inheritOutput) {
  error_.clear();
  if (argv.empty()) {
    error_ = "empty command";
    return false;
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  CloseInput();
  int ends[2] = {-1, -1};
  if (feedInput_ && ::pipe2(ends, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  UniqueFd feed[2] = {UniqueFd(ends[0]), UniqueFd(ends[1])};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (!workDir.empty()) posix_spawn_file_actions_addchdir_np(&fa, workDir.c_str());
  if (feed[0]) posix_spawn_file_actions_adddup2(&fa, feed[0].get(), 0);
  if (!inheritOutput) {
    const char* out = logFile.empty() ? "/dev/null" : logFile.c_str();
    if (!feed[0]) posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out, O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  pid_t pid = 0;
  int rc = argv[0].find('/') == std::string::npos
               ? posix_spawnp(&pid, args[0], &fa, &attr, args.data(), environ)
               : posix_spawn(&pid, args[0], &fa, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  feed[0].reset();
  if (rc != 0) {
    error_ = argv[0] + ": " + std::strerror(rc);
    return false;
  }
  input_ = std::move(feed[1]);
  pid_ = int(pid);
  reaped_ = false;
  exitCode_ = -1;
  return true;
}

bool ChildProcess::Running() {
  if (reaped_) return false;
  int st = 0;
  pid_t w = ::waitpid(pid_, &st, WNOHANG);
  if (w == pid_) {
    reaped_ = true;
    exitCode_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    // Helpers the child left in its group go with it.
    ::kill(-pid_, SIGKILL);
    return false;
  }
  if (w < 0 && errno == ECHILD) {
    reaped_ = true;
    return false;
  }
  return true;
}

bool ChildProcess::Wait(long timeoutMs, long stepMs) {
  const auto end =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  // Each step ends early when the child does (its process descriptor turns
  // readable), so a short run is not rounded up to a whole step.
  const UniqueFd pidOwner(reaped_ ? -1 : int(::syscall(SYS_pidfd_open, pid_, 0)));
  const int pidFd = pidOwner.get();
  bool ended = true;
  while (Running()) {
    if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= end) {
      ended = false;
      break;
    }
    if (pidFd >= 0) {
      pollfd p{pidFd, POLLIN, 0};
      ::poll(&p, 1, int(stepMs));
      ui::DoEvents();
    } else {
      ui::SleepEvents(stepMs);
    }
  }
  return ended;
}

void ChildProcess::Kill() {
  if (reaped_) return;
  ::kill(-pid_, SIGTERM);
  for (int i = 0; i < 20 && Running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (!reaped_) {
    ::kill(-pid_, SIGKILL);
    int st = 0;
    ::waitpid(pid_, &st, 0);
    reaped_ = true;
    exitCode_ = -1;
  }
}

void ChildProcess::Detach() {
  if (reaped_) return;
  pid_t pid = pid_;
  std::thread([pid] {
    int st;
    ::waitpid(pid, &st, 0);
  }).detach();
  reaped_ = true;
}

int RunAwaited(const std::vector<std::string>& argv, const std::string& workDir, long timeoutMs,
               std::string* why, long stepMs) {
  ChildProcess child;
  if (!child.Start(argv, workDir)) {
    if (why) *why = child.Error();
    return -1;
  }
  if (!child.Wait(timeoutMs, stepMs)) {
    child.Kill();
    if (why)
      *why = argv[0] + " did not finish within " + std::to_string(timeoutMs / 1000) + " s and was ended";
    return -1;
  }
  return child.ExitCode();
}

}  // namespace brevant::platform
