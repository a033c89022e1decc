#pragma once
// The print queues the pipeline works with, through CUPS: the fax printer's
// name, the user's default printer (switched to the fax printer while a
// document prints, then restored), the number of jobs waiting in a queue,
// and handing a file to a queue.
//
// The pipeline's view of the spooler layer under the printer objects:
// only what it needs, with its waits, in as few requests to the scheduler
// as it can.
#include <functional>
#include <map>
#include <string>
#include <utility>

namespace brevant::render {

// "Vestrel"; BREVANT_FAX_PRINTER names another queue (test queues).
std::string FaxPrinterName();

// Whether the fax printer's queue is there to print to. False with *why
// (the sentence the user is shown) when the queue is missing or the print
// scheduler does not answer.
bool FaxPrinterInstalled(std::string* why);

// The user's default printer ("" when there is none or CUPS does not
// answer).
std::string GetDefaultPrinter();
// Makes name the user's default printer (the "Default" line of the
// user's lpoptions); "" takes the user's own default away again. False
// when CUPS does not answer or knows no such queue.
bool SetDefaultPrinter(const std::string& name, std::string* error = nullptr);

// Jobs not yet finished in the queue; -1 when the scheduler does not answer.
int QueueJobCount(const std::string& printer);

// Asks at once, then every pollMs (letting window messages run), until the
// queue holds no job. The wait ends, with an error record under source,
// when timeoutMs passed (< 0: the configured limit,
// BREVANT_QUEUE_TIMEOUT_MS, default 660 s: longer than the fax printer
// takes for any job) or when the scheduler stops answering. Returns true
// when the queue emptied.
bool WaitQueueEmpty(const std::string& printer, const std::string& source, long timeoutMs = -1,
                    long pollMs = 10);

// Hands a file to a queue ("" = the default destination) and returns the
// job id, 0 on failure. Options are IPP job attributes ("fit-to-page").
int SubmitFile(const std::string& printer, const std::string& path, const std::string& title,
               const std::map<std::string, std::string>& options, std::string* error);

// The default printer switched to the fax printer for one document and
// the previous one restored when the object goes. PRINTER and LPDEST name
// the fax printer meanwhile: the print programs started for the document
// take those before the user's default, so a printer named there never
// gets the fax's pages.
class DefaultPrinterSwitch {
 public:
  DefaultPrinterSwitch();
  ~DefaultPrinterSwitch();
  DefaultPrinterSwitch(const DefaultPrinterSwitch&) = delete;
  DefaultPrinterSwitch& operator=(const DefaultPrinterSwitch&) = delete;
  const std::string& Previous() const { return previous_; }

 private:
  std::string previous_;
  // The user's own PRINTER and LPDEST ("" with false when unset).
  std::pair<bool, std::string> printer_, lpdest_;
};

// Prints one document (or cover page) the way every print of a fax is
// made: the fax printer the default printer and "FaxPrinter" held while
// print runs, then the queue awaited (failures recorded under source).
// Returns why the fax printer refused what print handed it: for each of
// this user's jobs it aborted meanwhile, "The fax printer "Vestrel" refused
// NAME: " and its message, one a line; "" when it refused none. A refusal
// is also recorded under source.
std::string PrintOnFaxPrinter(const std::string& source, const std::function<void()>& print);

}  // namespace brevant::render
