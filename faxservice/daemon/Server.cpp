#include "faxservice/daemon/Server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

namespace brevant::faxd {

namespace fs = std::filesystem;
using faxsvc::Message;

namespace {

// The socket's folder: made (0755) when missing; it must belong to root or
// the service and be writable by nobody else unless sticky, or another
// user could put their own socket in the service's place.
bool CheckSocketFolder(const fs::path& dir, std::string* why) {
  std::error_code ec;
  if (!fs::exists(dir, ec)) {
    fs::create_directories(dir, ec);
    ::chmod(dir.c_str(), 0755);
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *why = "cannot use the socket's folder " + dir.string() + ": " + std::strerror(errno);
    return false;
  }
  if ((st.st_uid != 0 && st.st_uid != ::geteuid()) ||
      ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX))) {
    *why = "the socket's folder " + dir.string() +
           " may be changed by other users; the service does not listen there";
    return false;
  }
  return true;
}

}  // namespace

Server::~Server() {
  if (listen_) ::unlink(path_.c_str());
}

bool Server::Listen(std::string* why) {
  std::string probeError;
  if (platform::UniqueFd(faxsvc::ConnectSocket(path_, &probeError))) {
    *why = "another brevant-faxd already listens on " + path_;
    return false;
  }
  if (!CheckSocketFolder(fs::path(path_).parent_path(), why)) return false;
  sockaddr_un addr{};
  if (path_.size() >= sizeof addr.sun_path) {
    *why = "socket path too long: " + path_;
    return false;
  }
  // A socket file left by a killed service; anything else there stays.
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path_.c_str());
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
  listen_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listen_ || ::bind(listen_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_.get(), 64) != 0) {
    *why = "cannot listen on " + path_ + ": " + std::strerror(errno);
    return false;
  }
  // Connecting needs write permission on the socket: every local user may
  // connect, and each request is then decided by who they are.
  ::chmod(path_.c_str(), 0666);
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    *why = std::strerror(errno);
    return false;
  }
  wake_[0].reset(ends[0]);
  wake_[1].reset(ends[1]);
  return true;
}

void Server::Stop() {
  stopping_ = 1;
  if (wake_[1]) {
    char c = 1;
    [[maybe_unused]] ssize_t w = ::write(wake_[1].get(), &c, 1);
  }
}

void Server::Serve() {
  while (!stopping_) {
    pollfd pfd[2] = {{listen_.get(), POLLIN, 0}, {wake_[0].get(), POLLIN, 0}};
    int pr = ::poll(pfd, 2, 1000);
    if (pr < 0 && errno != EINTR) break;
    if (pr <= 0 || !(pfd[0].revents & POLLIN)) continue;
    platform::UniqueFd conn(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn) continue;
    const int fd = conn.get();
    Caller caller;
    if (!IdentifyPeer(fd, adminGroup_, &caller)) continue;
    // Replies go out within 10 s or the client is dropped: a client that
    // stops reading cannot hold a thread of the service.
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    std::unique_lock lk(mu_);
    std::string refusal;
    if (perUser_[caller.uid] >= kMaxPerUser)
      refusal = "too many connections of your user to the fax service (at most " +
                std::to_string(kMaxPerUser) + ")";
    else if (static_cast<int>(clients_.size()) >= kMaxClients)
      refusal = "too many clients of the fax service";
    if (!refusal.empty()) {
      lk.unlock();
      faxsvc::WriteFrame(fd, Refusal(faxsvc::kErrTooLarge, refusal).Encode());
      continue;
    }
    clients_.insert(fd);
    ++perUser_[caller.uid];
    lk.unlock();
    std::thread([this, fd = conn.release(), caller] { Client(fd, caller); }).detach();
  }
  // Wake every client waiting for a request, then wait for them to finish;
  // a reply being made (the one to "shutdown" itself) still goes out.
  std::unique_lock lk(mu_);
  for (int fd : clients_) ::shutdown(fd, SHUT_RD);
  done_.wait_for(lk, std::chrono::seconds(10), [this] { return clients_.empty(); });
}

void Server::Client(int fd, Caller caller) {
  platform::UniqueFd conn(fd);
  for (;;) {
    std::string body;
    int doc = -1;
    faxsvc::FrameResult r = faxsvc::ReadFrame(fd, &body, idleTimeoutMs_, 5000, &doc, 30000);
    platform::UniqueFd handedOver(doc);
    if (r == faxsvc::FrameResult::Oversized) {
      faxsvc::WriteFrame(fd, Refusal(faxsvc::kErrTooLarge, "message too large for the fax service (at most " +
                                                               std::to_string(faxsvc::kMaxBody) + " bytes)")
                                 .Encode());
      break;
    }
    if (r == faxsvc::FrameResult::Truncated) {
      faxsvc::WriteFrame(fd, Refusal(faxsvc::kErrRefused, "truncated message").Encode());
      break;
    }
    if (r != faxsvc::FrameResult::Ok) break;  // closed, idle too long, or broken
    Message req;
    Reply reply;
    if (Message::Decode(body, &req, kMaxRequestFields))
      reply = handler_(caller, req, doc);
    else
      reply.message =
          Refusal(faxsvc::kErrRefused, "malformed message (key=value lines, each key once, at most " +
                                           std::to_string(kMaxRequestFields) + " fields)");
    handedOver.reset();
    const platform::UniqueFd replyFd(reply.fd);
    bool sent = faxsvc::WriteFrame(fd, reply.message.Encode(), reply.fd);
    if (!sent) break;
  }
  std::lock_guard lk(mu_);
  clients_.erase(fd);
  conn.reset();  // after leaving the set: the number may be reused at once
  if (--perUser_[caller.uid] <= 0) perUser_.erase(caller.uid);
  done_.notify_all();
}

}  // namespace brevant::faxd
