#include "tests/mail/MailTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/fs/Files.h"
#include "tests/support/TestWorld.h"

namespace fs = std::filesystem;

namespace brevant::test {

namespace {
std::string Env(const char* name, const char* otherwise) {
  const char* v = std::getenv(name);
  return v && *v ? v : otherwise;
}
int SmtpPort() { return std::atoi(Env("BREVANT_SMTP_PORT", "8025").c_str()); }

bool Answers() {
  platform::UniqueFd sock(::socket(AF_INET, SOCK_STREAM, 0));
  const int fd = sock.get();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(SmtpPort()));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}
}  // namespace

bool EnsureSmtpServer() {
  return Answers() ||
         (std::system(("bash " + SourceDir() + "/scripts/services.d/20-smtp.sh >/dev/null 2>&1").c_str()) == 0 &&
          Answers());
}

void UseLocalSmtp(const std::string& user, const std::string& password) {
  mail::Account a;
  a.server = "127.0.0.1";
  a.port = SmtpPort();
  a.sender = "fax.user@brevant.test";
  a.user = user;
  a.password = password;
  a.timeoutSeconds = 5;
  mail::SaveAccount(a);
}

std::vector<Received> ReceivedWith(const std::string& marker, std::size_t atLeast) {
  std::vector<Received> out;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    out.clear();
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(Env("BREVANT_SMTP_SPOOL", "/tmp/brevant-smtp"), ec)) {
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
