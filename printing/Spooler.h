#pragma once
// The print spooler as the printer-management classes see it: printers and
// jobs as records shaped like the spooler's level-2 information, and the
// control commands. This is the CUPS implementation's interface; libcups
// stays inside Spooler.cpp. Every call opens and closes its own connection
// to the scheduler, so nothing stays open between calls.
//
// Failures are returned as system error codes the status texts understand:
// kErrInvalidPrinterName when the queue does not exist, kErrSpoolerUnavailable
// when the scheduler does not answer, kErrAccessDenied when it refuses.
// These are the print system's own numbers, not the program's run-time
// error numbers (5 is "Access is denied" here, not an invalid call; the fax
// service that cannot be reached is faxsvc::kErrServiceUnreachable, 462).
#include <array>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "printing/CDevMode.h"

namespace brevant::spooler {

constexpr long kErrAccessDenied = 5;
constexpr long kErrInvalidParameter = 87;
constexpr long kErrInvalidPrinterName = 1801;
constexpr long kErrSpoolerUnavailable = 1722;
constexpr long kErrInvalidPrinterCommand = 1803;
constexpr long kErrNotSupported = 50;

using DevModeBytes = std::array<std::uint8_t, CDevMode::kSize>;

// Printer attribute bits and status bits, as the spooler reports them.
constexpr std::uint32_t kAttrDefault = 0x4, kAttrShared = 0x8, kAttrNetwork = 0x10, kAttrLocal = 0x40;

struct PrinterRecord {
  std::string ServerName, PrinterName, ShareName, PortName, DriverName, Comment, Location, SeparatorPageFile,
      PrintProcessor, Datatype, Parameters;
  std::uint32_t Attributes = 0, Priority = 0, DefaultPriority = 0, StartTime = 0, UntilTime = 0, Status = 0,
                cJobs = 0, AveragePPM = 0;
  DevModeBytes devMode{};
};

struct JobRecord {
  std::uint32_t JobId = 0;
  std::string PrinterName, MachineName, UserName, Document, NotifyName, Datatype, PrintProcessor, Parameters,
      DriverName, StatusString;
  std::uint32_t Status = 0, Priority = 0, Position = 0, StartTime = 0, UntilTime = 0, TotalPages = 0,
                Size = 0, Time = 0, PagesPrinted = 0;
  std::time_t Submitted = 0;  // UTC seconds
  DevModeBytes devMode{};
};

// Names of the installed printers in the scheduler's order; *error is 0 or
// the failure.
std::vector<std::string> PrinterNames(long* error);
// The level-2 information of one printer.
long GetPrinter(const std::string& name, PrinterRecord* out);
// The number of jobs waiting or printing on the printer.
long GetJobCount(const std::string& name, std::uint32_t* count);
// The jobs waiting or printing, in queue order (Position 1 upward).
long EnumJobs(const std::string& name, std::vector<JobRecord>* out);

// The highest job id of this user's jobs on the printer, those that ended
// included (0 when there is none).
long NewestJobId(const std::string& name, std::uint32_t* id);
// This user's jobs on the printer newer than afterJobId that the printer
// ended without printing them (aborted), each with the printer's last
// message on it: why it refused the job.
struct RefusedJob {
  std::uint32_t JobId = 0;
  std::string Document, Reason;
};
long RefusedJobs(const std::string& name, std::uint32_t afterJobId, std::vector<RefusedJob>* out);

// Printer commands: 1 pause, 2 resume, 3 purge.
long ControlPrinter(const std::string& name, int command);
// Job commands: 1 pause (hold), 2 resume (release), 3 and 5 cancel,
// 4 restart.
long ControlJob(const std::string& name, std::uint32_t jobId, int command);
// Moves a job by delta places in the queue (by its priority).
long MoveJob(const std::string& name, std::uint32_t jobId, int delta);
// Whether this user may pause, resume and purge the printer.
bool CanAdminister(const std::string& name);

// The user's default destination (lpoptions, else the scheduler's default);
// "" when there is none.
std::string DefaultPrinterName();
// Makes name the user's default destination (the "Default" line of the
// user's lpoptions file). Returns 0 or the failure.
long SetDefaultPrinterName(const std::string& name);

// Queue options kept by the scheduler as "NAME-default" printer attributes.
long SetPrinterOptions(const std::string& name, const std::map<std::string, std::string>& options);
long GetPrinterOption(const std::string& name, const std::string& option, std::string* value);

// The status bits of a printer from its IPP state (3 idle, 4 processing,
// 5 stopped), whether it accepts jobs, and its state reasons.
std::uint32_t PrinterStatusBits(int state, bool accepting, const std::vector<std::string>& reasons);
// The status bits of a job from its IPP job state (3 pending .. 9 completed).
std::uint32_t JobStatusBits(int jobState, const std::vector<std::string>& reasons);

// The scheduler's web page of a printer.
std::string PrinterWebPage(const std::string& name);

// The system's message text for an error code this layer returns, ending in
// CR LF like the system's texts; "" for codes it does not know.
std::string SystemMessage(long code);

}  // namespace brevant::spooler
