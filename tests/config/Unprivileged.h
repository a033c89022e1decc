#pragma once
// Runs a block with the permissions of an ordinary user. The tests run as
// root, which may write anywhere; to see what a user meets with a folder he
// may not write, the effective user becomes "nobody" for the block. Without
// root nothing changes (the caller's own permissions already apply).
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace brevant::test {

class Unprivileged {
 public:
  Unprivileged() {
    if (::geteuid() == 0) active_ = ::setegid(65534) == 0 && ::seteuid(65534) == 0;
  }
  ~Unprivileged() {
    if (active_) {
      (void)::seteuid(0);
      (void)::setegid(0);
    }
  }
  Unprivileged(const Unprivileged&) = delete;
  Unprivileged& operator=(const Unprivileged&) = delete;

 private:
  bool active_ = false;
};

// Lets an ordinary user reach the folder (and write in it when writable).
inline void OpenFolder(const std::string& dir, bool writable) {
  ::chmod(dir.c_str(), writable ? 0777 : 0555);
}

}  // namespace brevant::test
