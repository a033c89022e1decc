#include "tools/vestrel/Backend.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
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

#include "faxservice/protocol/FaxTiff.h"
#include "platform/emf/Emf.h"
#include "platform/fs/Files.h"
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

// Starts the renderer with its output on `out`, as `uid`/`gid` when given
// (the process itself stays who it is). 0 or the errno of the failed start.
int SpawnRenderer(std::vector<char*>& argv, int out, uid_t uid, gid_t gid, pid_t* pid) {
  if (uid == uid_t(-1)) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out, 1);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    int rc = posix_spawnp(pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc;
  }
  // The child reports a failed set-up or exec through this pipe.
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return errno;
  platform::UniqueFd report[2] = {platform::UniqueFd(ends[0]), platform::UniqueFd(ends[1])};
  pid_t child = ::fork();
  if (child < 0) return errno;
  if (child == 0) {
    int e = 0;
    if (::setgroups(1, &gid) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0 || ::getuid() != uid ||
        ::geteuid() != uid)
      e = errno ? errno : EPERM;
    int in = e ? -1 : ::open("/dev/null", O_RDONLY);
    if (!e && (in < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0)) e = errno;
    if (!e) {
      ::execvp(argv[0], argv.data());
      e = errno;
    }
    [[maybe_unused]] auto n = ::write(report[1].get(), &e, sizeof e);
    ::_exit(127);
  }
  report[1].reset();
  int e = 0;
  ssize_t n;
  while ((n = ::read(report[0].get(), &e, sizeof e)) < 0 && errno == EINTR) {
  }
  report[0].reset();
  if (n == sizeof e) {
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return e;
  }
  *pid = child;
  return 0;
}

}  // namespace

void RequestCancel() {
  g_cancel = 1;
  pid_t pid = g_child;
  if (pid > 0) ::kill(pid, SIGKILL);
}

void ClearCancel() {
  g_cancel = 0;
}

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
    } else if (key == "events" || key == "programdir") {
      if (value.empty() || value[0] != '/' || value.find('\0') != std::string::npos) return false;
      (key == "events" ? d.eventsDir : d.programDir) = value;
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

bool FitsPrintableArea(const std::string& contentType, const std::string& options) {
  const bool authored = contentType == "application/pdf" || contentType == "application/postscript";
  return authored && (" " + options + " ").find(" print-scaling=none ") == std::string::npos;
}

std::string ProgramSpoolFolder(const DeviceUri& device) {
  if (device.programDir.empty() || ::access(device.programDir.c_str(), W_OK) != 0) return "";
  std::string dir = device.programDir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir + "/QuorSpool/";
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
  platform::UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd ? NextPageNumberAt(fd.get()) : 1;
}

int NextPageNumberAt(int folderFd) {
  int highest = 0;
  platform::UniqueFd fd(::fcntl(folderFd, F_DUPFD_CLOEXEC, 0));
  DIR* d = fd ? ::fdopendir(fd.get()) : nullptr;
  if (!d) return 1;
  fd.release();  // closedir closes it
  ::rewinddir(d);
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
    if (platform::WriteAll(out, head.data(), head.size()) != 0) {
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
      if (platform::WriteAll(out, buf, std::size_t(n)) != 0) {
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
  if (platform::WriteAll(out, all.data() + pos, end - pos) != 0) {
    *error = std::string("writing the document: ") + std::strerror(errno);
    return false;
  }
  return true;
}

RenderResult RenderToSpool(const RenderOptions& o) {
  RenderResult r;
  const long deadline = NowMs() + o.timeoutMs;

  if (::geteuid() == 0 && (o.renderUid == uid_t(-1) || o.renderUid == 0)) {
    r.error = "the document is not rendered with root's rights";
    return r;
  }
  platform::UniqueFd dir(o.folderFd >= 0 ? ::fcntl(o.folderFd, F_DUPFD_CLOEXEC, 0)
                                         : ::open(o.spoolFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const int dirFd = dir.get();
  if (!dir) {
    r.error = "spool folder " + o.spoolFolder + ": " + std::strerror(errno);
    return r;
  }
  if (::faccessat(dirFd, ".", W_OK, AT_EACCESS) != 0) {
    r.error = "spool folder " + o.spoolFolder + " is not writable: " + std::strerror(errno);
    return r;
  }
  // Another job writing into the same folder finishes its numbering first.
  while (::flock(dirFd, LOCK_EX | LOCK_NB) != 0) {
    if (g_cancel || NowMs() >= deadline) {
      r.status = g_cancel ? kBackendCancel : kBackendFailed;
      r.error = "spool folder " + o.spoolFolder + " stayed locked by another job";
      return r;
    }
    ::usleep(20000);
  }

  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    r.error = std::string("pipe: ") + std::strerror(errno);
    return r;
  }
  platform::UniqueFd fds[2] = {platform::UniqueFd(ends[0]), platform::UniqueFd(ends[1])};
  // Room for a couple of pages in the pipe, so Ghostscript renders on while
  // a page file is being written.
  ::fcntl(fds[0].get(), F_SETPIPE_SZ, 1 << 20);
  const int areaWidth = o.fitPrintable ? faxsvc::kPrintableWidth : kPageWidth;
  const int areaHeight = o.fitPrintable ? faxsvc::kPrintableHeight : kPageHeight;
  std::vector<std::string> args = {o.ghostscript,
                                   "-q",
                                   "-dSAFER",
                                   "-dBATCH",
                                   "-dNOPAUSE",
                                   "-dNOPROMPT",
                                   "-sstdout=%stderr",
                                   "-sDEVICE=pbmraw",
                                   "-r" + std::to_string(kXdpi) + "x" + std::to_string(kYdpi),
                                   "-g" + std::to_string(areaWidth) + "x" + std::to_string(areaHeight),
                                   "-dFIXEDMEDIA",
                                   "-dPDFFitPage",
                                   "-sOutputFile=-",
                                   "-f",
                                   o.document};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = SpawnRenderer(argv, fds[1].get(), o.renderUid, o.renderGid, &pid);
  fds[1].reset();
  if (rc != 0) {
    r.error = "cannot start " + o.ghostscript + ": " + std::strerror(rc);
    return r;
  }
  g_child = pid;
  if (g_cancel) ::kill(pid, SIGKILL);

  int number = NextPageNumberAt(dirFd);
  PipeReader in(fds[0].get(), deadline);
  emf::Page page, area;
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
    emf::Page& rendered = o.fitPrintable ? area : page;
    rendered.Resize(w, h);
    if (!in.Read(rendered.bits.data(), rendered.bits.size())) {
      failure = "a rendered page was cut short";
      break;
    }
    if (o.fitPrintable) {
      // The printable area's rows go onto a white page at their place; its
      // left edge is on a byte boundary.
      static_assert(faxsvc::kPrintableLeft % 8 == 0);
      page.Resize(kPageWidth, kPageHeight);
      const std::size_t skip = faxsvc::kPrintableLeft / 8;
      const std::size_t bytes = std::min(area.Stride(), page.Stride() - skip);
      for (int y = 0; y < std::min(h, kPageHeight - faxsvc::kPrintableTop); ++y)
        std::memcpy(&page.bits[std::size_t(y + faxsvc::kPrintableTop) * page.Stride() + skip],
                    &area.bits[std::size_t(y) * area.Stride()], bytes);
    }
    std::string path = o.spoolFolder + PageFileName(number);
    std::string err;
    if (!emf::WriteFileAt(dirFd, PageFileName(number), page, &err)) {
      failure = "writing " + o.spoolFolder + err;
      break;
    }
    r.pages.push_back(path);
    if (o.onPage) o.onPage(path, int(r.pages.size()));
    ++number;
  }
  if (in.TimedOut())
    failure =
        "rendering took longer than " + (o.timeoutMs % 1000 ? std::to_string(o.timeoutMs) + " ms"
                                                            : std::to_string(o.timeoutMs / 1000) + " s");
  if (!failure.empty() || g_cancel) ::kill(pid, SIGKILL);
  fds[0].reset();
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
    for (const auto& p : r.pages) ::unlinkat(dirFd, p.substr(p.find_last_of('/') + 1).c_str(), 0);
    r.pages.clear();
  }
  dir.reset();  // releases the lock
  return r;
}

namespace {

// Removes a job folder left by a job that was killed half-way: its page
// files, then the folder. Nothing is followed through a symlink.
void RemoveJobFolder(int parentFd, const std::string& name) {
  platform::UniqueFd fd(::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (DIR* d = fd ? ::fdopendir(fd.get()) : nullptr) {
    const int dirFd = fd.release();  // closedir closes it
    while (dirent* e = ::readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        ::unlinkat(dirFd, e->d_name, 0);
    ::closedir(d);
  }
  ::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR);
}

// A folder inside parentFd, made when missing, opened without following a
// symlink and checked to be this process's own.
platform::UniqueFd SubFolder(int parentFd, const std::string& name, std::string* error) {
  if (::mkdirat(parentFd, name.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = std::strerror(errno);
    return {};
  }
  platform::UniqueFd fd(::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    *error = std::strerror(errno);
    return {};
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH))) {
    *error = "not a folder of this user that only they may change";
    return {};
  }
  return fd;
}

}  // namespace

RenderResult RenderForAgent(const RenderOptions& o, const std::string& jobId, std::string* jobFolder) {
  RenderResult r;
  std::string root = HandoffFolder(o.spoolFolder);
  platform::UniqueFd spool(o.folderFd >= 0 ? ::fcntl(o.folderFd, F_DUPFD_CLOEXEC, 0) : -1);
  if (!spool) {
    // The user's spool folder may not exist yet when Brevant has never run.
    ::mkdir(o.spoolFolder.c_str(), 0700);
    spool.reset(::open(o.spoolFolder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  if (!spool) {
    r.error = "cannot open " + o.spoolFolder + ": " + std::strerror(errno);
    return r;
  }
  platform::UniqueFd rootFolder = SubFolder(spool.get(), "Printed", &r.error);
  spool.reset();
  const int rootFd = rootFolder.get();
  if (!rootFolder) {
    r.error = "cannot create " + root + ": " + r.error;
    return r;
  }
  const std::string partName = jobId + ".part";
  std::string part = root + partName + "/";
  // A folder left by a job that was killed half-way is not this job's.
  RemoveJobFolder(rootFd, partName);
  platform::UniqueFd partFolder = SubFolder(rootFd, partName, &r.error);
  if (!partFolder) {
    r.error = "cannot create " + part + ": " + r.error;
    return r;
  }
  RenderOptions into = o;
  into.spoolFolder = part;
  into.folderFd = partFolder.get();
  r = RenderToSpool(into);
  partFolder.reset();
  if (r.status == kBackendOk) {
    // The agent only sees the job once its name loses ".part": renaming
    // the folder makes every page appear at once.
    for (int n = 1; n < 1000; ++n) {
      std::string name = jobId + (n == 1 ? "" : "-" + std::to_string(n));
      int moved = ::renameat2(rootFd, partName.c_str(), rootFd, name.c_str(), RENAME_NOREPLACE);
      if (moved != 0 && errno == EINVAL)  // a file system without the flag: a non-empty folder still stays
        moved = ::renameat(rootFd, partName.c_str(), rootFd, name.c_str());
      if (moved == 0) {
        *jobFolder = root + name + "/";
        for (auto& p : r.pages) p = *jobFolder + p.substr(part.size());
        return r;
      }
      if (errno != EEXIST && errno != ENOTEMPTY) break;
    }
    r.status = kBackendFailed;
    r.error = "cannot publish the job folder " + part + ": " + std::strerror(errno);
    r.pages.clear();
  }
  RemoveJobFolder(rootFd, partName);
  return r;
}

}  // namespace brevant::vestrel
