#include "tools/vestrel/Backend.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/emf/Emf.h"
#include "platform/text/Escapes.h"

extern char** environ;

namespace brevant::vestrel {
namespace {

volatile std::sig_atomic_t g_cancel = 0;
volatile pid_t g_child = 0;

constexpr char kUel[] = "\x1b%-12345X";

long NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return long(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool WriteAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= std::size_t(w);
  }
  return true;
}

// Reads Ghostscript's output pipe with a deadline, so a stuck renderer
// cannot hold the job forever.
class PipeReader {
 public:
  PipeReader(int fd, long deadlineMs) : fd_(fd), deadline_(deadlineMs) {}

  // 1 = got a byte, 0 = end of stream, -1 = time-out, cancel or error.
  int Get(char* c) {
    if (pos_ == len_ && !Fill()) return eof_ ? 0 : -1;
    *c = buf_[pos_++];
    return 1;
  }
  // Fills exactly n bytes; false at end of stream, time-out or error.
  bool Read(std::uint8_t* out, std::size_t n) {
    while (n > 0) {
      if (pos_ == len_ && !Fill()) return false;
      std::size_t take = std::min(n, len_ - pos_);
      std::memcpy(out, buf_ + pos_, take);
      pos_ += take;
      out += take;
      n -= take;
    }
    return true;
  }
  bool TimedOut() const { return timedOut_; }

 private:
  bool Fill() {
    if (eof_) return false;
    for (;;) {
      if (g_cancel) return false;
      long left = deadline_ - NowMs();
      if (left <= 0) {
        timedOut_ = true;
        return false;
      }
      pollfd p{fd_, POLLIN, 0};
      int r = ::poll(&p, 1, int(std::min(left, 500L)));
      if (r < 0 && errno != EINTR) return false;
      if (r <= 0) continue;
      ssize_t n = ::read(fd_, buf_, sizeof buf_);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return false;
      }
      if (n == 0) {
        eof_ = true;
        return false;
      }
      pos_ = 0;
      len_ = std::size_t(n);
      return true;
    }
  }

  int fd_;
  long deadline_;
  char buf_[1 << 16];
  std::size_t pos_ = 0, len_ = 0;
  bool eof_ = false;
  bool timedOut_ = false;
};

// One number of a PBM header, skipping white space and comments.
bool HeaderNumber(PipeReader& in, int* value) {
  char c;
  for (;;) {
    if (in.Get(&c) != 1) return false;
    if (c == '#') {
      while (c != '\n')
        if (in.Get(&c) != 1) return false;
    } else if (!std::isspace(static_cast<unsigned char>(c))) {
      break;
    }
  }
  long v = 0;
  while (std::isdigit(static_cast<unsigned char>(c))) {
    v = v * 10 + (c - '0');
    if (v > 100000) return false;
    if (in.Get(&c) != 1) return false;
  }
  // The single white-space character after the number has been consumed.
  *value = int(v);
  return v > 0;
}

}  // namespace

void RequestCancel() {
  g_cancel = 1;
  pid_t pid = g_child;
  if (pid > 0) ::kill(pid, SIGKILL);
}

void ClearCancel() { g_cancel = 0; }

bool ParseDeviceUri(const std::string& uri, const std::string& altScheme, DeviceUri* out) {
  std::size_t colon = uri.find(':');
  if (colon == std::string::npos) return false;
  std::string scheme = uri.substr(0, colon);
  if (scheme != "vestrel" && (altScheme.empty() || scheme != altScheme)) return false;
  std::string rest = uri.substr(colon + 1);
  std::string query;
  if (std::size_t q = rest.find('?'); q != std::string::npos) {
    query = rest.substr(q + 1);
    rest.resize(q);
  }
  // "vestrel://host/path" has an authority; only the local form is ours.
  if (rest.compare(0, 3, "///") == 0) {
    rest.erase(0, 2);
  } else if (rest.compare(0, 2, "//") == 0) {
    return false;
  }
  DeviceUri d;
  d.spoolFolder = platform::HexUnescape(rest);
  std::string& path = d.spoolFolder;
  if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) return false;
  if (path.back() != '/') path.push_back('/');
  std::size_t start = 0;
  while (start < query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    std::string param = query.substr(start, end - start);
    start = end + 1;
    std::size_t eq = param.find('=');
    std::string key = param.substr(0, eq);
    std::string value = eq == std::string::npos ? "1" : platform::HexUnescape(param.substr(eq + 1));
    if (key == "handoff") {
      d.handoff = value != "0" && value != "no" && value != "false";
    } else if (key == "events") {
      if (value.empty() || value[0] != '/' || value.find('\0') != std::string::npos) return false;
      d.eventsDir = value;
    }
  }
  *out = std::move(d);
  return true;
}

std::string SpoolFolderFromUri(const std::string& uri, const std::string& altScheme) {
  DeviceUri d;
  return ParseDeviceUri(uri, altScheme, &d) ? d.spoolFolder : "";
}

std::string ExpandUserHome(const std::string& path, const std::string& home) {
  if (path.compare(0, 3, "/~/") != 0 || home.empty()) return path;
  std::string h = home;
  while (h.size() > 1 && h.back() == '/') h.pop_back();
  return (h == "/" ? "" : h) + path.substr(2);
}

std::string HandoffFolder(const std::string& spoolFolder) {
  std::string s = spoolFolder;
  if (s.empty() || s.back() != '/') s.push_back('/');
  return s + "Printed/";
}

std::string PageFileName(int number) {
  char name[32];
  std::snprintf(name, sizeof name, "%08d.emf", number);
  return name;
}

int PageNumberOf(const char* n) {
  if (std::strlen(n) != 12 || strcasecmp(n + 8, ".emf") != 0) return -1;
  int v = 0;
  for (int i = 0; i < 8; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(n[i]))) return -1;
    v = v * 10 + (n[i] - '0');
  }
  return v;
}

int NextPageNumber(const std::string& folder) {
  int highest = 0;
  DIR* d = ::opendir(folder.c_str());
  if (!d) return 1;
  while (dirent* e = ::readdir(d)) highest = std::max(highest, PageNumberOf(e->d_name));
  ::closedir(d);
  return highest + 1;
}

bool CopyWithoutPjl(int fd, int out, std::string* error) {
  std::string head;
  char buf[1 << 16];
  // Enough of the start to see whether the document is wrapped in PJL.
  while (head.size() < sizeof(kUel) - 1) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = std::string("reading the document: ") + std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    head.append(buf, std::size_t(n));
  }
  const bool wrapped = head.compare(0, sizeof(kUel) - 1, kUel) == 0;
  if (!wrapped) {
    // The usual case: pass everything through unchanged.
    if (!WriteAll(out, head.data(), head.size())) {
      *error = std::string("writing the document: ") + std::strerror(errno);
      return false;
    }
    for (;;) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        *error = std::string("reading the document: ") + std::strerror(errno);
        return false;
      }
      if (n == 0) return true;
      if (!WriteAll(out, buf, std::size_t(n))) {
        *error = std::string("writing the document: ") + std::strerror(errno);
        return false;
      }
    }
  }
  // Wrapped: the PJL commands precede the document line by line, and a UEL
  // with "@PJL EOJ" follows it. Read it whole; such jobs are small enough.
  std::string all = std::move(head);
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = std::string("reading the document: ") + std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    all.append(buf, std::size_t(n));
  }
  std::size_t pos = sizeof(kUel) - 1;
  while (pos < all.size()) {
    if (all.compare(pos, 4, "@PJL") == 0 || all[pos] == '\r' || all[pos] == '\n') {
      std::size_t eol = all.find('\n', pos);
      pos = eol == std::string::npos ? all.size() : eol + 1;
    } else {
      break;
    }
  }
  std::size_t end = all.rfind(kUel);
  if (end == std::string::npos || end < pos) end = all.size();
  if (!WriteAll(out, all.data() + pos, end - pos)) {
    *error = std::string("writing the document: ") + std::strerror(errno);
    return false;
  }
  return true;
}

RenderResult RenderToSpool(const RenderOptions& o) {
  RenderResult r;
  const long deadline = NowMs() + o.timeoutMs;

  int dirFd = ::open(o.spoolFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    r.error = "spool folder " + o.spoolFolder + ": " + std::strerror(errno);
    return r;
  }
  if (::access(o.spoolFolder.c_str(), W_OK) != 0) {
    r.error = "spool folder " + o.spoolFolder + " is not writable: " + std::strerror(errno);
    ::close(dirFd);
    return r;
  }
  // Another job writing into the same folder finishes its numbering first.
  while (::flock(dirFd, LOCK_EX | LOCK_NB) != 0) {
    if (g_cancel || NowMs() >= deadline) {
      r.status = g_cancel ? kBackendCancel : kBackendFailed;
      r.error = "spool folder " + o.spoolFolder + " stayed locked by another job";
      ::close(dirFd);
      return r;
    }
    ::usleep(20000);
  }

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    r.error = std::string("pipe: ") + std::strerror(errno);
    ::close(dirFd);
    return r;
  }
  // Room for a couple of pages in the pipe, so Ghostscript renders on while
  // a page file is being written.
  ::fcntl(fds[0], F_SETPIPE_SZ, 1 << 20);
  std::vector<std::string> args = {
      o.ghostscript, "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOPROMPT",
      "-sstdout=%stderr", "-sDEVICE=pbmraw",
      "-r" + std::to_string(kXdpi) + "x" + std::to_string(kYdpi),
      "-g" + std::to_string(kPageWidth) + "x" + std::to_string(kPageHeight),
      "-dFIXEDMEDIA", "-dPDFFitPage", "-sOutputFile=-", "-f", o.document};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, o.ghostscript.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(fds[1]);
  if (rc != 0) {
    r.error = "cannot start " + o.ghostscript + ": " + std::strerror(rc);
    ::close(fds[0]);
    ::close(dirFd);
    return r;
  }
  g_child = pid;
  if (g_cancel) ::kill(pid, SIGKILL);

  int number = NextPageNumber(o.spoolFolder);
  PipeReader in(fds[0], deadline);
  emf::Page page;
  page.xdpi = kXdpi;
  page.ydpi = kYdpi;
  std::string failure;
  for (;;) {
    char m0 = 0, m1 = 0;
    int got = in.Get(&m0);
    if (got == 0) break;  // Ghostscript finished its output
    if (got < 0 || in.Get(&m1) != 1) {
      failure = "reading the rendered pages failed";
      break;
    }
    int w = 0, h = 0;
    if (m0 != 'P' || m1 != '4' || !HeaderNumber(in, &w) || !HeaderNumber(in, &h)) {
      failure = "unexpected output from Ghostscript";
      break;
    }
    // The page size is fixed on Ghostscript's command line; anything much
    // larger is not a page of ours (and must not size an allocation).
    if (w > 4 * kPageWidth || h > 4 * kPageHeight) {
      failure = "unexpected page size " + std::to_string(w) + " x " + std::to_string(h);
      break;
    }
    page.Resize(w, h);
    if (!in.Read(page.bits.data(), page.bits.size())) {
      failure = "a rendered page was cut short";
      break;
    }
    std::string path = o.spoolFolder + PageFileName(number);
    std::string err;
    if (!emf::WriteFile(path, page, &err)) {
      failure = "writing " + err;
      break;
    }
    r.pages.push_back(path);
    if (o.onPage) o.onPage(path, int(r.pages.size()));
    ++number;
  }
  if (in.TimedOut())
    failure = "rendering took longer than " +
              (o.timeoutMs % 1000 ? std::to_string(o.timeoutMs) + " ms" : std::to_string(o.timeoutMs / 1000) + " s");
  if (!failure.empty() || g_cancel) ::kill(pid, SIGKILL);
  ::close(fds[0]);
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  g_child = 0;

  if (g_cancel) {
    r.status = kBackendCancel;
    r.error = "the job was cancelled";
  } else if (!failure.empty()) {
    r.error = failure;
  } else if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
    r.error = "Ghostscript could not render the document (" +
              (WIFEXITED(st) ? "exit code " + std::to_string(WEXITSTATUS(st))
                             : "signal " + std::to_string(WTERMSIG(st))) +
              ")";
  } else if (r.pages.empty()) {
    r.error = "the document has no pages";
  } else {
    r.status = kBackendOk;
  }
  if (r.status != kBackendOk) {
    // All or nothing: a failed job leaves no pages of its own behind.
    for (const auto& p : r.pages) ::unlink(p.c_str());
    r.pages.clear();
  }
  ::close(dirFd);  // releases the lock
  return r;
}

RenderResult RenderForAgent(const RenderOptions& o, const std::string& jobId, std::string* jobFolder) {
  RenderResult r;
  std::string root = HandoffFolder(o.spoolFolder);
  // The user's spool folder may not exist yet when Brevant has never run.
  for (const std::string& dir : {o.spoolFolder, root}) {
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      r.error = "cannot create " + dir + ": " + std::strerror(errno);
      return r;
    }
  }
  std::string part = root + jobId + ".part/";
  // A folder left by a job that was killed half-way is not this job's.
  std::error_code ec;
  std::filesystem::remove_all(part, ec);
  if (::mkdir(part.c_str(), 0755) != 0) {
    r.error = "cannot create " + part + ": " + std::strerror(errno);
    return r;
  }
  RenderOptions into = o;
  into.spoolFolder = part;
  r = RenderToSpool(into);
  if (r.status == kBackendOk) {
    // The agent only sees the job once its name loses ".part": renaming
    // the folder makes every page appear at once.
    for (int n = 1; n < 1000; ++n) {
      std::string name = root + jobId + (n == 1 ? "" : "-" + std::to_string(n));
      if (::rename(part.substr(0, part.size() - 1).c_str(), name.c_str()) == 0) {
        *jobFolder = name + "/";
        for (auto& p : r.pages) p = *jobFolder + p.substr(part.size());
        return r;
      }
      if (errno != EEXIST && errno != ENOTEMPTY) break;
    }
    r.status = kBackendFailed;
    r.error = "cannot publish the job folder " + part + ": " + std::strerror(errno);
    r.pages.clear();
  }
  std::filesystem::remove_all(part, ec);
  return r;
}

}  // namespace brevant::vestrel
