#include "tests/printing/CupsWorld.h"

#include <cups/cups.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/arrival/Marks.h"

namespace fs = std::filesystem;

namespace brevant::test {

namespace {
int g_queueSerial = 0;

int JobAttrInt(int jobId, const char* attr, std::string* text = nullptr) {
  ipp_t* req = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
  char uri[256];
  std::snprintf(uri, sizeof uri, "ipp://localhost/jobs/%d", jobId);
  ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri);
  ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "root");
  ipp_t* resp = cupsDoRequest(CUPS_HTTP_DEFAULT, req, "/");
  int v = 0;
  if (resp) {
    if (ipp_attribute_t* a = ippFindAttribute(resp, attr, IPP_TAG_ZERO)) {
      if (text) {
        const char* s = ippGetString(a, 0, nullptr);
        *text = s ? s : "";
      } else {
        v = ippGetInteger(a, 0);
      }
    }
    ippDelete(resp);
  }
  return v;
}
}  // namespace

CupsWorld::CupsWorld() {
  // The user's default printer lives in $HOME/.cups/lpoptions: keep it private.
  ::setenv("HOME", world_.Root().c_str(), 1);
  if (::geteuid() != 0) {
    problem_ = "printing tests install a backend into CUPS and need root";
    return;
  }
  if (Sh("lpstat -r 2>/dev/null | grep -q 'scheduler is running'") != 0) {
    problem_ = "the CUPS scheduler is not running (scripts/services.d/10-cups.sh starts it)";
    return;
  }
  scheme_ = "vestrel-t" + std::to_string(::getpid());
  backendCopy_ = "/usr/lib/cups/backend/" + scheme_;
  std::error_code ec;
  fs::copy_file(BinDir() + "/vestrel", backendCopy_, fs::copy_options::overwrite_existing, ec);
  if (ec || ::chmod(backendCopy_.c_str(), 0700) != 0) {
    problem_ = "cannot install the backend copy " + backendCopy_ + ": " + ec.message();
    backendCopy_.clear();
  }
}

CupsWorld::~CupsWorld() {
  for (const auto& q : queues_) Sh("lpadmin -x " + q + " 2>/dev/null");
  if (!backendCopy_.empty()) ::unlink(backendCopy_.c_str());
}

int CupsWorld::Sh(const std::string& command) {
  int st = std::system(command.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string CupsWorld::AddQueue(const std::string& spool, bool createSpool, const std::string& ppd,
                                const std::string& query) {
  if (createSpool) fs::create_directories(spool);
  std::string name = "BrevantT" + std::to_string(::getpid()) + "_" + std::to_string(++g_queueSerial);
  std::string file = ppd.empty() ? SourceDir() + "/tools/vestrel/vestrel.ppd" : ppd;
  int rc = Sh(
      "lpadmin -p " + name + " -E -v '" + scheme_ + ":" + spool + (query.empty() ? "" : "?" + query) +
      "' -P '" + file +
      "' -D 'Brevant test queue' -L 'test bench' -o printer-error-policy=abort-job -o printer-is-shared=false"
      " -o printer-op-policy=authenticated 2>/dev/null");
  if (rc != 0) return "";
  queues_.push_back(name);
  return name;
}

int CupsWorld::Print(const std::string& queue, const std::string& file, const std::string& title,
                     const std::string& user, int copies) {
  // The scheduler takes the user from the connection's peer credentials:
  // a process that is that user submits the job on a connection of its own.
  const passwd* pw = ::getpwnam(user.empty() ? "root" : user.c_str());
  int id = 0, result[2];
  if (!pw || ::pipe(result) != 0) return 0;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(result[0]);
    if (::initgroups(pw->pw_name, pw->pw_gid) != 0 || ::setgid(pw->pw_gid) != 0 || ::setuid(pw->pw_uid) != 0)
      ::_exit(1);
    cupsSetUser(nullptr);  // the user the parent's connection cached is not this one
    cups_option_t* options = nullptr;
    int n = cupsAddOption("copies", std::to_string(copies).c_str(), 0, &options);
    http_t* http =
        httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 30000, nullptr);
    int job = http ? cupsPrintFile2(http, queue.c_str(), file.c_str(), title.c_str(), n, options) : 0;
    (void)!::write(result[1], &job, sizeof job);
    ::_exit(0);
  }
  ::close(result[1]);
  if (::read(result[0], &id, sizeof id) != ssize_t(sizeof id)) id = 0;
  ::close(result[0]);
  ::waitpid(pid, nullptr, 0);
  return id;
}

int CupsWorld::JobState(int jobId) {
  return JobAttrInt(jobId, "job-state");
}

std::string CupsWorld::JobMessage(int jobId) {
  std::string s;
  JobAttrInt(jobId, "job-printer-state-message", &s);
  return s;
}

int CupsWorld::WaitJobDone(int jobId, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    int st = JobState(jobId);
    if (st >= 7) return st;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}

std::string CupsWorld::PrintDone(const std::string& queue, const std::string& file, const std::string& title,
                                 const std::string& user, int copies) {
  int job = Print(queue, file, title, user, copies);
  if (job <= 0) return "not accepted";
  switch (WaitJobDone(job)) {
    case 9:
      return "completed";
    case 8:
      return "aborted: " + JobMessage(job);
    case 7:
      return "canceled";
  }
  return "timed out";
}

std::vector<std::string> CupsWorld::Pages(const std::string& folder, bool all) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    std::string n = e.path().filename().string();
    if (all || (n.size() == 12 && n.substr(8) == ".emf")) out.push_back(n);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string CupsWorld::MakePdf(int pages, const std::string& name) {
  return MarkedPdf(world_.Root() + "/" + name, std::vector<PageSize>(std::size_t(pages), kA4));
}

}  // namespace brevant::test
