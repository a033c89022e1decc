#include "faxservice/daemon/CoverPage.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "faxservice/protocol/FaxTiff.h"
#include "platform/fs/Files.h"
#include "platform/process/Process.h"

namespace brevant::faxd {

namespace {

// A cover sheet drawn in longer than this is given up.
constexpr int kDrawMs = 30000;
// The page's bitmap, with room for its header; a reason, cut.
constexpr std::size_t kMaxPageBytes = 4u << 20;
constexpr std::size_t kMaxReason = 4096;

// The cover page fields (the names cover page templates use) of a fax.
std::vector<std::pair<std::string, std::string>> CoverFields(const faxsvc::Message& f, int documentPages) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char sent[32];
  std::strftime(sent, sizeof sent, "%Y-%m-%d %H:%M", &tm);
  return {{"RecName", f.Get("name")},
          {"RecFaxNumber", f.Get("number")},
          {"SdrName", f.Get("sender_name")},
          {"SdrCompany", f.Get("sender_company")},
          {"SdrFaxNumber", f.Get("sender_fax")},
          {"SdrOfficePhone", f.Get("sender_office_phone")},
          {"SdrEmail", f.Get("sender_email")},
          {"Subject", f.Get("subject")},
          {"Note", f.Get("note")},
          {"TimeSent", sent},
          {"PageCount", std::to_string(documentPages + 1)}};
}

// The page brevant-coversheet handed over (a raw PBM of a fax page's width)
// as a fax page; false when it is anything else.
bool ParsePage(const std::string& pbm, faxsvc::FaxPage* page) {
  int width = 0, height = 0, used = 0;
  if (std::sscanf(pbm.c_str(), "P4\n%d %d\n%n", &width, &height, &used) != 2 || used == 0) return false;
  if (width != 1728 || height < 1 || static_cast<unsigned long>(height) > faxsvc::kMaxFaxRows) return false;
  const std::size_t stride = static_cast<std::size_t>(width) / 8;
  if (pbm.size() - static_cast<std::size_t>(used) != stride * static_cast<std::size_t>(height)) return false;
  page->width = width;
  page->height = height;
  page->pixels.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
  const auto* bits = reinterpret_cast<const unsigned char*>(pbm.data() + used);
  for (std::size_t i = 0; i < page->pixels.size(); ++i) page->pixels[i] = (bits[i / 8] >> (7 - i % 8)) & 1;
  return true;
}

// Runs brevant-coversheet (beside this program) with the fields on its
// input; its output in *page, or false with *why. As root, the drawing runs
// as the user nobody: templates, fonts and Qt never run with the service's
// rights.
bool Draw(const std::string& input, std::string* page, std::string* why) {
  const std::string helper =
      (std::filesystem::path(platform::ExecutablePath()).parent_path() / "brevant-coversheet").string();
  uid_t uid = ::geteuid();
  gid_t gid = ::getegid();
  if (uid == 0) {
    std::vector<char> buf(16384);
    passwd pw{}, *found = nullptr;
    if (::getpwnam_r("nobody", &pw, buf.data(), buf.size(), &found) != 0 || !found || found->pw_uid == 0) {
      *why = "there is no user \"nobody\" to draw the cover page as";
      return false;
    }
    uid = found->pw_uid;
    gid = found->pw_gid;
  }
  // Everything the child needs is made before it is forked: the service has
  // threads, and the child may only make system calls.
  std::vector<std::string> env = {"PATH=/usr/bin:/bin", "HOME=/", "LANG=C.UTF-8",
                                  "QT_QPA_PLATFORM=offscreen"};
  for (const char* pass : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
    if (const char* v = std::getenv(pass)) env.push_back(std::string(pass) + "=" + v);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string arg0 = helper;
  char* argv[] = {arg0.data(), nullptr};

  // The fields go over a socket: a helper that ends before reading them
  // costs the sender an error, not a SIGPIPE.
  int fds[6] = {-1, -1, -1, -1, -1, -1};
  const bool made = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0 &&
                    ::pipe2(fds + 2, O_CLOEXEC) == 0 && ::pipe2(fds + 4, O_CLOEXEC) == 0;
  const int madeErrno = errno;
  platform::UniqueFd in[2] = {platform::UniqueFd(fds[0]), platform::UniqueFd(fds[1])};
  platform::UniqueFd out[2] = {platform::UniqueFd(fds[2]), platform::UniqueFd(fds[3])};
  platform::UniqueFd err[2] = {platform::UniqueFd(fds[4]), platform::UniqueFd(fds[5])};
  if (!made) {
    *why = std::string("cannot start the cover page's drawing: ") + std::strerror(madeErrno);
    return false;
  }
  const bool dropping = uid != ::geteuid();
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::dup2(in[0].get(), 0) < 0 || ::dup2(out[1].get(), 1) < 0 || ::dup2(err[1].get(), 2) < 0 ||
        ::chdir("/") != 0)
      ::_exit(126);
    // Nothing of the service's (clients' connections, its database) goes
    // with it.
    ::close_range(3, ~0u, 0);
    if (dropping && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
  }
  const int forkErrno = errno;
  in[0].reset();
  out[1].reset();
  err[1].reset();
  if (pid < 0) {
    *why = std::string("cannot start the cover page's drawing: ") + std::strerror(forkErrno);
    return false;
  }
  // Writes the fields and reads the page and the reason at the same time,
  // until the helper closes both or the time is up.
  std::string reason;
  std::size_t written = 0;
  bool tooLarge = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrawMs);
  while (out[0] || err[0]) {
    const long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) break;
    pollfd p[3] = {{in[1].get(), POLLOUT, 0}, {out[0].get(), POLLIN, 0}, {err[0].get(), POLLIN, 0}};
    if (::poll(p, 3, static_cast<int>(left)) < 0 && errno != EINTR) break;
    if (in[1] && (p[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n =
          ::send(in[1].get(), input.data() + written, input.size() - written, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) written += static_cast<std::size_t>(n);
      if ((n < 0 && errno != EAGAIN) || written == input.size()) in[1].reset();
    }
    for (int i : {1, 2}) {
      platform::UniqueFd& fd = i == 1 ? out[0] : err[0];
      if (!fd || !(p[i].revents & (POLLIN | POLLERR | POLLHUP))) continue;
      char buf[65536];
      ssize_t n = ::read(fd.get(), buf, sizeof buf);
      if (n <= 0) {
        fd.reset();
      } else if (i == 1) {
        page->append(buf, static_cast<std::size_t>(n));
        if (page->size() > kMaxPageBytes) {
          tooLarge = true;
          fd.reset();
        }
      } else if (reason.size() < kMaxReason) {
        reason.append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  const bool timedOut = out[0] || err[0];
  in[1].reset();
  out[0].reset();
  err[0].reset();
  if (timedOut || tooLarge) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  if (timedOut)
    *why = "the cover page was not drawn in time";
  else if (tooLarge)
    *why = "the cover page's drawing handed over more than a page";
  else if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
    *why = "cannot run " + helper;
  else if (WIFEXITED(status) && WEXITSTATUS(status) == 126)
    *why = "cannot take on the user nobody to draw the cover page";
  else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    *why = reason.empty() ? "the cover page's drawing failed" : reason.substr(0, 512);
  else
    return true;
  return false;
}

}  // namespace

bool MakeCoverPage(const faxsvc::Message& f, int documentPages, const std::string& tiffPath,
                   std::string* why) {
  std::string input;
  for (const auto& [name, value] : CoverFields(f, documentPages)) {
    // A NUL would end the value early; the service's fields hold text.
    input += name + '\0' + value.substr(0, value.find('\0')) + '\0';
  }
  std::string pbm;
  if (!Draw(input, &pbm, why)) return false;
  faxsvc::FaxPage page;
  if (!ParsePage(pbm, &page)) {
    *why = "the cover page's drawing handed over no fax page";
    return false;
  }
  return faxsvc::WriteFaxTiff(tiffPath, {page}, "", why);
}

}  // namespace brevant::faxd
