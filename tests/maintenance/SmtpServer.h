#pragma once
// A real SMTP server for the tests: Debian's aiosmtpd on a free port of
// 127.0.0.1, delivering into a Maildir that the test reads back.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestWorld.h"

namespace brevant::test {

inline int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

inline bool PortOpen(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

class SmtpServer {
 public:
  explicit SmtpServer(const std::string& maildir) : maildir_(maildir), port_(FreePort()) {
    pid_ = ::fork();
    if (pid_ == 0) {
      std::string listen = "127.0.0.1:" + std::to_string(port_);
      std::string log = maildir + ".out";
      freopen(log.c_str(), "w", stdout);
      freopen(log.c_str(), "a", stderr);
      ::execl("/usr/bin/python3", "python3", "-m", "aiosmtpd", "-n", "-l", listen.c_str(), "-c",
              "aiosmtpd.handlers.Mailbox", maildir.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 300 && !PortOpen(port_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ~SmtpServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool Ready() const { return PortOpen(port_); }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

  // The delivered messages, oldest first; waits up to 5 s for count of them.
  std::vector<std::string> Messages(size_t count = 1) const {
    std::vector<std::string> out;
    for (int t = 0; t < 250; ++t) {
      out.clear();
      std::vector<std::string> names;
      if (DIR* d = ::opendir((maildir_ + "/new").c_str())) {
        while (dirent* e = ::readdir(d)) {
          if (e->d_name[0] != '.') names.push_back(e->d_name);
        }
        ::closedir(d);
      }
      std::sort(names.begin(), names.end());
      for (const auto& n : names) out.push_back(TestWorld::ReadFile(maildir_ + "/new/" + n));
      if (out.size() >= count) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return out;
  }

 private:
  std::string maildir_;
  int port_;
  pid_t pid_ = -1;
};

}  // namespace brevant::test
