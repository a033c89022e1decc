// Processes: command-line splitting, spawning with waits and time-outs, and
// this program among the running ones.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "platform/process/Process.h"

using namespace brevant::platform;

TEST(Process, SplitSpawnWaitTimeOutAndInstances) {
  EXPECT_EQ(SplitCommandLine("quorrender  \"a b\"/c spool;"),
            (std::vector<std::string>{"quorrender", "a b/c", "spool;"}));
  EXPECT_TRUE(SplitCommandLine("   ").empty());
  EXPECT_EQ(Spawn({"sh", "-c", "exit 7"}, "", true).exitCode, 7);
  SpawnResult r = Spawn({"/nonexistent/tool"}, "", true);
  EXPECT_FALSE(r.started);
  EXPECT_NE(r.error.find("/nonexistent/tool"), std::string::npos);
  // A child that outlives its time-out is killed with its own children.
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(Spawn({"sh", "-c", "sleep 30 & sleep 30"}, "", true, 200).timedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));

  // A second process of this program is seen (other test processes may run
  // at the same time, so only the positive case can be asserted).
  pid_t kid = fork();
  if (kid == 0) {
    pause();
    _exit(0);
  }
  EXPECT_TRUE(OtherInstanceRunning());
  kill(kid, SIGKILL);
  waitpid(kid, nullptr, 0);
}
