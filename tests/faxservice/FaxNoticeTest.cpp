// A fax that fails is told on the desktop of the user who sent it, by the
// print agent of that user's session; the root daemon shows nothing itself.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "faxservice/client/FaxService.h"
#include "tests/faxservice/FaxTestSupport.h"

namespace brevant {
namespace {

namespace fs = std::filesystem;
using faxsvc::Message;
using test::FaxDaemon;
using test::TestUser;
using test::TestWorld;
using test::UserHome;

// The user's desktop session: a session bus, a notification service that
// records what it shows, and the autostarted agent.
class Desktop {
 public:
  Desktop(const TestUser& user, const std::string& parent, const std::string& socket)
      : home_(user, parent, socket) {
    std::string bin = test::BinDir();
    session_ = home_.Start("exec dbus-run-session -- sh -c '" + bin + "/notice-listener " + Notices() +
                           " & exec " + bin + "/brevant-printagent --brevant /bin/false --spool " +
                           home_.Path() + "/spool/ 2>" + AgentLog() + "'");
  }
  ~Desktop() { UserHome::Stop(session_); }
  std::string Notices() const { return home_.Path() + "/notices"; }
  std::string AgentLog() const { return home_.Path() + "/agent.err"; }
  bool Ready() const {
    return test::WaitFor(
        [&] {
          return fs::exists(Notices()) &&
                 TestWorld::ReadFile(AgentLog()).find("telling this desktop") != std::string::npos;
        },
        20);
  }
  std::string Told(std::size_t lines) const {
    test::WaitFor(
        [&] {
          std::string t = TestWorld::ReadFile(Notices());
          return static_cast<std::size_t>(std::count(t.begin(), t.end(), '\n')) >= lines;
        },
        20);
    return TestWorld::ReadFile(Notices());
  }

 private:
  UserHome home_;
  TestUser::Child session_;
};

using FaxNotices = test::FaxUsers;

TEST_F(FaxNotices, AFailedFaxIsToldOnTheDesktopOfItsSenderOnly) {
  // A notify-send on the daemon's way, which it must not call. Boss, an
  // administrator who sees every fax, is still told of his own only.
  std::string bin = world.Root() + "/bin", daemonTold = world.Root() + "/daemon-notices";
  TestWorld::WriteFile(bin + "/notify-send", "#!/bin/sh\necho \"$*\" >> " + daemonTold + "\n");
  fs::permissions(bin + "/notify-send", fs::perms::owner_all);
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  ::setenv("PATH", (bin + ":" + path).c_str(), 1);
  bool started = daemon.Start();
  ::setenv("PATH", path.c_str(), 1);
  ASSERT_TRUE(started);

  Desktop aliceDesktop(alice, shared.Path(), daemon.Socket());
  std::optional<Desktop> bossDesktop(std::in_place, boss, shared.Path(), daemon.Socket());
  ASSERT_TRUE(aliceDesktop.Ready()) << TestWorld::ReadFile(aliceDesktop.AgentLog());
  ASSERT_TRUE(bossDesktop->Ready()) << TestWorld::ReadFile(bossDesktop->AgentLog());

  std::string fax = shared.Path() + "/fax.tif";
  test::MakeFaxTiff(fax, 1);
  ::chmod(fax.c_str(), 0644);
  // A fax whose `busy` calls all find the line busy fails; an archive
  // folder others may write leaves one sent but not archived.
  auto send = [&](const TestUser& user, const std::string& number, int busy) {
    daemon.Call(Message("line_set")
                    .Set("busy_count", busy)
                    .Set("retries", busy > 0 ? busy - 1 : 0)
                    .Set("retry_interval", "0"));
    Message reply = As(user, Message("submit").Set("file", fax).Set("number", number));
    EXPECT_EQ(reply.Get("ok"), "1") << reply.Get("error");
    EXPECT_TRUE(
        daemon.WaitJob(reply.Get("id"), busy ? faxsvc::kJobRetriesExceeded : faxsvc::kJobCompleted, 20))
        << number;
  };
  send(boss, "555 0190", 1);
  send(alice, "555 0170", 2);  // told once, when no attempt is left
  std::string open = shared.Path() + "/open-archive";
  ::mkdir(open.c_str(), 0755);
  ::chmod(open.c_str(), 01777);
  faxsvc::RegisterFaxFolder(false, open);
  send(alice, "555 0171", 0);
  faxsvc::RegisterFaxFolder(false, daemon.ArchiveDir());
  send(boss, "555 0191", 1);

  // Told in order: another user's fax, sent in between, would show before
  // the last own one.
  std::string toldAlice = aliceDesktop.Told(2), toldBoss = bossDesktop->Told(2);
  EXPECT_EQ(toldAlice.substr(0, toldAlice.find('\n') + 1),
            "Pelorin Fax|Fax failed|Fax to 555 0170 failed: The line is busy\n")
      << toldAlice;
  EXPECT_NE(toldAlice.find("\nPelorin Fax|Fax not archived|Fax to 555 0171 was sent but not archived: "),
            std::string::npos)
      << toldAlice;
  EXPECT_NE(toldAlice.find("may be written by other users"), std::string::npos) << toldAlice;
  EXPECT_EQ(std::count(toldAlice.begin(), toldAlice.end(), '\n'), 2) << toldAlice;
  EXPECT_EQ(toldBoss,
            "Pelorin Fax|Fax failed|Fax to 555 0190 failed: The line is busy\n"
            "Pelorin Fax|Fax failed|Fax to 555 0191 failed: The line is busy\n");
  EXPECT_FALSE(fs::exists(daemonTold)) << TestWorld::ReadFile(daemonTold);

  // One that fails while Boss is logged out is told at his next login.
  bossDesktop.reset();
  send(boss, "555 0192", 1);
  bossDesktop.emplace(boss, shared.Path(), daemon.Socket());
  EXPECT_EQ(bossDesktop->Told(3),
            toldBoss + "Pelorin Fax|Fax failed|Fax to 555 0192 failed: The line is busy\n")
      << TestWorld::ReadFile(bossDesktop->AgentLog());
}

}  // namespace
}  // namespace brevant
