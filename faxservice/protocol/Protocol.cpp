#include "faxservice/protocol/Protocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/env/Environment.h"
#include "platform/fs/Files.h"

namespace brevant::faxsvc {

const std::string* Message::Find(std::string_view key) const {
  // Lists and requests may hold many thousands of fields; a linear search
  // per lookup would make one large message cost quadratic time.
  auto it = index_.find(std::string(key));
  return it == index_.end() ? nullptr : &fields_[it->second].second;
}

Message& Message::Set(std::string_view key, std::string value) {
  auto [it, added] = index_.try_emplace(std::string(key), fields_.size());
  if (added)
    fields_.emplace_back(std::string(key), std::move(value));
  else
    fields_[it->second].second = std::move(value);
  return *this;
}

Message& Message::SetReal(std::string_view key, double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6f", value);
  return Set(key, std::string(buf));
}

bool Message::Has(std::string_view key) const {
  return Find(key) != nullptr;
}

std::string Message::Get(std::string_view key) const {
  const std::string* v = Find(key);
  return v ? *v : std::string();
}

long long Message::GetInt(std::string_view key, long long fallback) const {
  std::string v = Get(key);
  if (v.empty()) return fallback;
  char* end = nullptr;
  errno = 0;
  long long n = std::strtoll(v.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return fallback;
  return n;
}

double Message::GetReal(std::string_view key, double fallback) const {
  std::string v = Get(key);
  if (v.empty()) return fallback;
  char* end = nullptr;
  double d = std::strtod(v.c_str(), &end);
  return *end == '\0' ? d : fallback;
}

Message Message::Item(int i) const {
  Message m;
  std::string prefix = std::to_string(i) + ".";
  for (auto& [k, v] : fields_)
    if (k.compare(0, prefix.size(), prefix) == 0) m.Set(std::string_view(k).substr(prefix.size()), v);
  return m;
}

std::vector<Message> Message::Items() const {
  long long count = GetInt("count");
  std::vector<Message> items(
      count > 0 && static_cast<std::size_t>(count) <= fields_.size() ? static_cast<std::size_t>(count) : 0);
  for (auto& [k, v] : fields_) {
    std::size_t dot = k.find('.');
    if (dot == std::string::npos || dot == 0) continue;
    char* end = nullptr;
    unsigned long n = std::strtoul(k.c_str(), &end, 10);
    if (end != k.c_str() + dot || n < 1 || n > items.size()) continue;
    items[n - 1].Set(std::string_view(k).substr(dot + 1), v);
  }
  return items;
}

void Message::AddItem(int i, const Message& item) {
  std::string prefix = std::to_string(i) + ".";
  for (auto& [k, v] : item.fields_) Set(prefix + k, v);
}

std::string Message::Encode() const {
  std::string out;
  for (auto& [k, v] : fields_) {
    out += k;
    out += '=';
    for (char c : v) {
      if (c == '\\')
        out += "\\\\";
      else if (c == '\n')
        out += "\\n";
      else
        out += c;
    }
    out += '\n';
  }
  return out;
}

bool Message::Decode(std::string_view body, Message* out, std::size_t maxFields) {
  Message m;
  std::size_t pos = 0;
  while (pos < body.size()) {
    if (m.fields_.size() >= maxFields) return false;
    std::size_t nl = body.find('\n', pos);
    if (nl == std::string_view::npos) return false;  // every line ends with a newline
    std::string_view line = body.substr(pos, nl - pos);
    pos = nl + 1;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    std::string value;
    std::string_view raw = line.substr(eq + 1);
    value.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '\\') {
        value += raw[i];
        continue;
      }
      if (++i >= raw.size()) return false;
      if (raw[i] == 'n')
        value += '\n';
      else if (raw[i] == '\\')
        value += '\\';
      else
        return false;
    }
    std::string_view key = line.substr(0, eq);
    if (m.Has(key)) return false;  // two values for one key: which one was meant?
    m.Set(key, std::move(value));
  }
  *out = std::move(m);
  return true;
}

namespace {

using Clock = std::chrono::steady_clock;

bool SendAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Collects the descriptors of one received message: the first is kept when
// *kept is still free and the reader wants one, every other is closed at
// once, so a peer cannot make us hold descriptors it pushed at us.
void TakeDescriptors(msghdr& msg, int* kept, bool wanted) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    std::size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    const unsigned char* data = CMSG_DATA(c);
    for (std::size_t i = 0; i < n; ++i) {
      int got;
      std::memcpy(&got, data + i * sizeof(int), sizeof(int));
      if (wanted && *kept < 0)
        *kept = got;
      else
        platform::UniqueFd unwanted(got);  // closed at once
    }
  }
}

enum class ReadStatus { Done, Closed, Stalled, Error };

// Reads exactly n bytes into p (recvmsg, so descriptors sent along are
// seen). *got counts what arrived.
// *frameEnd is the frame's deadline, set from frameMs when its first byte
// arrives (a default time point until then).
ReadStatus ReadExact(int fd, char* p, std::size_t n, std::size_t* got, long firstMs, long partMs,
                     long frameMs, Clock::time_point* frameEnd, int* kept, bool wanted) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
  while (*got < n) {
    bool started = *frameEnd != Clock::time_point{};
    long wait = started ? partMs : firstMs;
    if (started) {
      long left = static_cast<long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(*frameEnd - Clock::now()).count());
      if (left <= 0) return ReadStatus::Stalled;
      if (wait < 0 || wait > left) wait = left;
    }
    pollfd pfd{fd, POLLIN, 0};
    int pr = ::poll(&pfd, 1, static_cast<int>(wait));
    if (pr < 0) {
      if (errno == EINTR) continue;
      return ReadStatus::Error;
    }
    if (pr == 0) return ReadStatus::Stalled;
    iovec iov{p + *got, n - *got};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t r = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    if (r < 0) {
      if (errno == EINTR) continue;
      return ReadStatus::Error;
    }
    TakeDescriptors(msg, kept, wanted);
    if (r == 0) return ReadStatus::Closed;
    if (!started) *frameEnd = Clock::now() + std::chrono::milliseconds(frameMs);
    *got += static_cast<std::size_t>(r);
  }
  return ReadStatus::Done;
}

}  // namespace

bool WriteFrame(int fd, const std::string& body, int passFd) {
  unsigned char hdr[4];
  std::size_t n = body.size();
  hdr[0] = static_cast<unsigned char>(n >> 24);
  hdr[1] = static_cast<unsigned char>(n >> 16);
  hdr[2] = static_cast<unsigned char>(n >> 8);
  hdr[3] = static_cast<unsigned char>(n);
  if (passFd < 0) return SendAll(fd, reinterpret_cast<const char*>(hdr), 4) && SendAll(fd, body.data(), n);
  // The descriptor travels with the header's bytes.
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  iovec iov{hdr, 4};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &passFd, sizeof(int));
  ssize_t w;
  do {
    w = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
  } while (w < 0 && errno == EINTR);
  if (w < 0) return false;
  return SendAll(fd, reinterpret_cast<const char*>(hdr) + w, 4 - static_cast<std::size_t>(w)) &&
         SendAll(fd, body.data(), n);
}

FrameResult ReadFrame(int fd, std::string* body, long timeoutMs, long partMs, int* receivedFd, long frameMs) {
  int kept = -1;
  if (receivedFd) *receivedFd = -1;
  auto finish = [&](FrameResult r) {
    if (r == FrameResult::Ok && receivedFd)
      *receivedFd = kept;
    else
      platform::UniqueFd unwanted(kept);  // closed at once
    return r;
  };
  unsigned char hdr[4];
  std::size_t got = 0;
  Clock::time_point frameEnd{};
  ReadStatus st = ReadExact(fd, reinterpret_cast<char*>(hdr), 4, &got, timeoutMs, partMs, frameMs, &frameEnd,
                            &kept, receivedFd != nullptr);
  if (st == ReadStatus::Error) return finish(FrameResult::Error);
  if (got == 0) return finish(st == ReadStatus::Stalled ? FrameResult::TimedOut : FrameResult::Closed);
  if (st != ReadStatus::Done) return finish(FrameResult::Truncated);
  std::size_t n = (std::size_t(hdr[0]) << 24) | (std::size_t(hdr[1]) << 16) | (std::size_t(hdr[2]) << 8) |
                  std::size_t(hdr[3]);
  if (n > kMaxBody) return finish(FrameResult::Oversized);
  body->assign(n, '\0');
  if (n == 0) return finish(FrameResult::Ok);
  got = 0;
  st = ReadExact(fd, body->data(), n, &got, partMs, partMs, frameMs, &frameEnd, &kept, receivedFd != nullptr);
  if (st == ReadStatus::Error) return finish(FrameResult::Error);
  if (st != ReadStatus::Done) return finish(FrameResult::Truncated);
  return finish(FrameResult::Ok);
}

std::string DefaultSocketPath() {
  if (std::string s = platform::env::Get(platform::env::Var::FaxdSocket); !s.empty()) return s;
  if (std::string r = platform::env::Get(platform::env::Var::RuntimeDir); !r.empty()) return r + "/faxd.sock";
  return "/run/brevant-faxd/faxd.sock";
}

int ConnectSocket(const std::string& path, std::string* error) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    *error = "socket path too long: " + path;
    return -1;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    *error = std::strerror(errno);
    return -1;
  }
  // A Unix socket connect never waits on the network: it succeeds, or fails
  // at once with ENOENT (no daemon ever started) or ECONNREFUSED (it died).
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = "the fax service is not running (" + path + ": " + std::strerror(errno) + ")";
    return -1;
  }
  return fd.release();
}

}  // namespace brevant::faxsvc
