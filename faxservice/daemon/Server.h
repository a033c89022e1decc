#pragma once
// The service's socket: every local user may connect (that is how faxes
// are submitted), and each connection is served on a thread of its own as
// the user the kernel says is at the other end. Limits keep one user from
// holding the service: at most kMaxPerUser connections per user (and
// kMaxClients in all), a connection idle for the idle time (a minute,
// faxsvc::kIdleTimeoutMs, unless the service is told otherwise) is closed,
// a request must arrive whole within 30 s of its first byte, and a reply
// the client does not take within 10 s ends the connection.
#include <signal.h>
#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "faxservice/daemon/Access.h"
#include "faxservice/daemon/Requests.h"
#include "platform/fs/Files.h"

namespace brevant::faxd {

constexpr int kMaxClients = 256;
constexpr int kMaxPerUser = 16;
// Requests never carry more fields than this; a longer list is refused
// before it is looked at.
constexpr std::size_t kMaxRequestFields = 256;

class Server {
 public:
  using Handler = std::function<Reply(const Caller&, const faxsvc::Message&, int documentFd)>;
  Server(std::string socketPath, std::string adminGroup, long idleTimeoutMs, Handler handler)
      : path_(std::move(socketPath)),
        adminGroup_(std::move(adminGroup)),
        idleTimeoutMs_(idleTimeoutMs),
        handler_(std::move(handler)) {}
  ~Server();

  // Listens on the socket (its folder is made when missing and checked:
  // nobody but root and the service may change it); false with *why, also
  // when another service already answers there.
  bool Listen(std::string* why);
  // Accepts clients until Stop; then closes every connection and waits for
  // their threads.
  void Serve();
  // Safe from a signal handler.
  void Stop();

 private:
  void Client(int fd, Caller caller);

  std::string path_, adminGroup_;
  long idleTimeoutMs_;
  Handler handler_;
  platform::UniqueFd listen_;
  platform::UniqueFd wake_[2];  // Stop writes to [1], Serve polls [0]
  volatile sig_atomic_t stopping_ = 0;
  std::mutex mu_;
  std::condition_variable done_;
  std::set<int> clients_;
  std::map<uid_t, int> perUser_;
};

}  // namespace brevant::faxd
