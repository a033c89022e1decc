#pragma once
// The print queues the pipeline works with, through CUPS: the fax printer's
// name, the user's default printer (switched to the fax printer while a
// document prints, then restored), the number of jobs waiting in a queue,
// and handing a file to a queue.
//
// The pipeline's view of the printer objects (CPrinterInfo and the
// spooler layer under them): only what it needs, with its waits.
#include <map>
#include <string>

namespace brevant::render {

// "Vestrel"; BREVANT_FAX_PRINTER names another queue (test queues).
std::string FaxPrinterName();

// The user's default printer ("" when there is none or CUPS does not
// answer).
std::string GetDefaultPrinter();
// Makes name the user's default printer (DeviceName, then IsDefault);
// "" takes the user's own default away again. False when CUPS does not
// answer or knows no such queue.
bool SetDefaultPrinter(const std::string& name, std::string* error = nullptr);

// Jobs not yet finished in the queue; -1 when the scheduler does not answer.
int QueueJobCount(const std::string& printer);

// Polls every pollMs (letting window messages run) until the queue holds
// no job. The wait ends, with an error record under source, when timeoutMs
// passed (< 0: the configured limit, BREVANT_QUEUE_TIMEOUT_MS, default
// 660 s: longer than the fax printer takes for any job) or when the
// scheduler stops answering. Returns true when the queue emptied.
bool WaitQueueEmpty(const std::string& printer, const std::string& source, long timeoutMs = -1,
                    long pollMs = 10);

// Hands a file to a queue ("" = the default destination) and returns the
// job id, 0 on failure. Options are IPP job attributes ("fit-to-page").
int SubmitFile(const std::string& printer, const std::string& path, const std::string& title,
               const std::map<std::string, std::string>& options, std::string* error);

// The default printer switched to the fax printer for one document and
// the previous one restored when the object goes.
class DefaultPrinterSwitch {
 public:
  DefaultPrinterSwitch();
  ~DefaultPrinterSwitch();
  DefaultPrinterSwitch(const DefaultPrinterSwitch&) = delete;
  DefaultPrinterSwitch& operator=(const DefaultPrinterSwitch&) = delete;
  const std::string& Previous() const { return previous_; }

 private:
  std::string previous_;
};

}  // namespace brevant::render
