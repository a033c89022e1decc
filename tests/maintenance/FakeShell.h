#pragma once
// Puts a recording "xdg-open" first on PATH, so what the program hands to
// the desktop shell can be read back.
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/TestWorld.h"

namespace brevant::test {

class FakeShell {
 public:
  explicit FakeShell(const TestWorld& w) : dir_(w.Root() + "/fakebin"), log_(w.Root() + "/shell.log") {
    oldPath_ = std::getenv("PATH") ? std::getenv("PATH") : "";
    TestWorld::WriteFile(dir_ + "/xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > '" + log_ + ".part'\nmv '" +
                                                 log_ + ".part' '" + log_ + "'\n");
    ::chmod((dir_ + "/xdg-open").c_str(), 0755);
    ::setenv("PATH", (dir_ + ":" + oldPath_).c_str(), 1);
  }
  ~FakeShell() { ::setenv("PATH", oldPath_.c_str(), 1); }

  // What the shell was asked to open; waits up to 5 s for it to arrive.
  std::string Opened(int waitMs = 5000) const {
    for (int t = 0; t < waitMs; t += 20) {
      std::string s = TestWorld::ReadFile(log_);
      if (!s.empty()) return s;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "";
  }

 private:
  std::string dir_, log_, oldPath_;
};

}  // namespace brevant::test
