#pragma once
// Processes: this program's own executable, the list of running processes,
// starting programs with or without waiting, and the desktop shell.
#include <string>
#include <vector>

namespace brevant::platform {

// Full path of the running executable (/proc/self/exe).
std::string ExecutablePath();
// Base name of the executable, without folder and without a trailing ".exe"
// ("brevant").
std::string ExecutableName();

struct ProcessEntry {
  int pid = 0;
  int uid = 0;
  std::string name;  // executable base name
};
std::vector<ProcessEntry> ListProcesses();

// True when another process of the same user runs an executable with this
// program's name (compared without regard to case and a trailing ".exe").
bool OtherInstanceRunning();
// The same for a program of the given name ("brevant").
bool ProgramRunning(const std::string& name);

// Splits a command line into words the way a shell would for plain words and
// double-quoted parts (no variables, no globbing).
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

struct SpawnResult {
  bool started = false;
  int exitCode = -1;  // when waited for
  bool timedOut = false;
  int pid = 0;
  std::string error;  // why it did not start
};
// Starts argv[0] (searched in PATH when it has no "/") in workDir ("" =
// current). With wait, waits up to timeoutMs (< 0: without limit); a child
// still running then is killed so no orphan is left.
SpawnResult Spawn(const std::vector<std::string>& argv, const std::string& workDir, bool wait,
                  long timeoutMs = -1);

// Asks the desktop to perform verb ("open", "explore", "print") on a file or
// folder; returns false when no handler could be started.
bool ShellExecute(const std::string& verb, const std::string& target);

}  // namespace brevant::platform
