#include "platform/faxservice/Protocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/events/NamedEvent.h"

namespace brevant::faxsvc {

Message& Message::Set(std::string_view key, std::string value) {
  for (auto& [k, v] : fields_) {
    if (k == key) {
      v = std::move(value);
      return *this;
    }
  }
  fields_.emplace_back(std::string(key), std::move(value));
  return *this;
}

Message& Message::SetReal(std::string_view key, double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6f", value);
  return Set(key, std::string(buf));
}

bool Message::Has(std::string_view key) const {
  for (auto& f : fields_)
    if (f.first == key) return true;
  return false;
}

std::string Message::Get(std::string_view key) const {
  for (auto& f : fields_)
    if (f.first == key) return f.second;
  return "";
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
    if (k.compare(0, prefix.size(), prefix) == 0) m.fields_.emplace_back(k.substr(prefix.size()), v);
  return m;
}

void Message::AddItem(int i, const Message& item) {
  std::string prefix = std::to_string(i) + ".";
  for (auto& [k, v] : item.fields_) fields_.emplace_back(prefix + k, v);
}

std::string Message::Encode() const {
  std::string out;
  for (auto& [k, v] : fields_) {
    out += k;
    out += '=';
    for (char c : v) {
      if (c == '\\') out += "\\\\";
      else if (c == '\n') out += "\\n";
      else out += c;
    }
    out += '\n';
  }
  return out;
}

bool Message::Decode(std::string_view body, Message* out) {
  Message m;
  std::size_t pos = 0;
  while (pos < body.size()) {
    std::size_t nl = body.find('\n', pos);
    if (nl == std::string_view::npos) return false;  // every line ends with a newline
    std::string_view line = body.substr(pos, nl - pos);
    pos = nl + 1;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    std::string value;
    std::string_view raw = line.substr(eq + 1);
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '\\') {
        value += raw[i];
        continue;
      }
      if (++i >= raw.size()) return false;
      if (raw[i] == 'n') value += '\n';
      else if (raw[i] == '\\') value += '\\';
      else return false;
    }
    m.fields_.emplace_back(std::string(line.substr(0, eq)), std::move(value));
  }
  *out = std::move(m);
  return true;
}

namespace {

bool WriteAll(int fd, const char* p, std::size_t n) {
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

// Reads exactly n bytes. Returns n on success, the count read when the peer
// closed or stalled first, -1 on an error.
long ReadExact(int fd, char* p, std::size_t n, long firstMs, long partMs, bool* timedOut) {
  std::size_t got = 0;
  *timedOut = false;
  while (got < n) {
    pollfd pfd{fd, POLLIN, 0};
    int pr = ::poll(&pfd, 1, static_cast<int>(got == 0 ? firstMs : partMs));
    if (pr < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (pr == 0) {
      *timedOut = true;
      return static_cast<long>(got);
    }
    ssize_t r = ::recv(fd, p + got, n - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) return static_cast<long>(got);
    got += static_cast<std::size_t>(r);
  }
  return static_cast<long>(got);
}

}  // namespace

bool WriteFrame(int fd, const std::string& body) {
  unsigned char hdr[4];
  std::size_t n = body.size();
  hdr[0] = static_cast<unsigned char>(n >> 24);
  hdr[1] = static_cast<unsigned char>(n >> 16);
  hdr[2] = static_cast<unsigned char>(n >> 8);
  hdr[3] = static_cast<unsigned char>(n);
  return WriteAll(fd, reinterpret_cast<const char*>(hdr), 4) && WriteAll(fd, body.data(), n);
}

FrameResult ReadFrame(int fd, std::string* body, long timeoutMs, long partMs) {
  unsigned char hdr[4];
  bool timedOut = false;
  long r = ReadExact(fd, reinterpret_cast<char*>(hdr), 4, timeoutMs, partMs, &timedOut);
  if (r < 0) return FrameResult::Error;
  if (r == 0) return timedOut ? FrameResult::TimedOut : FrameResult::Closed;
  if (r < 4) return FrameResult::Truncated;
  std::size_t n = (std::size_t(hdr[0]) << 24) | (std::size_t(hdr[1]) << 16) |
                  (std::size_t(hdr[2]) << 8) | std::size_t(hdr[3]);
  if (n > kMaxBody) return FrameResult::Oversized;
  body->assign(n, '\0');
  if (n == 0) return FrameResult::Ok;
  r = ReadExact(fd, body->data(), n, partMs, partMs, &timedOut);
  if (r < 0) return FrameResult::Error;
  if (static_cast<std::size_t>(r) < n) return FrameResult::Truncated;
  return FrameResult::Ok;
}

std::string DefaultSocketPath() {
  if (const char* s = std::getenv("BREVANT_FAXD_SOCKET"); s && *s) return s;
  return platform::NamedEvent::RuntimeDir() + "/faxd.sock";
}

int ConnectSocket(const std::string& path, std::string* error) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    *error = "socket path too long: " + path;
    return -1;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::strerror(errno);
    return -1;
  }
  // A Unix socket connect never waits on the network: it succeeds, or fails
  // at once with ENOENT (no daemon ever started) or ECONNREFUSED (it died).
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = "the fax service is not running (" + path + ": " + std::strerror(errno) + ")";
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace brevant::faxsvc
