#pragma once
// A tiny HTTP server on 127.0.0.1 for the update check's tests: answers each
// request with a fixed status and body, or stalls, and keeps the request
// lines it saw.
#include <poll.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Loopback.h"

namespace brevant::test {

class HttpServer {
 public:
  struct Reply {
    int status = 200;
    std::string body;
    std::string contentType = "text/plain";
    bool stall = false;  // accept, read the request and never answer
  };

  explicit HttpServer(Reply reply) : reply_(std::move(reply)), fd_(ListenLoopback(&port_)) {
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
  // Waits up to ms for fd to be readable.
  static bool Readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
  }
  void Serve() {
    for (char buf[4096]; !stop_;) {
      int c = Readable(fd_, 50) ? ::accept(fd_, nullptr, nullptr) : -1;
      if (c < 0) continue;
      std::string req;
      for (ssize_t n = 1; n > 0 && req.find("\r\n\r\n") == std::string::npos && Readable(c, 2000);)
        if ((n = ::read(c, buf, sizeof buf)) > 0) req.append(buf, static_cast<size_t>(n));
      {
        std::lock_guard<std::mutex> l(m_);
        requests_.push_back(req.substr(0, req.find("\r\n")));
      }
      // A stalled reply holds the connection until the client or the test ends.
      while (reply_.stall && !stop_)
        if (Readable(c, 50) && ::read(c, buf, sizeof buf) <= 0) break;
      std::string all = "HTTP/1.1 " + std::to_string(reply_.status) +
                        " X\r\nContent-Type: " + reply_.contentType +
                        "\r\nContent-Length: " + std::to_string(reply_.body.size()) +
                        "\r\nConnection: close\r\n\r\n" + reply_.body;
      for (ssize_t off = 0, n = 1; !reply_.stall && n > 0 && off < ssize_t(all.size()) && !stop_; off += n)
        n = ::send(c, all.data() + off, all.size() - size_t(off), MSG_NOSIGNAL);
      ::close(c);
    }
  }

  Reply reply_;
  int port_ = 0;
  int fd_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex m_;
  std::vector<std::string> requests_;
};

}  // namespace brevant::test
