#pragma once
// A private brevant-faxd for one test: started from the build tree with its
// own state folder and socket (inside the test's world, or in a folder
// other users can reach), stopped or killed at will; helpers to make fax
// TIFFs and wait for jobs; and unprivileged users of the machine, made for
// one test, to run clients as.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/faxservice/FaxTiff.h"
#include "platform/faxservice/Protocol.h"
#include "tests/support/TestUser.h"
#include "tests/support/TestWorld.h"

namespace brevant::test {

class FaxDaemon {
 public:
  // socketDir: the socket's folder ("" for the world's runtime folder).
  explicit FaxDaemon(const TestWorld& world, std::string socketDir = "");
  ~FaxDaemon();  // stops the daemon when still running
  // Options for the next Start.
  void SetAdminGroup(const std::string& group) { adminGroup_ = group; }
  void SetIdleTimeout(int seconds) { idleTimeout_ = seconds; }
  // Starts it and waits until it answers; false when it did not come up.
  bool Start();
  // From the next Start on, the daemon's stderr goes to a file of the world
  // (kept over restarts) instead of the test's, and Stderr reads it.
  void CaptureStderr() { capture_ = true; }
  std::string Stderr() const;
  void Stop();  // SIGTERM and wait
  void Kill();  // SIGKILL, as a crash or a power cut would
  // Waits for a daemon that ends by itself; true when it ended.
  bool WaitForExit(double seconds);
  bool Running() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  const std::string& StateDir() const { return state_; }
  const std::string& Socket() const { return socket_; }
  // One request on a fresh connection, as the client library makes it: a
  // "file" field names the document, which is opened here and handed over
  // (the service gets its name as "document"). The reply (ok=0 replies
  // too).
  faxsvc::Message Call(const faxsvc::Message& request) const;
  // Exactly the request given, with a descriptor attached when passFd >= 0.
  faxsvc::Message Raw(const faxsvc::Message& request, int passFd = -1) const;
  // The job's record, and waiting (up to `seconds`) until it has `status`.
  faxsvc::Message Job(const std::string& id) const;
  bool WaitJob(const std::string& id, long long status, double seconds = 30) const;
  // The service's list of the sent ("out") or received ("in") archive.
  faxsvc::Message Archive(const std::string& folder) const;
  // Registry values naming the received store and the sent archive.
  std::string StoreDir() const { return store_; }
  std::string ArchiveDir() const { return archive_; }

 private:
  void End(int signal);
  std::string state_, socket_, store_, archive_, stderr_, adminGroup_;
  int idleTimeout_ = 0;
  pid_t pid_ = -1;
  bool capture_ = false;
};

// A folder of the user's own inside a folder every user may reach, set up
// as the user's environment for Brevant's programs: registry hives,
// program, runtime and temporary folders, unattended, and the fax service
// at `socket`. Commands run there as the user through the shell.
class UserHome {
 public:
  UserHome(const TestUser& user, const std::string& parent, std::string socket);
  const std::string& Path() const { return path_; }
  // Runs the command as the user; what it wrote (stdout and stderr).
  std::string Run(const std::string& command) const;
  // Starts the command as the user in a process group of its own, which
  // Stop ends (SIGTERM to the group) and waits for.
  TestUser::Child Start(const std::string& command) const;
  static void Stop(TestUser::Child child);

 private:
  void Enter() const;  // in the user's process: the environment
  const TestUser& user_;
  std::string path_, socket_;
};

// A group made for one test (groupadd), with members added by usermod.
class TestGroup {
 public:
  TestGroup();
  ~TestGroup();
  const std::string& Name() const { return name_; }
  bool Add(const TestUser& user);

 private:
  std::string name_;
};

// A folder every user may enter and read (mode 0755), outside the world's
// private root, removed at the end: for sockets and documents of test users.
class SharedDir {
 public:
  SharedDir();
  ~SharedDir();
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Users of the machine made for one test, as the fax service meets them:
// alice and bob, ordinary users, and boss, in the administrators' group of
// the test's daemon, which serves on a socket in a folder all of them
// reach (started by the test). Skipped without root.
class FaxUsers : public ::testing::Test {
 protected:
  void SetUp() override;
  // A request made by the user's own process (a "file" field is opened
  // there, with the user's rights, and handed over).
  faxsvc::Message As(const TestUser& u, const faxsvc::Message& request) const;

  TestWorld world;
  SharedDir shared;
  TestUser alice, bob, boss;
  TestGroup admins;
  FaxDaemon daemon{world, shared.Path()};
};

// A fax TIFF with `pages` pages, each with its own pattern of black bars
// and blocks (so a page swap or a lost page shows as a difference).
std::string MakeFaxTiff(const std::string& path, int pages);
std::vector<faxsvc::FaxPage> ReadPages(const std::string& path);

// Polls until pred is true or the time is up; returns pred's last value.
bool WaitFor(const std::function<bool()>& pred, double seconds);

// Sets the Windows version record the XP check reads ("5.1" XP, "5.0"
// Windows 2000).
void SetWindowsVersion(const std::string& version);

}  // namespace brevant::test
