#include "tests/mail/MailTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "common/MailAccount.h"
#include "platform/fs/Files.h"
#include "tests/support/TestWorld.h"

namespace fs = std::filesystem;

namespace brevant::test {

SmtpServer::SmtpServer(std::string dropFolder) : drop_(std::move(dropFolder)) {
  fs::create_directories(drop_);
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    why_ = "no pipe";
    return;
  }
  const std::string script = SourceDir() + "/tests/mail/smtp_drop.py", log = drop_ + ".log";
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that dies
    ::dup2(out[1], STDOUT_FILENO);
    int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err >= 0) ::dup2(err, STDERR_FILENO);
    // Port 0: the server takes a free one and says which.
    ::execl("/usr/bin/python3", "python3", script.c_str(), "127.0.0.1", "0", drop_.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string line;
  pollfd p{out[0], POLLIN, 0};
  char c;
  while (line.find('\n') == std::string::npos && ::poll(&p, 1, 15000) == 1 && ::read(out[0], &c, 1) == 1)
    line += c;
  ::close(out[0]);
  // "smtp_drop listening on 127.0.0.1:PORT, mails into FOLDER"
  auto colon = line.find("127.0.0.1:");
  if (colon != std::string::npos) port_ = std::atoi(line.c_str() + colon + 10);
  if (port_ <= 0) why_ = "smtp_drop.py did not start: " + TestWorld::ReadFile(log);
}

SmtpServer::~SmtpServer() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
}

bool SmtpServer::Use(const std::string& user, const std::string& password) const {
  mail::Account a;
  a.server = "127.0.0.1";
  a.port = port_;
  a.sender = "fax.user@brevant.test";
  a.user = user;
  a.password = password;
  a.timeoutSeconds = 5;
  mail::SaveAccount(a);
  return port_ > 0;
}

std::vector<Received> SmtpServer::ReceivedWith(const std::string& marker, std::size_t atLeast) const {
  std::vector<Received> out;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    out.clear();
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(drop_, ec)) {
      if (e.path().extension() != ".eml") continue;
      std::string raw = TestWorld::ReadFile(e.path().string());
      if (raw.find(marker) == std::string::npos) continue;
      Received r;
      r.raw = raw;
      auto p = raw.find("X-Smtp-Rcpt-To: ");
      if (p != std::string::npos) r.rcptTo = raw.substr(p + 16, raw.find("\r\n", p) - p - 16);
      r.item = mail::FromMime(raw);
      out.push_back(std::move(r));
    }
    if (out.size() >= atLeast || std::chrono::steady_clock::now() > until) return out;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::vector<mail::MailItem> ItemsOf(const mail::Folder& folder) {
  std::vector<mail::MailItem> out;
  mail::Items all = folder.AllItems();
  for (std::size_t i = 1; i <= all.Count(); ++i) out.push_back(all.Item(i));
  return out;
}

}  // namespace brevant::test
