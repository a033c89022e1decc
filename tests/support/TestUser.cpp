#include "tests/support/TestUser.h"

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/support/TestWorld.h"

namespace brevant::test {
namespace {

int Shell(const std::string& command) {
  int st = std::system(command.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

int g_serial = 0;

// In a child: groups, group and user of the test user, for good.
bool Become(const std::string& name, gid_t gid, uid_t uid) {
  return ::initgroups(name.c_str(), gid) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0 &&
         ::getuid() == uid;
}

}  // namespace

TestUser::TestUser(const std::string& tag) {
  if (::geteuid() != 0) {
    problem_ = "making a user for the test needs root";
    return;
  }
  name_ = "bt" + std::to_string(::getpid()) + "_" + std::to_string(++g_serial) + tag;
  if (name_.size() > 31) name_.resize(31);
  home_ = "/tmp/" + name_;
  // Parallel tests may hold the user database's lock for a moment.
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (Shell("useradd -m -d " + home_ + " -s /bin/sh -K UMASK=022 " + name_ + " 2>/dev/null") == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  const passwd* pw = ::getpwnam(name_.c_str());
  if (!pw) {
    problem_ = "useradd " + name_ + " failed";
    name_.clear();
    return;
  }
  uid_ = pw->pw_uid;
  gid_ = pw->pw_gid;
  // A user of an earlier run with the same uid may have left one.
  std::error_code ec;
  std::filesystem::remove_all("/tmp/brevant-" + std::to_string(uid_), ec);
}

TestUser::~TestUser() {
  if (name_.empty()) return;
  // The named events folder its processes made outside a session.
  std::error_code ec;
  std::filesystem::remove_all("/tmp/brevant-" + std::to_string(uid_), ec);
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (Shell("userdel -r -f " + name_ + " 2>/dev/null") == 0 || !::getpwnam(name_.c_str())) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

int TestUser::Run(const std::function<int()>& f) const {
  if (name_.empty()) return -1;
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    if (!Become(name_, gid_, uid_)) ::_exit(255);
    ::setenv("HOME", home_.c_str(), 1);
    ::setenv("USER", name_.c_str(), 1);
    ::setenv("LOGNAME", name_.c_str(), 1);
    int rc = f();
    std::fflush(nullptr);
    ::_exit(rc & 0xFF);
  }
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0) continue;
  if (!WIFEXITED(st) || WEXITSTATUS(st) == 255) return -1;
  return WEXITSTATUS(st);
}

int TestUser::Sh(const std::string& command, std::string* output) const {
  std::string out = "/tmp/" + name_ + ".out";
  std::string quoted;
  for (char c : command) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  int rc = Shell("cd " + home_ + " && runuser -u " + name_ + " -- sh -c '" + quoted + "' >" + out +
                 " 2>&1 </dev/null");
  if (output) *output = TestWorld::ReadFile(out);
  ::unlink(out.c_str());
  return rc;
}

TestUser::Child TestUser::Start(const std::function<std::string()>& body) const {
  int out[2];
  if (!Made() || ::pipe(out) != 0) return {};
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(out[0]);
    if (!Become(name_, gid_, uid_) || ::chdir("/") != 0) ::_exit(126);
    std::string result = body();
    for (std::size_t done = 0; done < result.size();) {
      ssize_t w = ::write(out[1], result.data() + done, result.size() - done);
      if (w <= 0) break;
      done += static_cast<std::size_t>(w);
    }
    ::_exit(0);
  }
  ::close(out[1]);
  return {pid, out[0]};
}

std::string TestUser::Finish(Child child) {
  if (child.pid <= 0) return "<no user>";
  std::string result;
  char buf[4096];
  for (ssize_t n; (n = ::read(child.out, buf, sizeof buf)) > 0;)
    result.append(buf, static_cast<std::size_t>(n));
  ::close(child.out);
  int st = 0;
  ::waitpid(child.pid, &st, 0);
  if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) return "<child failed " + std::to_string(st) + ">" + result;
  return result;
}

}  // namespace brevant::test
