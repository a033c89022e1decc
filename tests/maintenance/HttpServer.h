#pragma once
// A tiny HTTP server on 127.0.0.1 for the update check's tests: answers each
// request with a fixed status and body, or stalls, and keeps the request
// lines it saw.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brevant::test {

class HttpServer {
 public:
  struct Reply {
    int status = 200;
    std::string body;
    std::string contentType = "text/plain";
    bool stall = false;  // accept, read the request and never answer
  };

  explicit HttpServer(Reply reply) : reply_(std::move(reply)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 8);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~HttpServer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  std::string Site() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> l(m_);
    return requests_;
  }

 private:
  void Serve() {
    for (char buf[4096]; !stop_;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      std::string req;
      for (pollfd q{c, POLLIN, 0}; req.find("\r\n\r\n") == std::string::npos && ::poll(&q, 1, 2000) > 0;) {
        ssize_t n = ::read(c, buf, sizeof buf);
        if (n <= 0) break;
        req.append(buf, static_cast<size_t>(n));
      }
      {
        std::lock_guard<std::mutex> l(m_);
        requests_.push_back(req.substr(0, req.find("\r\n")));
      }
      // A stalled reply holds the connection until the client or the test ends.
      for (pollfd q{c, POLLIN, 0}; reply_.stall && !stop_;)
        if (::poll(&q, 1, 50) > 0 && ::read(c, buf, sizeof buf) <= 0) break;
      std::string all = "HTTP/1.1 " + std::to_string(reply_.status) + " X\r\nContent-Type: " + reply_.contentType +
                        "\r\nContent-Length: " + std::to_string(reply_.body.size()) +
                        "\r\nConnection: close\r\n\r\n" + reply_.body;
      for (size_t off = 0; !reply_.stall && off < all.size() && !stop_;) {
        ssize_t n = ::send(c, all.data() + off, all.size() - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
      }
      ::close(c);
    }
  }

  Reply reply_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex m_;
  std::vector<std::string> requests_;
};

}  // namespace brevant::test
