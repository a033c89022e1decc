// Named events: existence follows live holders, signals cross processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "platform/events/NamedEvent.h"
#include "tests/support/TestWorld.h"

using brevant::platform::NamedEvent;

TEST(NamedEvent, ExistsWhileHeldAndACrashedHolderLeavesNoStaleEvent) {
  brevant::test::TestWorld w;
  EXPECT_FALSE(NamedEvent::Exists("FaxPrinter"));
  {
    bool existed = true;
    auto ev = NamedEvent::Create("FaxPrinter", true, true, &existed);
    ASSERT_TRUE(ev);
    EXPECT_FALSE(existed);
    EXPECT_TRUE(NamedEvent::Exists("FaxPrinter"));
    auto second = NamedEvent::Create("FaxPrinter", true, false, &existed);
    EXPECT_TRUE(existed);
  }
  EXPECT_FALSE(NamedEvent::Exists("FaxPrinter"));
  EXPECT_EQ(NamedEvent::Open("FaxPrinter"), nullptr);

  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  pid_t kid = fork();
  if (kid == 0) {
    auto ev = NamedEvent::Create("QuorPause", false, false);
    char c = 1;
    (void)!write(pipefd[1], &c, 1);
    pause();  // killed below, holding the event
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(pipefd[0], &c, 1), 1);
  EXPECT_TRUE(NamedEvent::Exists("QuorPause"));
  kill(kid, SIGKILL);
  waitpid(kid, nullptr, 0);
  EXPECT_FALSE(NamedEvent::Exists("QuorPause"));
}

TEST(NamedEvent, SignalFromAnotherProcessWakesTheWaiterOnce) {
  brevant::test::TestWorld w;
  auto ev = NamedEvent::Create("VestrelSpool", false, false);
  ASSERT_TRUE(ev);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(ev->Wait(50));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(45));

  pid_t kid = fork();
  if (kid == 0) {
    usleep(100 * 1000);
    auto other = NamedEvent::Open("VestrelSpool");
    if (!other) _exit(1);
    other->Set();
    _exit(0);
  }
  EXPECT_TRUE(ev->Wait(5000));
  int st = 0;
  waitpid(kid, &st, 0);
  EXPECT_EQ(WEXITSTATUS(st), 0);
  EXPECT_FALSE(ev->Wait(20));  // auto-reset: the signal was consumed

  auto manual = NamedEvent::Create("FaxPrinter", true, true);
  EXPECT_TRUE(manual->Wait(0));
  EXPECT_TRUE(manual->Wait(0));  // manual reset stays signalled
  manual->Reset();
  EXPECT_FALSE(manual->Wait(0));
}
