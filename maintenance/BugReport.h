#pragma once
// Diagnostics: the bug report mail. Its body is a dump of the installation
// (versions, system, mail, fax service and devices, processes, suite files,
// configuration, printers); the program's logs go with it as attachments.
#include <functional>
#include <string>
#include <vector>

namespace brevant {

// Makes and sends the bug report ("bug", Init.BugReport): through the SMTP
// server with the logs attached when it can be reached, else as a "mailto:"
// link opened through the shell.
void MakeBugReport();

// One installed printer as the report lists it.
struct PrinterRecord {
  std::string name, driver, printProcessor, datatype;
};

// What the fax service told about itself and its devices (XP) or ports.
struct FaxDeviceInfo {
  std::string DeviceName, Description, PoweredOff, ReceiveMode, RingsBeforeAnswer, SendEnabled,
      CSID, TSID;
};
struct FaxPortInfo {
  std::string CanModify, Send, Receive, Rings, Priority, TSID, CSID, DeviceId;
};
struct FaxServiceReport {
  bool created = false;
  std::string createError;  // why the server object could not be made
  bool connected = false;
  unsigned long grantedRights = 0;  // XP only
  std::vector<FaxDeviceInfo> devices;  // XP
  std::vector<FaxPortInfo> ports;      // older systems
};

// The report's probes; each can be replaced (tests, and the fax service
// client once it is connected).
struct BugReportProbes {
  // A mail item can be made: the SMTP server accepts connections.
  std::function<bool()> mailClient;
  std::function<std::string()> mailClientVersion;
  std::function<FaxServiceReport(bool xp, const std::string& computerName)> faxService;
  std::function<std::vector<PrinterRecord>()> printers;
  std::function<std::string()> osDescription;
  std::function<std::string()> xpCheck;  // "XP" or ""
};
// The probes of this build: SMTP reachability, CUPS printers, uname and
// /etc/os-release, the version record in the registry store, and a fax
// service probe that reports the service as not available until one is set
// with SetFaxServiceProbe.
BugReportProbes DefaultBugReportProbes();
void SetFaxServiceProbe(std::function<FaxServiceReport(bool xp, const std::string& computerName)> probe);

// The report as built: body text (CR LF lines), the logs to attach and the
// logs to delete once the report has gone.
struct BugReportText {
  std::string body;
  std::vector<std::string> attachments;
  std::vector<std::string> consumedLogs;
  bool withMailItem = false;
};
BugReportText BuildBugReport(const BugReportProbes& probes);

// Sends a built report: SMTP when withMailItem, else "mailto:" + address +
// "?subject=" + subject + "&body=" + body + ";" through the shell. Deletes
// the consumed logs when the report went out. True when it went.
bool SendBugReport(const BugReportText& report);

// The "Version" value of "SOFTWARE\Norvane\Pelorin" (local machine); "" when
// missing.
std::string ProductVersion();

inline constexpr const char* kSupportAddress = "support@norvane.com";
inline constexpr const char* kBugReportSubject = "Pelorin Bug Report";

}  // namespace brevant
