#pragma once
// A program Brevant starts (office suite, browser, lp, the console tool, the
// PDF reader, helpers): started in a process group of its own, waited for
// in short sleeps that let window messages run, and ended with its whole
// group when it outlives its time, so no helper is left behind.
#include <string>
#include <vector>

#include "platform/fs/Files.h"

namespace brevant::platform {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // a child still running is ended
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // argv[0] is searched in PATH when it has no "/". Output goes to logFile
  // when given, else it is discarded, or with inheritOutput it goes where
  // this program's output goes.
  bool Start(const std::vector<std::string>& argv, const std::string& workDir,
             const std::string& logFile = "", bool inheritOutput = false);
  // Before Start: the child's standard input is a pipe from this program
  // that stays open until CloseInput (or the end of this object), so the
  // child can tell when this program is done with it.
  void FeedInput() { feedInput_ = true; }
  void CloseInput();
  bool Running();
  // Waits in steps of stepMs, letting window messages run; false when
  // timeoutMs passed first (< 0: no limit).
  bool Wait(long timeoutMs, long stepMs = 100);
  // Ends the whole process group (TERM, then KILL after a short grace).
  void Kill();
  // Nobody will wait for it: a background reaper keeps it from lingering
  // as a zombie when it ends.
  void Detach();
  int ExitCode() const { return exitCode_; }
  int Pid() const { return pid_; }
  const std::string& Error() const { return error_; }

 private:
  int pid_ = 0;
  UniqueFd input_;
  bool feedInput_ = false;
  bool reaped_ = true;
  int exitCode_ = -1;
  std::string error_;
};

// Starts, waits up to timeoutMs, kills the group on time-out. Returns the
// exit code, or -1 when it did not start or was killed (*why says which).
int RunAwaited(const std::vector<std::string>& argv, const std::string& workDir, long timeoutMs,
               std::string* why, long stepMs = 100);

}  // namespace brevant::platform
