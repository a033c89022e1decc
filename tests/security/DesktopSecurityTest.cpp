// The desktop programs as hostile local users meet them: an attacker who
// shares /tmp and the loopback ports with a victim must get neither the
// victim's files, nor the fax server password, nor the victim's settings.
// Every program runs as a real user made for the test.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "faxservice/protocol/FaxTiff.h"
#include "tests/faxservice/FaxTestSupport.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestWorld.h"

namespace fs = std::filesystem;
namespace faxsvc = brevant::faxsvc;
using brevant::test::BinDir;
using brevant::test::TestUser;
using brevant::test::TestWorld;

namespace {

std::string ModeOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return "missing";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777u);
  return mode;
}

// A fake hfaxd on a listening socket: greets, asks for the password and
// takes whatever comes; what it was sent, line by line.
std::string FakeServer(int listener) {
  pollfd p{listener, POLLIN, 0};
  if (::poll(&p, 1, 20000) <= 0) return "<nobody came>";
  int fd = ::accept(listener, nullptr, nullptr);
  std::string got, line;
  auto say = [fd](const char* reply) { return ::send(fd, reply, std::strlen(reply), MSG_NOSIGNAL) > 0; };
  say("220 fax server ready\r\n");
  char c;
  while (::recv(fd, &c, 1, 0) == 1) {
    if (c != '\n') {
      if (c != '\r') line += c;
      continue;
    }
    got += line + "\n";
    if (!say(line.rfind("USER", 0) == 0 ? "331 password\r\n" : "230 fine\r\n")) break;
    line.clear();
  }
  ::close(fd);
  return got;
}

class Desktop : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(victim.Problem() + attacker.Problem(), "");
    // The /tmp both users share: sticky, everybody's.
    ASSERT_EQ(::chmod(world.TempDir().c_str(), 01777) | ::chmod(world.Root().c_str(), 0755), 0);
    ASSERT_EQ(
        victim.Sh(
            "umask 077 && printf precious > precious.txt && mkdir docs && printf mine > docs/letter.txt"),
        0);
  }
  // A command line as the victim outside a desktop session (no runtime
  // folder), TMPDIR the shared folder; its output.
  std::string AsVictim(const std::string& command) {
    return home.Run("unset XDG_RUNTIME_DIR BREVANT_RUNTIME_DIR; export TMPDIR=" + world.TempDir() + " PATH=" +
                    BinDir() + ":$PATH BREVANT_QUORRENDER=" + BinDir() + "/quorrender; " + command);
  }
  std::string Errors() { return TestWorld::ReadFile(home.Path() + "/prog/Errors.log"); }

  TestWorld world;
  TestUser victim{"v"}, attacker{"a"};
  brevant::test::UserHome home{victim, victim.Home(), victim.Home() + "/no-fax-service"};
};

// A received fax's station id names its temporary copy; the attacker left
// links at every name the import used in /tmp, and in the folder the victim
// would use outside a session, made first.
TEST_F(Desktop, ImportWritesNoTemporaryFileThroughAnotherUsersLinks) {
  const std::string precious = victim.Home() + "/precious.txt", docs = victim.Home() + "/docs";
  const std::string planted = "/tmp/brevant-" + std::to_string(victim.Uid());
  for (const std::string& dir : {world.TempDir(), planted + "/tmp"})
    ASSERT_EQ(
        attacker.Sh("mkdir -p -m 0777 '" + dir + "' && cd '" + dir + "' && ln -s " + precious +
                    " 'Brevant Fax.tiff' && ln -s " + docs + " Quortmp && ln -s " + precious + " Fax.Cov"),
        0);
  ASSERT_EQ(::chmod(planted.c_str(), 0777), 0);
  // A fax the service received from a station that calls itself "Brevant Fax".
  const std::string fax = world.Root() + "/in.tif", store = home.Path() + "/faxes";
  std::string why;
  ASSERT_TRUE(faxsvc::WriteFaxTiff(fax, {faxsvc::BlankPage()}, "CSID=Brevant Fax\nTSID=+1 555 0100", &why))
      << why;
  ASSERT_EQ(::chmod(fax.c_str(), 0644), 0);
  std::string out =
      AsVictim("mkdir -p " + store + " && cp " + fax + " " + store +
               "/rcv0001.tif && brevant-reg add "
               "'HKLM\\Software\\Microsoft\\Fax\\Setup\\Original Setup Data' -v 'Store Directory' -d " +
               store + " >/dev/null && brevant import");
  EXPECT_NE(out.find("Import from Fax Console has been successful."), std::string::npos) << out;
  EXPECT_EQ(TestWorld::ReadFile(precious), "precious");
  EXPECT_EQ(TestWorld::ReadFile(docs + "/letter.txt"), "mine");
  // Filed, with the copy under its station id's name.
  std::string filed;
  std::error_code ec;
  for (const char* sub : {"/Maildir/new", "/Maildir/cur"})
    for (const auto& e : fs::directory_iterator(home.Path() + sub, ec))
      filed += TestWorld::ReadFile(e.path());
  EXPECT_NE(filed.find("Brevant Fax.tiff"), std::string::npos);
  EXPECT_NE(Errors().find("the temporary folder " + planted + "/tmp is refused"), std::string::npos)
      << Errors();
  // The run's own folder went with it.
  for (const auto& e : fs::directory_iterator(world.TempDir()))
    EXPECT_NE(fs::path(e.path()).filename().string().rfind("brevant-", 0), 0u) << e.path();
}

// hfaxd not running: the attacker listens on its port on the loopback, and
// the victim's Brevant sends nothing to it. (Logging in where hfaxd, as
// root, listens: tests/modem/HylaFaxServiceTest.)
TEST_F(Desktop, TheFaxServerPasswordGoesOnlyToHylaFaxOnThisComputer) {
  const std::string portFile = world.TempDir() + "/attacker-port";
  TestUser::Child listening = attacker.Start([&] {
    int port = 0, fd = brevant::test::ListenLoopback(&port);
    TestWorld::WriteFile(portFile, std::to_string(port));
    return FakeServer(fd);
  });
  for (int i = 0; i < 500 && TestWorld::ReadFile(portFile).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::string settings;
  for (const std::string& value :
       std::vector<std::string>{"Service -d HylaFAX", "Server -d localhost", "Password -d v-secret",
                                "Port -t REG_DWORD -d " + TestWorld::ReadFile(portFile)})
    settings += "brevant-reg add 'HKCU\\Software\\Norvane\\Pelorin\\FaxServer' -v " + value + " && ";
  AsVictim(settings + "brevant pause");
  EXPECT_EQ(TestUser::Finish(listening), "") << "the attacker was sent something";
  EXPECT_NE(Errors().find("is not HylaFAX: the port is held by the user " + attacker.Name()),
            std::string::npos)
      << Errors();
}

// The victim's registry store is the victim's alone; passwords are never
// kept in the machine's, which every user reads.
TEST_F(Desktop, TheUsersStoreIsPrivateAndTheMachinesHoldsNoPassword) {
  const std::string key = "'HKCU\\Software\\Norvane\\Pelorin'",
                    mine = home.Path() + "/.config/brevant/registry";
  AsVictim("unset BREVANT_REGISTRY_DIR; brevant-reg add " + key + " -v ForwardEmail -d boss@example.org");
  EXPECT_EQ(ModeOf(mine) + " " + ModeOf(mine + "/HKEY_CURRENT_USER.db"), "0700 0600");
  // A store an earlier version left readable is made private when opened.
  ASSERT_EQ(::chmod(mine.c_str(), 0755) | ::chmod((mine + "/HKEY_CURRENT_USER.db").c_str(), 0644), 0);
  EXPECT_NE(AsVictim("unset BREVANT_REGISTRY_DIR; brevant-reg query " + key).find("boss@example.org"),
            std::string::npos);
  EXPECT_EQ(ModeOf(mine) + " " + ModeOf(mine + "/HKEY_CURRENT_USER.db"), "0700 0600");

  // The machine's store, which every user may read, refuses a password (the
  // registry tests); one an earlier version kept there goes at the next
  // change.
  const std::string machine = "'HKLM\\Software\\Norvane\\Pelorin\\FaxServer' -v Server -d fax.lan";
  ASSERT_EQ(world.RunTool("brevant-reg", "add " + machine).exitCode, 0);
  ASSERT_EQ(std::system(("sqlite3 " + world.RegistryDir() +
                         "/HKEY_LOCAL_MACHINE.db \"INSERT INTO vals VALUES("
                         "'Software\\Norvane\\Pelorin\\FaxServer','AdminPassword',1,'old-secret')\"")
                            .c_str()),
            0);
  ASSERT_EQ(world.RunTool("brevant-reg", "add " + machine).exitCode, 0);
  std::string files;
  for (const auto& e : fs::directory_iterator(world.RegistryDir())) files += TestWorld::ReadFile(e.path());
  EXPECT_EQ(files.find("old-secret"), std::string::npos);
}

}  // namespace
