#include "tools/brevant-printagent/PrintAgent.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

#include "platform/fs/Files.h"
#include "platform/notify/DesktopNotice.h"
#include "platform/process/ChildProcess.h"
#include "platform/process/Process.h"
#include "tools/brevant-printagent/FaxNotices.h"
#include "tools/vestrel/Backend.h"

namespace fs = std::filesystem;

namespace brevant::printagent {

namespace {

void Say(const std::string& text) {
  std::fprintf(stderr, "brevant-printagent: %s\n", text.c_str());
}

// The session ends the agent with SIGTERM (SIGHUP, or SIGINT from a
// terminal). The agent then stops between two steps instead of in the
// middle of one: a fax notice already shown is also marked as told, so the
// next login does not show it again.
int g_endPipe[2] = {-1, -1};

void OnEndSignal(int) {
  const int saved = errno;
  const char c = 0;
  [[maybe_unused]] ssize_t n = ::write(g_endPipe[1], &c, 1);
  errno = saved;
}

void CatchEndSignals() {
  if (g_endPipe[0] < 0 && ::pipe2(g_endPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction sa {};
  sa.sa_handler = OnEndSignal;
  sa.sa_flags = SA_RESTART;
  ::sigemptyset(&sa.sa_mask);
  for (int s : {SIGTERM, SIGHUP, SIGINT}) ::sigaction(s, &sa, nullptr);
}

// Waits up to ms for a change in the folder watched (watch < 0: none) or
// the end of the session; true when the agent is to end.
bool WaitOrEnd(int watch, int ms) {
  pollfd p[2] = {{g_endPipe[0], POLLIN, 0}, {watch, POLLIN, 0}};
  if (::poll(p, 2, ms) > 0 && (p[1].revents & POLLIN)) {
    char buf[4096];
    while (::read(watch, buf, sizeof buf) > 0) {
    }
  }
  return p[0].revents & POLLIN;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string NameOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p.substr(p.rfind('/') + 1);
}

// Moves pages (all in one folder) into the folder `to` under the same
// names, filling *moved with their new paths. On failure the pages moved so
// far go back and *moved is left empty.
bool MovePages(const std::vector<std::string>& pages, const std::string& to, std::vector<std::string>* moved,
               std::string* error) {
  for (const std::string& p : pages) {
    std::string target = to + NameOf(p);
    if (::rename(p.c_str(), target.c_str()) != 0) {
      *error = "cannot move " + p + " to " + to + ": " + std::strerror(errno);
      const std::string from = p.substr(0, p.rfind('/') + 1);
      for (const std::string& m : *moved) ::rename(m.c_str(), (from + NameOf(m)).c_str());
      moved->clear();
      return false;
    }
    moved->push_back(target);
  }
  return true;
}

}  // namespace

std::vector<std::string> PageFiles(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    std::string n = e.path().filename().string();
    if (vestrel::PageNumberOf(n.c_str()) >= 0 && e.is_regular_file(ec)) out.push_back(e.path().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> WaitingJobs(const std::string& handoffFolder) {
  struct Job {
    fs::file_time_type time;
    std::string path;
  };
  std::vector<Job> jobs;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(handoffFolder, ec)) {
    std::string n = e.path().filename().string();
    if (n.empty() || n[0] == '.' || EndsWith(n, ".part") || EndsWith(n, ".failed")) continue;
    if (!e.is_directory(ec)) continue;
    jobs.push_back({e.last_write_time(ec), e.path().string() + "/"});
  }
  std::sort(jobs.begin(), jobs.end(),
            [](const Job& a, const Job& b) { return a.time != b.time ? a.time < b.time : a.path < b.path; });
  std::vector<std::string> out;
  for (auto& j : jobs) out.push_back(std::move(j.path));
  return out;
}

HandOverResult HandOver(const std::string& jobFolder, const Options& o, std::string* message) {
  std::vector<std::string> pages = PageFiles(jobFolder);
  std::error_code ec;
  if (pages.empty()) {
    fs::remove_all(jobFolder, ec);
    *message = "job " + NameOf(jobFolder) + " has no pages; removed";
    return HandOverResult::Taken;
  }
  fs::create_directories(o.spoolFolder, ec);
  // No Brevant runs now (the caller made sure), so pages in the spool folder
  // are left from a run that ended without clearing it; "new" mode 1 would
  // take them for this job's.
  for (const std::string& stale : PageFiles(o.spoolFolder)) ::unlink(stale.c_str());

  std::vector<std::string> moved;
  if (!MovePages(pages, o.spoolFolder, &moved, message)) return HandOverResult::Failed;

  platform::ChildProcess brevant;
  Say("job " + NameOf(jobFolder) + ": opening the Send Fax wizard on " + std::to_string(pages.size()) +
      " page" + (pages.size() == 1 ? "" : "s"));
  if (!brevant.Start({o.brevant, "new;1;"}, "", "", true)) {
    std::string error = brevant.Error();
    std::vector<std::string> back;
    std::string ignored;
    MovePages(moved, jobFolder, &back, &ignored);
    *message = "cannot start " + o.brevant + ": " + error;
    return HandOverResult::Failed;
  }
  brevant.Wait(-1, 200);

  // Brevant copies the pages when it starts and empties the spool folder
  // when its wizard closes; pages still here were not taken over.
  std::vector<std::string> left;
  for (const std::string& m : moved)
    if (::access(m.c_str(), F_OK) == 0) left.push_back(m);
  if (left.size() == moved.size()) {
    std::vector<std::string> back;
    std::string error;
    if (!MovePages(left, jobFolder, &back, &error)) {
      *message = error;
      return HandOverResult::Failed;
    }
    *message = "Brevant (exit code " + std::to_string(brevant.ExitCode()) + ") did not take job " +
               NameOf(jobFolder) + "; it waits";
    return HandOverResult::NotTaken;
  }
  fs::remove_all(jobFolder, ec);
  *message = "job " + NameOf(jobFolder) + " (" + std::to_string(pages.size()) + " page" +
             (pages.size() == 1 ? "" : "s") + ") handed to Brevant";
  return HandOverResult::Taken;
}

int Run(const Options& o) {
  const std::string handoff = vestrel::HandoffFolder(o.spoolFolder);
  std::error_code ec;
  fs::create_directories(handoff, ec);
  if (ec) {
    Say("cannot create " + handoff + ": " + ec.message());
    return 1;
  }
  // One agent per user: a second one (the session started it twice) leaves.
  platform::UniqueFd lock(::open((handoff + ".agent.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    Say("another print agent already watches " + handoff);
    return o.once ? 1 : 0;
  }
  platform::UniqueFd watching(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (watching &&
      ::inotify_add_watch(watching.get(), handoff.c_str(), IN_MOVED_TO | IN_CREATE | IN_ATTRIB) < 0)
    watching.reset();
  const int watch = watching.get();
  if (!o.once) Say("watching " + handoff);
  // A failed fax asks for the user's action: it stays on screen until seen.
  auto show = [](const Notice& n, std::string* why) {
    return platform::ShowDesktopNotice("Pelorin Fax", n.summary, n.body, platform::NoticeUrgency::Critical,
                                       why);
  };
  if (!o.once) CatchEndSignals();
  std::unique_ptr<FaxNoticeThread> notices;
  if (!o.once && o.noticePollMs > 0)
    notices = std::make_unique<FaxNoticeThread>(std::make_unique<FaxNotices>(handoff + ".fax-notices", show),
                                                o.noticePollMs);

  const std::string program = NameOf(o.brevant);
  std::map<std::string, int> attempts;
  for (;;) {
    for (const std::string& job : WaitingJobs(handoff)) {
      // A Brevant that runs now would be in the way: it either ignores a
      // second wizard or clears the spool folder under it.
      while (platform::ProgramRunning(program))
        if (WaitOrEnd(-1, o.busyPollMs)) return 0;
      std::string message;
      HandOverResult r = HandOver(job, o, &message);
      Say(message);
      if (r == HandOverResult::Taken) {
        attempts.erase(job);
      } else if (++attempts[job] >= o.maxAttempts) {
        std::string aside = job.substr(0, job.size() - 1) + ".failed";
        ::rename(job.substr(0, job.size() - 1).c_str(), aside.c_str());
        Say("job " + NameOf(job) + " set aside in " + aside + " after " + std::to_string(o.maxAttempts) +
            " attempts");
        attempts.erase(job);
      }
      if (r != HandOverResult::Taken) break;  // look again from the oldest job
    }
    if (o.once && WaitingJobs(handoff).empty()) break;
    if (o.once) continue;
    if (WaitOrEnd(watch, o.pollMs)) break;
  }
  // The notice thread ends after the step it is in.
  return 0;
}

}  // namespace brevant::printagent
