#pragma once
// An unprivileged local user made for one test (useradd, with a home
// folder of its own under /tmp) and removed with its home (and the named
// events folder its processes made outside a session, /tmp/brevant-UID)
// when the test ends. Hostile cases run code and programs as such users.
// Needs root.
#include <sys/types.h>

#include <functional>
#include <string>

namespace brevant::test {

class TestUser {
 public:
  // tag goes into the unique name ("bt<pid>_<n><tag>").
  explicit TestUser(const std::string& tag = "");
  ~TestUser();
  TestUser(const TestUser&) = delete;
  TestUser& operator=(const TestUser&) = delete;

  // Empty when the user exists; else why not (no root, useradd failed).
  const std::string& Problem() const { return problem_; }
  bool Made() const { return !name_.empty(); }
  const std::string& Name() const { return name_; }
  uid_t Uid() const { return uid_; }
  gid_t Gid() const { return gid_; }
  const std::string& Home() const { return home_; }

  // Runs f in a child process that has become this user (groups, group and
  // user set; HOME and USER point at the user); returns f's result, or -1
  // when the child could not become the user or died.
  int Run(const std::function<int()>& f) const;
  // Runs a shell command line as this user in their home folder; returns
  // its exit code, and its output (stdout and stderr) when asked.
  int Sh(const std::string& command, std::string* output = nullptr) const;
  // Runs body in a child process that is this user for good (groups, gid
  // and uid dropped before body runs, working folder "/"); Finish returns
  // what body returned. Start it while no other thread of the test runs (a
  // child of a process with threads may inherit a lock one of them held).
  struct Child {
    pid_t pid = -1;
    int out = -1;
  };
  Child Start(const std::function<std::string()>& body) const;
  static std::string Finish(Child child);
  std::string Run(const std::function<std::string()>& body) const { return Finish(Start(body)); }

 private:
  std::string name_, home_, problem_;
  uid_t uid_ = uid_t(-1);
  gid_t gid_ = gid_t(-1);
};

}  // namespace brevant::test
