#pragma once
// A private brevant-faxd for one test, fax TIFFs to send, and users of the
// machine made for one test to run clients as.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "faxservice/protocol/FaxTiff.h"
#include "faxservice/protocol/Protocol.h"
#include "tests/support/TestUser.h"
#include "tests/support/TestWorld.h"

namespace brevant::test {

class FaxDaemon {
 public:
  // socketDir: the socket's folder ("" for the world's runtime folder).
  explicit FaxDaemon(const TestWorld& world, std::string socketDir = "");
  ~FaxDaemon();  // stops the daemon when still running
  void SetAdminGroup(const std::string& group) { adminGroup_ = group; }
  void SetIdleTimeout(int seconds) { idleTimeout_ = seconds; }
  // Starts it and waits until it answers; false when it did not come up.
  bool Start();
  // From the next Start on, the daemon's stderr is kept for Stderr.
  void CaptureStderr() { capture_ = true; }
  std::string Stderr() const;
  void Stop();  // SIGTERM and wait
  void Kill();  // SIGKILL, as a crash or a power cut would
  // Waits for a daemon that ends by itself; true when it ended.
  bool WaitForExit(double seconds);
  pid_t Pid() const { return pid_; }
  const std::string& StateDir() const { return state_; }
  const std::string& Socket() const { return socket_; }
  // One request on a fresh connection, as the client library makes it: a
  // "file" field's document is opened here and handed over.
  faxsvc::Message Call(const faxsvc::Message& request) const;
  // Exactly the request given, with passFd attached when >= 0.
  faxsvc::Message Raw(const faxsvc::Message& request, int passFd = -1) const;
  faxsvc::Message Job(const std::string& id) const;
  bool WaitJob(const std::string& id, long long status, double seconds = 30) const;
  // Waits until line `device` has looked at the outgoing queue after every
  // request so far: a call (of `fax`) it does not answer at once is given
  // up (ring_timeout 0) in a round that goes on to the queue under the
  // service's lock. What shows a fax does not go waits for this.
  bool WaitForLineRound(const std::string& fax, const std::string& device = "1") const;
  // The sent ("out") or received ("in") archive's list.
  faxsvc::Message Archive(const std::string& folder) const;
  std::string StoreDir() const { return store_; }
  std::string ArchiveDir() const { return archive_; }

 private:
  void End(int signal);
  std::string state_, socket_, store_, archive_, stderr_, adminGroup_;
  int idleTimeout_ = 0;
  pid_t pid_ = -1;
  bool capture_ = false;
};

// The user's own folder inside `parent`, set up as the user's environment
// for Brevant's programs (hives, folders, the fax service at `socket`).
class UserHome {
 public:
  UserHome(const TestUser& user, const std::string& parent, std::string socket);
  const std::string& Path() const { return path_; }
  // Runs the shell command as the user; its stdout and stderr.
  std::string Run(const std::string& command) const;
  // Starts it in a process group of its own, which Stop ends.
  TestUser::Child Start(const std::string& command) const;
  static void Stop(TestUser::Child child);

 private:
  void Enter() const;  // in the user's process: the environment
  const TestUser& user_;
  std::string path_, socket_;
};

class TestGroup {
 public:
  TestGroup();
  ~TestGroup();
  const std::string& Name() const { return name_; }
  bool Add(const TestUser& user);

 private:
  std::string name_;
};

// A folder every user may enter (0755), outside the world, removed at the end.
class SharedDir {
 public:
  SharedDir();
  ~SharedDir();
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// alice and bob, ordinary users, and boss, a fax administrator, with a
// daemon (started by the test) on a socket all of them reach. Needs root.
class FaxUsers : public ::testing::Test {
 protected:
  void SetUp() override;
  // A request made by the user's own process (a "file" opened with its rights).
  faxsvc::Message As(const TestUser& u, const faxsvc::Message& request) const;

  TestWorld world;
  SharedDir shared;
  TestUser alice, bob, boss;
  TestGroup admins;
  FaxDaemon daemon{world, shared.Path()};
};

// A SIP line (user alice, password "not-for-reports") at a registrar that
// is not there: nothing answers on UDP port 9 here. And what calls would
// have left in the service's T.38 memory: 5552002 took T.38, 5553003 did
// not. The line's id once its status says the registration failed, ""
// when it never does.
std::string AddSipLineWithoutRegistrar(const FaxDaemon& daemon);

// A fax TIFF whose pages each have a pattern of their own (so a page swap
// or a lost page shows as a difference).
std::string MakeFaxTiff(const std::string& path, int pages);
std::vector<faxsvc::FaxPage> ReadPages(const std::string& path);

// The most memory the process has held (VmHWM), in kB; -1 when unknown.
long PeakMemoryKb(pid_t pid);

// Polls until pred is true or the time is up; pred's last value.
bool WaitFor(const std::function<bool()>& pred, double seconds);

// The Windows version the XP check reads ("5.1" XP, "5.0" the older edition).
void SetWindowsVersion(const std::string& version);

}  // namespace brevant::test
