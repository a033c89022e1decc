#include "platform/ui/WindowRaise.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/events/NamedEvent.h"
#include "platform/fs/Files.h"

namespace brevant::ui {
namespace {

std::string SessionName() {
  std::string session;
  for (const char* var : {"XDG_SESSION_ID", "WAYLAND_DISPLAY", "DISPLAY"})
    if (const char* v = std::getenv(var); v && *v) {
      session = v;
      break;
    }
  if (session.empty()) session = "console";
  for (char& c : session)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') c = '_';
  return session;
}

bool Address(sockaddr_un* addr) {
  std::string path = RaiseSocketPath();
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Waits until fd is ready for events, at most until deadline.
bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, int(left.count()));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// Connects to the listening copy; -1 when there is none (or the socket is
// not a socket of this user).
int Connect() {
  sockaddr_un addr;
  if (!Address(&addr)) return -1;
  struct stat st {};
  if (::lstat(addr.sun_path, &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != ::getuid()) return -1;
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
  return fd.release();
}

}  // namespace

std::string RaiseSocketPath() {
  return platform::NamedEvent::RuntimeDir() + "/windows-" + std::to_string(::getuid()) + "-" + SessionName();
}

int ListenForRaise() {
  sockaddr_un addr;
  if (!Address(&addr)) return -1;
  if (platform::UniqueFd(Connect())) return -1;  // the running copy owns the socket
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return -1;
  // Nobody answers on a socket file that is left: its copy has ended.
  struct stat st {};
  if (::lstat(addr.sun_path, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == ::getuid())
    ::unlink(addr.sun_path);
  mode_t old = ::umask(0077);
  bool bound = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::umask(old);
  if (!bound || ::listen(fd.get(), 4) != 0) return -1;
  return fd.release();
}

void StopListening(int listenFd) {
  if (listenFd < 0) return;
  sockaddr_un mine{};
  socklen_t len = sizeof mine;
  bool named = ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&mine), &len) == 0;
  platform::UniqueFd(listenFd).reset();
  if (named && mine.sun_path[0]) ::unlink(mine.sun_path);
}

void ServeRaiseRequests(int listenFd, const std::function<bool(const std::string& title)>& raise) {
  for (;;) {
    platform::UniqueFd accepted(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
    if (!accepted) return;
    const int client = accepted.get();
    ucred peer{};
    socklen_t len = sizeof peer;
    bool sameUser = ::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &len) == 0 && peer.uid == ::getuid();
    std::string title;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    char c = 0;
    while (sameUser && title.size() < 1024 && WaitFor(client, POLLIN, deadline) &&
           ::read(client, &c, 1) == 1 && c != '\n')
      title += c;
    bool raised = sameUser && c == '\n' && raise && raise(title);
    char answer = raised ? '1' : '0';
    (void)!::write(client, &answer, 1);
  }
}

bool AskToRaise(const std::string& title, long timeoutMs) {
  platform::UniqueFd connection(Connect());
  const int fd = connection.get();
  if (!connection) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string request = title + "\n";
  bool sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size());
  char answer = '0';
  return sent && WaitFor(fd, POLLIN, deadline) && ::read(fd, &answer, 1) == 1 && answer == '1';
}

}  // namespace brevant::ui
