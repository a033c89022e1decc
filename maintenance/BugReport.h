#pragma once
// Diagnostics: the bug report. Its body is a dump of the installation
// (versions, system, mail program and session, fax service and devices,
// processes, suite files, configuration, printers); the program's logs go
// with it as attachments. The report becomes a mail item in the Outbox of
// the mail store and opens in the user's mail program, where the user types
// a description above the dump and sends it.
#include <functional>
#include <string>
#include <vector>

namespace brevant {

// Makes the bug report ("bug", Init.BugReport) and shows it to the user: as
// a mail item in the mail program when there is one, else as a "mailto:"
// link opened through the shell.
void MakeBugReport();

// One installed printer as the report lists it.
struct PrinterRecord {
  std::string name, driver, printProcessor, datatype;
};

// What the fax service told about itself and its devices (XP) or ports. A
// value the service does not report stays empty.
struct FaxDeviceInfo {
  std::string DeviceName, Description, PoweredOff, ReceiveMode, RingsBeforeAnswer, SendEnabled, CSID, TSID;
};
struct FaxPortInfo {
  std::string CanModify, Send, Receive, Rings, Priority, TSID, CSID, DeviceId;
};
// A SIP line as the service reports it: its registration state and what
// its calls learnt of each number (never its password).
struct FaxSipLineInfo {
  std::string DeviceName, Status, T38Memory;
};
struct FaxServiceReport {
  bool created = false;
  std::string createError;  // why the server object could not be made
  bool connected = false;
  std::string grantedRights;           // hexadecimal, upper case; "" when not reported (XP only)
  std::vector<FaxDeviceInfo> devices;  // XP
  std::vector<FaxPortInfo> ports;      // older systems
  std::vector<FaxSipLineInfo> sipLines;
};

// The mail program that shows the report: the command line "MailProgram" of
// the mail account key (current user) when set, else the desktop's program
// for mail messages (message/rfc822), reached through xdg-open.
struct MailProgram {
  std::string name;                  // "Thunderbird", or the configured program's file name
  std::string version;               // the first line of its "--version", "" when it says none
  std::vector<std::string> command;  // the report's .eml is added as last argument
  bool Present() const { return !command.empty(); }
};

// The report's probes; each can be replaced (tests).
struct BugReportProbes {
  std::function<MailProgram()> mailProgram;
  // The mail store opens, so the report can be an item of its Outbox.
  std::function<bool()> mailStore;
  // A CDO session exists after mCommon::SetCDOSession (kept even when its
  // logon fails): the "MAPI:" line.
  std::function<bool()> cdoSession;
  std::function<FaxServiceReport(bool xp, const std::string& computerName)> faxService;
  std::function<std::vector<PrinterRecord>()> printers;
  std::function<std::string()> osDescription;
  std::function<std::string()> xpCheck;  // "XP" or ""
};
// The probes of this machine: the configured or desktop mail program, the
// mail store and session, a fax server of its own connected to the fax
// service, the spooler's printers, the operating-system description.
BugReportProbes DefaultBugReportProbes();

// The report as built: body text (CR LF lines), the logs to attach and the
// logs to delete once the report is kept.
struct BugReportText {
  std::string body;
  std::vector<std::string> attachments;
  std::vector<std::string> consumedLogs;
  bool withMailItem = false;
  MailProgram program;
};
BugReportText BuildBugReport(const BugReportProbes& probes);

// Shows a built report. With a mail item: the item (To, Subject, Body, high
// importance, the logs attached) is saved in the Outbox, the logs are
// deleted, and the item opens in the mail program as an unsent message
// ("Pelorin Bug Report.eml" in the temporary folder). Without: "mailto:" +
// address + "?subject=" + subject + "&body=" + body + ";" through the shell,
// and the error log, now in the body, is deleted. True when it was shown.
bool ShowBugReport(const BugReportText& report);

// The "Version" value of "SOFTWARE\Norvane\Pelorin" (local machine); "" when
// missing.
std::string ProductVersion();

inline constexpr const char* kSupportAddress = "support@norvane.com";
inline constexpr const char* kBugReportSubject = "Pelorin Bug Report";
inline constexpr const char* kBugReportFile = "Pelorin Bug Report.eml";

}  // namespace brevant
