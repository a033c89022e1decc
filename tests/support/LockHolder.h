#pragma once
// Another process (of `uid`, by default the test's own) holding an exclusive
// flock on a file until the holder is destroyed: a stuck program keeping a
// log or a named event's lock.
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace brevant::test {

struct LockHolder {
  explicit LockHolder(const std::string& path, uid_t uid = ::getuid(), gid_t gid = ::getgid()) {
    int ready[2];
    if (::pipe(hold) != 0 || ::pipe(ready) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::close(hold[1]);
      if (uid != ::geteuid() && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
        ::_exit(1);
      int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
      if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(2);
      char c = 1;
      (void)!::write(ready[1], &c, 1);
      (void)!::read(hold[0], &c, 1);  // until the holder lets go
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    char c = 0;
    held = ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
  }
  ~LockHolder() {
    ::close(hold[1]);
    ::waitpid(pid, nullptr, 0);
  }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  int hold[2] = {-1, -1};
  pid_t pid = -1;
  bool held = false;
};

}  // namespace brevant::test
