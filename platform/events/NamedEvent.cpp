#include "platform/events/NamedEvent.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/env/Environment.h"
#include "platform/fs/SafeFiles.h"

namespace brevant::platform {
namespace {

void ToStderr(const std::string& text, const std::string& source) {
  std::fprintf(stderr, "%s: %s\n", source.c_str(), text.c_str());
}

NamedEvent::Reporter g_reporter = &ToStderr;

std::string SafeName(const std::string& name) {
  std::string out;
  for (char c : name) out += (c == '/' || c == '\0') ? '_' : c;
  return out;
}

// The runtime folder, checked and opened; -1 (reported) when refused.
int OpenFolder(const char* source) {
  std::string dir = NamedEvent::RuntimeDir();
  std::string why;
  int fd = OpenOwnedFolder(dir, ::geteuid(), true, 0700, &why);
  if (fd < 0) g_reporter("the named events folder is refused: " + why, source);
  return fd;
}

// One file of an event in the folder: never through a symlink, and only a
// regular file of the user's own.
int OpenEventFile(int dirFd, const std::string& file, int flags, const char* source) {
  UniqueFd fd(::openat(dirFd, file.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!fd) {
    if (errno == ELOOP) g_reporter("the named event file " + file + " is a symbolic link", source);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    g_reporter("the named event file " + file + " is not a regular file of this user", source);
    return -1;
  }
  return fd.release();
}

}  // namespace

void NamedEvent::SetReporter(Reporter reporter) {
  g_reporter = reporter ? reporter : &ToStderr;
}

std::string NamedEvent::RuntimeDir() {
  if (std::string d = platform::env::Get(platform::env::Var::RuntimeDir); !d.empty()) return d;
  if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x) return std::string(x) + "/brevant";
  // Outside the session the user's runtime folder is still there while the
  // user is logged in, and the session's events live in it.
  const std::string uid = std::to_string(::geteuid());
  const std::string run = "/run/user/" + uid;
  struct stat st {};
  if (::lstat(run.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid())
    return run + "/brevant";
  return "/tmp/brevant-" + uid;
}

NamedEvent::~NamedEvent() {
  sigFd_.reset();
  lockFd_.reset();  // releases the shared lock
}

bool NamedEvent::Exists(const std::string& name) {
  UniqueFd dir(OpenFolder("NamedEvent.Exists"));
  if (!dir) return false;
  UniqueFd fd(OpenEventFile(dir.get(), SafeName(name) + ".event", O_RDONLY, "NamedEvent.Exists"));
  // Someone holds it when an exclusive lock cannot be had.
  return fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0;
}

std::unique_ptr<NamedEvent> NamedEvent::Create(const std::string& name, bool manualReset,
                                               bool initiallySignalled, bool* alreadyExisted) {
  const char* source = "NamedEvent.Create";
  UniqueFd dir(OpenFolder(source));
  if (!dir) return nullptr;
  const std::string base = SafeName(name);
  UniqueFd fd(OpenEventFile(dir.get(), base + ".event", O_RDWR | O_CREAT, source));
  if (!fd) return nullptr;
  // First holder: nobody else has it, so the signal count starts again.
  bool first = ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
  UniqueFd sig(OpenEventFile(dir.get(), base + ".sig", O_RDWR | O_CREAT | O_APPEND, source));
  dir.reset();
  if (!sig) return nullptr;
  if (first && ::ftruncate(sig.get(), 0) != 0) g_reporter("cannot reset the signals of " + name, source);
  // Converts the exclusive lock, or joins the holders once a process that
  // is creating the event has let go of its exclusive one.
  if (!LockFile(fd.get(), LOCK_SH, kLockTimeoutMs)) {
    g_reporter("the named event " + name + " stayed locked by another process", source);
    return nullptr;
  }
  std::unique_ptr<NamedEvent> ev(new NamedEvent);
  ev->name_ = name;
  ev->manualReset_ = manualReset;
  ev->lockFd_ = std::move(fd);
  ev->sigFd_ = std::move(sig);
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
  struct stat st {};
  return ::fstat(sigFd_.get(), &st) == 0 ? long(st.st_size) : 0;
}

void NamedEvent::Set() {
  char b = 1;
  [[maybe_unused]] auto n = ::write(sigFd_.get(), &b, 1);
}

void NamedEvent::Reset() {
  seen_ = SignalCount();
}

bool NamedEvent::Wait(long timeoutMs) {
  using clock = std::chrono::steady_clock;
  auto deadline = clock::now() + std::chrono::milliseconds(timeoutMs);
  // An event already signalled needs no watch: setting one up and closing it
  // again costs the kernel tens of milliseconds on a busy machine.
  if (long now = SignalCount(); now > seen_) {
    if (!manualReset_) seen_ = now;
    return true;
  }
  UniqueFd watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  const int in = watch.get();
  // Watched through the open descriptor: the name in the folder is not
  // looked up again.
  const std::string self = "/proc/self/fd/" + std::to_string(sigFd_.get());
  if (in >= 0) ::inotify_add_watch(in, self.c_str(), IN_MODIFY | IN_ATTRIB);
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
        while (::read(in, buf, sizeof buf) > 0) {
        }
      }
    } else {
      ::usleep(useconds_t(slice) * 1000);
    }
  }
  return signalled;
}

}  // namespace brevant::platform
