// Named events: existence follows live holders, signals cross processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "platform/events/NamedEvent.h"
#include "tests/support/LockHolder.h"
#include "tests/support/TestUser.h"
#include "tests/support/TestWorld.h"

using brevant::platform::NamedEvent;
using brevant::test::LockHolder;

// An event exists while a process holds it (a crashed holder leaves none
// behind); a signal from another process wakes the waiter once (auto
// reset) or until reset (manual).
TEST(NamedEvent, ExistsWhileHeldAndSignalsCrossProcesses) {
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
    EXPECT_TRUE(ev->Wait(0));
    EXPECT_TRUE(ev->Wait(0));  // manual reset stays signalled
    ev->Reset();
    EXPECT_FALSE(second->Wait(0));
  }
  EXPECT_FALSE(NamedEvent::Exists("FaxPrinter"));
  EXPECT_EQ(NamedEvent::Open("FaxPrinter"), nullptr);

  auto ev = NamedEvent::Create("VestrelSpool", false, false);
  ASSERT_TRUE(ev);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(ev->Wait(50));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(45));
  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  pid_t kid = fork();
  if (kid == 0) {
    auto held = NamedEvent::Create("QuorPause", false, false);
    auto other = NamedEvent::Open("VestrelSpool");
    char c = 1;
    (void)!write(pipefd[1], &c, 1);
    if (other) other->Set();
    pause();  // killed below, holding QuorPause
    _exit(0);
  }
  EXPECT_TRUE(ev->Wait(5000));
  char c;
  ASSERT_EQ(read(pipefd[0], &c, 1), 1);
  EXPECT_FALSE(ev->Wait(20));  // auto-reset: the signal was consumed
  EXPECT_TRUE(NamedEvent::Exists("QuorPause"));
  kill(kid, SIGKILL);
  waitpid(kid, nullptr, 0);
  EXPECT_FALSE(NamedEvent::Exists("QuorPause"));
}

namespace {

std::string g_reports;
void Collect(const std::string& text, const std::string& source) {
  g_reports += source + ": " + text + "\n";
}

std::string ModeAndText(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "missing";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
  return std::string(mode) + " " + brevant::test::TestWorld::ReadFile(path);
}

}  // namespace

// What the old shared folder (mode 1777) let any user do to another: plant
// symlinks that the events followed (truncating and chmod-ing the victim's
// files to 0666) and hold a lock that hung the victim's Brevant. Now a
// folder others may write or own is refused, a symlink is never followed,
// and no lock is waited for without end.
TEST(NamedEvent, AnotherUserCanNeitherPlantFilesNorHoldTheEvents) {
  brevant::test::TestWorld w;
  brevant::test::TestUser victim("v"), attacker("a");
  ASSERT_EQ(victim.Problem() + attacker.Problem(), "");
  ASSERT_EQ(victim.Sh("umask 077; printf keep > secret.txt; printf mine > own.txt"), 0);
  const std::string secret = victim.Home() + "/secret.txt", own = victim.Home() + "/own.txt";
  ASSERT_EQ(ModeAndText(secret), "0600 keep");

  // A folder shared by everybody, as /run/brevant was, with the attacker's
  // symlinks and a lock the attacker holds.
  const std::string shared = "/tmp/" + attacker.Name() + "-shared";
  ASSERT_EQ(::mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  ASSERT_EQ(attacker.Sh("ln -s " + secret + " " + shared + "/FaxPrinter.event && ln -s " + secret + " " +
                        shared + "/FaxPrinter.sig"),
            0);
  LockHolder holder(shared + "/QuorPause.event", attacker.Uid(), attacker.Gid());
  ASSERT_TRUE(holder.held);
  auto inShared = [&] {
    NamedEvent::SetReporter(&Collect);
    ::setenv("BREVANT_RUNTIME_DIR", shared.c_str(), 1);
    auto t0 = std::chrono::steady_clock::now();
    bool none = !NamedEvent::Create("FaxPrinter", true, true) &&
                !NamedEvent::Create("QuorPause", false, true) && !NamedEvent::Exists("QuorPause");
    bool quick = std::chrono::steady_clock::now() - t0 < std::chrono::seconds(1);
    bool told =
        g_reports.find("NamedEvent.Create: the named events folder is refused: " + shared +
                       " (owner uid 0, mode 1777) may be changed by other users") != std::string::npos;
    return none && quick && told ? 0 : 1;
  };
  EXPECT_EQ(victim.Run(inShared), 0);
  EXPECT_EQ(ModeAndText(secret), "0600 keep");

  // Outside a session the folder is /tmp/brevant-<uid>; one the attacker
  // made first is not the victim's and is refused the same way.
  const std::string fallback = "/tmp/brevant-" + std::to_string(victim.Uid());
  ASSERT_EQ(
      attacker.Sh("mkdir -m 0755 " + fallback + " && ln -s " + secret + " " + fallback + "/FaxPrinter.sig"),
      0);
  auto outsideSession = [&] {
    NamedEvent::SetReporter(&Collect);
    ::unsetenv("BREVANT_RUNTIME_DIR");
    ::unsetenv("XDG_RUNTIME_DIR");
    bool none = NamedEvent::RuntimeDir() == fallback && !NamedEvent::Create("FaxPrinter", true, true);
    bool told = g_reports.find("does not belong to uid " + std::to_string(::getuid())) != std::string::npos;
    return none && told ? 0 : 1;
  };
  EXPECT_EQ(victim.Run(outsideSession), 0);
  EXPECT_EQ(ModeAndText(secret), "0600 keep");
  std::filesystem::remove_all(fallback);
  std::filesystem::remove_all(shared);

  // The victim's own folder is made private, its files are the victim's
  // alone, and even there a symlink in place of an event file is refused.
  const std::string mine = victim.Home() + "/run/brevant";
  auto ownFolder = [&] {
    NamedEvent::SetReporter(&Collect);
    ::setenv("BREVANT_RUNTIME_DIR", mine.c_str(), 1);
    auto ev = NamedEvent::Create("VestrelSpool", false, false);
    if (!ev || !NamedEvent::Exists("VestrelSpool")) return 1;
    if (::symlink(own.c_str(), (mine + "/QuorStop.sig").c_str()) != 0) return 2;
    if (NamedEvent::Create("QuorStop", false, true)) return 3;
    return g_reports.find("QuorStop.sig is a symbolic link") != std::string::npos ? 0 : 4;
  };
  EXPECT_EQ(victim.Run(ownFolder), 0);
  EXPECT_EQ(ModeAndText(mine).substr(0, 4), "0700");
  EXPECT_EQ(ModeAndText(mine + "/VestrelSpool.event"), "0600 ");
  EXPECT_EQ(ModeAndText(own), "0600 mine");
  struct stat st {};
  ASSERT_EQ(::stat((mine + "/VestrelSpool.sig").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, victim.Uid());

  // A process that keeps an event's lock is waited for two seconds, not
  // for ever.
  {
    LockHolder same(w.RuntimeDir() + "/QuorStop.event");
    ASSERT_TRUE(same.held);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(NamedEvent::Create("QuorStop", false, true), nullptr);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(NamedEvent::kLockTimeoutMs - 100));
    EXPECT_LT(waited, std::chrono::milliseconds(NamedEvent::kLockTimeoutMs + 1500));
  }
  EXPECT_NE(NamedEvent::Create("QuorStop", false, true), nullptr);
}
