#pragma once
// Sending the bug report: one plain-text mail with files attached, handed to
// the SMTP server named in the registry store. Kept apart from the mail layer
// so that it can be swapped for it without touching the report.
#include <string>
#include <vector>

namespace brevant {

struct ReportMessage {
  std::string from;
  std::string to;
  std::string subject;
  std::string body;                      // lines end in CR LF
  std::vector<std::string> attachments;  // file paths
};

// "host:port" of the SMTP server: "SmtpServer" of "Software\Norvane\Pelorin"
// (current user first, then local machine), else "localhost:25".
std::string ReportMailServer();

// True when the SMTP server accepts a connection within timeoutMs.
bool ReportMailReachable(long timeoutMs = 2000);

// The message as it goes over the wire: headers, a text part and one base64
// part per attachment, every line ended by CR LF. Throws VbError when an
// attachment cannot be read.
std::string ComposeReportMessage(const ReportMessage& m);

// Sends m. On failure returns false and says why in *error.
bool SendReportMail(const ReportMessage& m, std::string* error);

}  // namespace brevant
