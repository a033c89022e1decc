#include "platform/events/NamedEvent.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace brevant::platform {
namespace {

bool UsableDir(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (::access(dir.c_str(), W_OK | X_OK) != 0) return false;
  ::chmod(dir.c_str(), 01777);  // shared by all users, like /tmp; errors ignored
  return true;
}

std::string SafeName(const std::string& name) {
  std::string out;
  for (char c : name) out += (c == '/' || c == '\0') ? '_' : c;
  return out;
}

}  // namespace

std::string NamedEvent::RuntimeDir() {
  if (const char* d = std::getenv("BREVANT_RUNTIME_DIR"); d && *d) {
    UsableDir(d);
    return d;
  }
  if (UsableDir("/run/brevant")) return "/run/brevant";
  // The session's runtime folder; a process started outside the session
  // (by the print scheduler, cron or runuser) has no XDG_RUNTIME_DIR but
  // meets the session's events in the user's /run/user/<uid> all the same.
  std::string session;
  if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x) {
    session = x;
  } else {
    std::string run = "/run/user/" + std::to_string(::getuid());
    struct stat st {};
    if (::stat(run.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid()) session = run;
  }
  if (!session.empty()) {
    std::string dir = session + "/brevant";
    if (UsableDir(dir)) return dir;
  }
  std::string dir = "/tmp/brevant-" + std::to_string(::getuid());
  UsableDir(dir);
  return dir;
}

NamedEvent::~NamedEvent() {
  if (lockFd_ >= 0) ::close(lockFd_);  // releases the shared lock
}

bool NamedEvent::Exists(const std::string& name) {
  std::string path = RuntimeDir() + "/" + SafeName(name) + ".event";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // Someone holds it when an exclusive lock cannot be had.
  bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return held;
}

std::unique_ptr<NamedEvent> NamedEvent::Create(const std::string& name, bool manualReset,
                                               bool initiallySignalled, bool* alreadyExisted) {
  std::string base = RuntimeDir() + "/" + SafeName(name);
  int fd = ::open((base + ".event").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  ::fchmod(fd, 0666);
  // First holder: nobody else has it, so reset the signal file.
  bool first = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  std::unique_ptr<NamedEvent> ev(new NamedEvent);
  ev->name_ = name;
  ev->sigPath_ = base + ".sig";
  ev->manualReset_ = manualReset;
  if (first) {
    int s = ::open(ev->sigPath_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (s >= 0) { ::fchmod(s, 0666); ::close(s); }
  }
  ::flock(fd, LOCK_SH);  // converts the exclusive lock, or joins the holders
  ev->lockFd_ = fd;
  ev->seen_ = ev->SignalCount();
  if (first && initiallySignalled) ev->Set();
  if (alreadyExisted) *alreadyExisted = !first;
  return ev;
}

std::unique_ptr<NamedEvent> NamedEvent::Open(const std::string& name) {
  if (!Exists(name)) return nullptr;
  bool existed = false;
  auto ev = Create(name, false, false, &existed);
  if (ev && !existed) return nullptr;  // its holder ended in between
  return ev;
}

long NamedEvent::SignalCount() const {
  struct stat st{};
  return ::stat(sigPath_.c_str(), &st) == 0 ? long(st.st_size) : 0;
}

void NamedEvent::Set() {
  int fd = ::open(sigPath_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  char b = 1;
  [[maybe_unused]] auto n = ::write(fd, &b, 1);
  ::close(fd);
}

void NamedEvent::Reset() { seen_ = SignalCount(); }

bool NamedEvent::Wait(long timeoutMs) {
  using clock = std::chrono::steady_clock;
  auto deadline = clock::now() + std::chrono::milliseconds(timeoutMs);
  int in = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (in >= 0) ::inotify_add_watch(in, sigPath_.c_str(), IN_MODIFY | IN_ATTRIB);
  bool signalled = false;
  for (;;) {
    long now = SignalCount();
    if (now > seen_) {
      if (!manualReset_) seen_ = now;
      signalled = true;
      break;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
    if (left <= 0) break;
    // inotify wakes us at once; the 100 ms cap covers a missed watch.
    pollfd p{in, POLLIN, 0};
    int slice = int(left < 100 ? left : 100);
    if (in >= 0) {
      if (::poll(&p, 1, slice) > 0) {
        char buf[4096];
        while (::read(in, buf, sizeof buf) > 0) {}
      }
    } else {
      ::usleep(useconds_t(slice) * 1000);
    }
  }
  if (in >= 0) ::close(in);
  return signalled;
}

}  // namespace brevant::platform
