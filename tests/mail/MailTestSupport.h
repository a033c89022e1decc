#pragma once
// What the mail tests share: a private SMTP server and the mails it
// received, and the items of a Maildir folder.
#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/mail/MailStore.h"

namespace brevant::test {

struct Received {
  std::string raw;      // the file as the server wrote it
  std::string rcptTo;   // envelope recipients as the server recorded them
  mail::MailItem item;  // parsed back with GMime
};

// An SMTP server of one test (tests/mail/smtp_drop.py): a free port of the
// loopback, the mails it accepts written into a folder of its own, ended
// with the object. Tests in one process never see each other's mails.
class SmtpServer {
 public:
  explicit SmtpServer(std::string dropFolder);
  ~SmtpServer();
  SmtpServer(const SmtpServer&) = delete;
  SmtpServer& operator=(const SmtpServer&) = delete;

  // Points the mail account at this server; false when the server did not
  // come up (Why says why).
  bool Use(const std::string& user = "", const std::string& password = "") const;
  const std::string& Why() const { return why_; }
  // The mails received whose raw text contains marker, waiting up to 5 s
  // for at least `atLeast` of them.
  std::vector<Received> ReceivedWith(const std::string& marker, std::size_t atLeast = 1) const;

 private:
  std::string drop_, why_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// Every item of a Maildir folder parsed from its file.
std::vector<mail::MailItem> ItemsOf(const mail::Folder& folder);

}  // namespace brevant::test
