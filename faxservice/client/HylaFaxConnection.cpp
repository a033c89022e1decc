// The control connection to hfaxd and its data connections.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "faxservice/client/HylaFax.h"
#include "platform/fs/Files.h"
#include "platform/net/Listeners.h"

namespace brevant::faxsvc {

namespace {
// A reply longer than this is no reply of a fax server.
constexpr std::size_t kMaxReply = 1u << 16;
// Nor is a listing or a fax larger than this.
constexpr std::size_t kMaxData = 256u << 20;

std::string LoginName() {
  if (passwd* pw = ::getpwuid(::geteuid())) return pw->pw_name;
  return "nobody";
}

// Waits until fd is ready for events; false on time-out.
bool WaitFor(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  for (;;) {
    int r = ::poll(&p, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

// A TCP connection to host:port within timeoutMs; -1 with *why.
int ConnectTcp(const std::string& host, int port, int timeoutMs, std::string* why) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res);
  if (rc != 0) {
    *why = "the name " + host + " is not known (" + ::gai_strerror(rc) + ")";
    return -1;
  }
  *why = "no address";
  platform::UniqueFd fd;
  for (addrinfo* a = res; a && !fd; a = a->ai_next) {
    fd.reset(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
    if (!fd) continue;
    int err = 0;
    if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
      err = errno;
      if (err == EINPROGRESS) {
        err = ETIMEDOUT;
        if (WaitFor(fd.get(), POLLOUT, timeoutMs)) {
          socklen_t len = sizeof err;
          ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
        }
      }
    }
    if (err != 0) {
      *why = std::strerror(err);
      fd.reset();
    }
  }
  ::freeaddrinfo(res);
  if (fd) ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return fd.release();
}

bool WriteAll(int fd, const char* p, std::size_t n, int timeoutMs) {
  while (n > 0) {
    if (!WaitFor(fd, POLLOUT, timeoutMs)) return false;
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Whether two addresses are the same host (ports aside), an IPv4 address
// and its IPv6-mapped form alike.
bool SameHost(const sockaddr_storage& a, const sockaddr_storage& b) {
  auto bytes = [](const sockaddr_storage& s, std::string* out) {
    if (s.ss_family == AF_INET) {
      const auto& in = reinterpret_cast<const sockaddr_in&>(s).sin_addr;
      out->assign(reinterpret_cast<const char*>(&in), 4);
    } else if (s.ss_family == AF_INET6) {
      const auto& in6 = reinterpret_cast<const sockaddr_in6&>(s).sin6_addr;
      const char* p = reinterpret_cast<const char*>(in6.s6_addr);
      if (IN6_IS_ADDR_V4MAPPED(&in6))
        out->assign(p + 12, 4);
      else
        out->assign(p, 16);
    }
  };
  std::string x, y;
  bytes(a, &x);
  bytes(b, &y);
  return !x.empty() && x == y;
}

// Whom a fax server on this machine may be run by: HylaFAX's own user
// (uucp, as Debian builds it), root (hfaxd started by hand), or this user
// (a password sent to oneself goes nowhere).
bool ServerUser(uid_t uid) {
  if (uid == 0 || uid == ::geteuid()) return true;
  const passwd* pw = ::getpwnam("uucp");
  return pw && pw->pw_uid == uid;
}

std::string UserName(uid_t uid) {
  if (const passwd* pw = ::getpwuid(uid))
    return std::string(pw->pw_name) + " (uid " + std::to_string(uid) + ")";
  return "uid " + std::to_string(uid);
}

}  // namespace

std::string OneLine(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  return out;
}

// The control connection --------------------------------------------------------

HylaFaxConnection::HylaFaxConnection(FaxServerSettings settings) : s_(std::move(settings)) {
  user_ = s_.user.empty() ? LoginName() : s_.user;
}

HylaFaxConnection::~HylaFaxConnection() {
  Close();
}

void HylaFaxConnection::Lost(const std::string& what) {
  fd_.reset();
  in_.clear();
  throw FaxError(kErrServiceUnreachable,
                 "the fax server " + s_.host + ":" + std::to_string(s_.port) + " " + what);
}

void HylaFaxConnection::Open() {
  if (fd_) return;
  std::string why;
  fd_.reset(ConnectTcp(s_.host, s_.port, s_.timeoutMs, &why));
  if (!fd_)
    throw FaxError(kErrServiceUnreachable, "the fax server " + s_.host + ":" + std::to_string(s_.port) +
                                               " cannot be reached: " + why);
  type_ = -1;
  admin_ = false;
  CheckServer();
  Reply hello = ReadReply();
  if (hello.code != 220) {
    Close();
    throw FaxError(kErrServiceUnreachable,
                   "the fax server " + s_.host + " does not serve clients now: " + hello.text);
  }
  greeting_ = hello.text;
  Reply r = Command("USER " + OneLine(user_));
  if (r.code == 331) r = Command("PASS " + OneLine(s_.password));
  if (r.code != 230) {
    Close();
    throw FaxError(platform::kErrPermission,
                   "the fax server " + s_.host + " refused the login of " + user_ + ": " + r.text);
  }
  if (!s_.password.empty()) admin_ = Command("ADMIN " + OneLine(s_.password)).code == 230;
  Expect("TZONE GMT");
}

void HylaFaxConnection::CheckServer() {
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  if (::getpeername(fd_.get(), reinterpret_cast<sockaddr*>(&peer), &len) != 0) Lost("closed the connection");
  if (!platform::IsThisMachine(peer)) return;
  // On this machine any user may listen on the port while hfaxd is not
  // running: the server is trusted with the login only when every socket
  // that could have taken the connection is HylaFAX's.
  std::vector<uid_t> owners = platform::ListenerOwners(peer);
  std::string stranger = owners.empty() ? "a program that is not listed as listening there" : "";
  for (uid_t uid : owners)
    if (!ServerUser(uid)) stranger = "the user " + UserName(uid);
  if (stranger.empty()) return;
  fd_.reset();  // not even a goodbye
  in_.clear();
  throw FaxError(platform::kErrPermission, "the fax server " + s_.host + ":" + std::to_string(s_.port) +
                                               " on this computer is not HylaFAX: the port is held by " +
                                               stranger +
                                               ". Nothing was sent to it, no login name and no password.");
}

void HylaFaxConnection::Close() {
  if (!fd_) return;
  // A polite goodbye, not waited for long.
  std::string quit = "QUIT\r\n";
  WriteAll(fd_.get(), quit.data(), quit.size(), 200);
  fd_.reset();
  in_.clear();
}

void HylaFaxConnection::SendLine(const std::string& line) {
  if (!fd_) Open();
  std::string out = line + "\r\n";
  if (!WriteAll(fd_.get(), out.data(), out.size(), s_.timeoutMs)) Lost("closed the connection");
}

HylaFaxConnection::Reply HylaFaxConnection::ReadReply() {
  Reply r;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(s_.timeoutMs);
  for (;;) {
    std::size_t eol = in_.find('\n');
    if (eol == std::string::npos) {
      if (in_.size() > kMaxReply) Lost("sent a reply too long to be one");
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
              .count());
      if (left <= 0 || !WaitFor(fd_.get(), POLLIN, left)) Lost("does not answer");
      char buf[4096];
      ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) Lost("closed the connection");
      in_.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    std::string line = in_.substr(0, eol);
    in_.erase(0, eol + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    r.lines.push_back(line);
    if (r.lines.size() > 10000) Lost("sent a reply too long to be one");
    // The last line of a reply is "NNN text"; "NNN-text" and indented
    // lines continue it.
    if (line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
        std::isdigit(static_cast<unsigned char>(line[1])) &&
        std::isdigit(static_cast<unsigned char>(line[2])) && (line.size() == 3 || line[3] == ' ')) {
      int code = std::atoi(line.substr(0, 3).c_str());
      if (r.lines.size() == 1 || r.lines.front().compare(0, 3, line, 0, 3) == 0) {
        r.code = code;
        r.text = line.size() > 4 ? line.substr(4) : "";
        return r;
      }
    }
  }
}

HylaFaxConnection::Reply HylaFaxConnection::Command(const std::string& line) {
  SendLine(line);
  return ReadReply();
}

HylaFaxConnection::Reply HylaFaxConnection::Expect(const std::string& line) {
  Reply r = Command(line);
  if (r.code / 100 != 2)
    throw FaxError(platform::kErrInvalidCall,
                   "the fax server refused " + line.substr(0, line.find(' ')) + ": " + r.text);
  return r;
}

// Data connections ----------------------------------------------------------------

int HylaFaxConnection::OpenData(bool binary, int* listener) {
  *listener = -1;
  int type = binary ? 1 : 0;
  if (type_ != type) {
    Expect(binary ? "TYPE I" : "TYPE A");
    type_ = type;
  }
  if (s_.passive) {
    Reply r = Expect("PASV");
    // "227 Entering passive mode (h1,h2,h3,h4,p1,p2)"; the address is the
    // server's: connect to the host we reached it by, at the port it names.
    std::size_t open = r.text.find('(');
    int v[6] = {};
    if (open == std::string::npos || std::sscanf(r.text.c_str() + open, "(%d,%d,%d,%d,%d,%d)", &v[0], &v[1],
                                                 &v[2], &v[3], &v[4], &v[5]) != 6)
      throw FaxError(platform::kErrInvalidCall, "the fax server gave no data port: " + r.text);
    std::string why;
    int fd = ConnectTcp(s_.host, v[4] * 256 + v[5], s_.timeoutMs, &why);
    if (fd < 0) throw FaxError(kErrServiceUnreachable, "no data connection to the fax server: " + why);
    return fd;
  }
  // Active: the server connects to a port we listen on, on the address
  // the control connection uses.
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&local), &len) != 0 || local.sin_family != AF_INET)
    throw FaxError(platform::kErrInvalidCall,
                   "active data connections need an IPv4 connection to the fax server");
  platform::UniqueFd l(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  local.sin_port = 0;
  if (!l || ::bind(l.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(l.get(), 1) != 0 || ::getsockname(l.get(), reinterpret_cast<sockaddr*>(&local), &len) != 0)
    throw FaxError(platform::kErrInvalidCall,
                   std::string("cannot listen for the fax server: ") + std::strerror(errno));
  unsigned char* a = reinterpret_cast<unsigned char*>(&local.sin_addr);
  unsigned port = ntohs(local.sin_port);
  Expect("PORT " + std::to_string(a[0]) + "," + std::to_string(a[1]) + "," + std::to_string(a[2]) + "," +
         std::to_string(a[3]) + "," + std::to_string(port / 256) + "," + std::to_string(port % 256));
  *listener = l.release();
  return -1;
}

int HylaFaxConnection::AcceptData(int listener) {
  platform::UniqueFd l(listener);
  if (!WaitFor(listener, POLLIN, s_.timeoutMs)) Lost("did not open the data connection");
  platform::UniqueFd data(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  if (!data)
    throw FaxError(kErrServiceUnreachable, std::string("no data connection: ") + std::strerror(errno));
  // The port is open to whoever connects first: the fax or listing is
  // exchanged only with the server itself (its address, and on this
  // machine a socket of HylaFAX's).
  sockaddr_storage server{}, from{}, local{};
  socklen_t a = sizeof server, b = sizeof from, c = sizeof local;
  bool ok = ::getpeername(fd_.get(), reinterpret_cast<sockaddr*>(&server), &a) == 0 &&
            ::getpeername(data.get(), reinterpret_cast<sockaddr*>(&from), &b) == 0 &&
            ::getsockname(data.get(), reinterpret_cast<sockaddr*>(&local), &c) == 0 && SameHost(server, from);
  uid_t owner = 0;
  if (ok && platform::IsThisMachine(from))
    ok = platform::ConnectionOwner(local, from, &owner) && ServerUser(owner);
  if (!ok)
    throw FaxError(platform::kErrPermission,
                   "a data connection to the fax server " + s_.host + " came from elsewhere");
  return data.release();
}

std::string HylaFaxConnection::Receive(const std::string& line, bool binary) {
  int listener = -1;
  platform::UniqueFd data(OpenData(binary, &listener));
  platform::UniqueFd listening(listener);
  Reply r = Command(line);
  if (r.code / 100 != 1) {
    throw FaxError(r.code == 550 ? platform::kErrFileNotFound : platform::kErrInvalidCall,
                   "the fax server refused " + line.substr(0, line.find(' ')) + ": " + r.text);
  }
  if (listening) data.reset(AcceptData(listening.release()));
  std::string out;
  char buf[65536];
  for (;;) {
    if (!WaitFor(data.get(), POLLIN, s_.timeoutMs)) Lost("stopped sending");
    ssize_t n = ::recv(data.get(), buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Lost("broke the data connection");
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
    if (out.size() > kMaxData) Lost("sent more than any fax or listing holds");
  }
  r = ReadReply();
  if (r.code / 100 != 2)
    throw FaxError(platform::kErrInvalidCall, "the fax server did not finish " + line + ": " + r.text);
  return out;
}

std::string HylaFaxConnection::StoreTemporary(int fd) {
  // Stored as a TIFF, the server sends its pages as they are (any other
  // form goes through its converters first).
  Expect("FORM TIFF");
  int listener = -1;
  platform::UniqueFd data(OpenData(true, &listener));
  platform::UniqueFd listening(listener);
  Reply r = Command("STOT");
  if (r.code / 100 != 1) {
    throw FaxError(platform::kErrInvalidCall, "the fax server does not take the document: " + r.text);
  }
  if (listening) data.reset(AcceptData(listening.release()));
  // "150 FILE: /tmp/doc12.tif (Opening new data connection)."
  std::string name;
  for (const std::string& l : r.lines) {
    std::size_t at = l.find("FILE: ");
    if (at != std::string::npos) name = l.substr(at + 6, l.find(' ', at + 6) - (at + 6));
  }
  char buf[65536];
  for (off_t off = 0;;) {
    ssize_t n = ::pread(fd, buf, sizeof buf, off);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      throw FaxError(platform::kErrPathFileAccess,
                     std::string("cannot read the document: ") + std::strerror(errno));
    if (n == 0) break;
    if (!WriteAll(data.get(), buf, static_cast<std::size_t>(n), s_.timeoutMs))
      Lost("broke the data connection");
    off += n;
  }
  ::shutdown(data.get(), SHUT_WR);
  data.reset();
  r = ReadReply();
  if (r.code / 100 != 2)
    throw FaxError(platform::kErrInvalidCall, "the fax server did not store the document: " + r.text);
  if (name.empty()) {
    std::size_t at = r.text.find("FILE: ");
    if (at != std::string::npos) name = r.text.substr(at + 6, r.text.find(' ', at + 6) - (at + 6));
  }
  if (name.empty())
    throw FaxError(platform::kErrInvalidCall, "the fax server did not name the stored document");
  return name;
}

}  // namespace brevant::faxsvc
