#pragma once
// What the mail tests share: the local SMTP server (BREVANT_SMTP_PORT and
// BREVANT_SMTP_SPOOL, as its service script uses them) and the mails it
// received, and the items of a Maildir folder.
#include <string>
#include <vector>

#include "platform/mail/MailStore.h"

namespace brevant::test {

// Starts the server through scripts/services.d/20-smtp.sh when it does not
// answer yet; true when it answers.
bool EnsureSmtpServer();
// Points the mail account at the local server.
void UseLocalSmtp(const std::string& user = "", const std::string& password = "");

struct Received {
  std::string raw;        // the file as the server wrote it
  std::string rcptTo;     // envelope recipients as the server recorded them
  mail::MailItem item;    // parsed back with GMime
};
// The mails received whose raw text contains marker, waiting up to 5 s for
// at least `atLeast` of them.
std::vector<Received> ReceivedWith(const std::string& marker, std::size_t atLeast = 1);

// Every item of a Maildir folder parsed from its file.
std::vector<mail::MailItem> ItemsOf(const mail::Folder& folder);

}  // namespace brevant::test
