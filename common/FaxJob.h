#pragma once
// The fax job: the one process-wide record of the fax being composed, and
// the process-wide state that start-up sets for the rest of the run.
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "platform/ui/Ui.h"

namespace brevant {

// A list indexed from 1: entry 0 exists but is never used, and the count is
// the highest index. An empty list has only entry 0.
template <class T>
class VbList {
 public:
  VbList() : items_(1) {}
  std::size_t Count() const { return items_.size() - 1; }
  bool Empty() const { return Count() == 0; }
  // Entries 1..n stay, new ones are empty.
  void Resize(std::size_t n) { items_.resize(n + 1); }
  void Clear() { items_.assign(1, T()); }
  T& operator[](std::size_t i) { return items_.at(i); }
  const T& operator[](std::size_t i) const { return items_.at(i); }
  void Append(T v) { items_.push_back(std::move(v)); }

 private:
  std::vector<T> items_;
};

using DateTime = std::chrono::system_clock::time_point;

// A date and time as the user's clock shows it, with no time zone: the fax
// job's send time. Calendar arithmetic on it never crosses a daylight-saving
// change, and a time the clock skips on a spring-forward night still exists
// as written.
using LocalDateTime = std::chrono::local_time<std::chrono::system_clock::duration>;

// The local clock's date and time now.
LocalDateTime LocalNow();
// Its calendar fields (year, month, ..., second), for formatting.
std::tm CalendarFields(LocalDateTime t);

struct FaxJobRecord {
  std::string FaxSubject;
  std::int32_t FaxPriority = 1;  // 0 low, 1 normal, 2 high
  std::int32_t FaxSchedule = 0;  // 0 now, 1 at DTFaxSend, 2 at discount rates
  LocalDateTime DTFaxSend = LocalNow();
  std::string Note;
  std::string FaxName;
  std::string FaxBody;
  std::string SenderAddress, SenderBillingCode, SenderCompany, SenderDepartment, SenderEmail, SenderfaxNumber,
      SenderFullName, SenderHomePhone, SenderTitle, SenderOffice, SenderWorkPhone;
  VbList<std::string> g_arrFaxName;
  VbList<std::string> g_arrFaxNumber;
  VbList<std::string> g_arrFiles;
  VbList<std::string> CoverPages;  // full paths of the offered templates
  std::int16_t CoverIndex = 0;     // chosen entry of CoverPages
  bool UseCover = false;
  bool CoverInImage = false;
  std::string PreviewFile;
  std::string FaxImageFile;
};

// The process-wide fax job.
FaxJobRecord& FaxJob();

// Resets the fax job for a new fax; the sender fields and the two cover
// flags keep their values. Also empties the in-memory InboxPath and
// SentPath of the client configuration.
void ClearFaxJob();

// State start-up sets for the whole run.
struct RunState {
  ui::WindowHandle OwnerWindow = 0;  // owner of every window shown
  bool SpoolPages = false;           // the fax pages came from the spool folder
  bool AcrobatOpen = false;          // a PDF reader window is left to close
  std::string HelpFile;
  // Set by whoever opened a PDF reader window while printing; exitApp
  // calls it to close that window.
  void (*ClosePdfReaderWindow)() = nullptr;
  // Faxes the delivery paths took in this run, counted per recipient (a
  // mail to the mail-fax service counts for each of its recipients).
  std::size_t FaxesHandedOver = 0;
  // The program's exit status at the end of the run (kSend...).
  int ExitStatus = 0;
};
RunState& Run();

// Exit statuses of "sendnow", so that a script can tell whether the fax
// went (brevant(1), EXIT STATUS). 1 is the unexpected error of any run.
enum SendStatus : int {
  kSendHandedOver = 0,  // every recipient's fax went to the delivery path
  kSendNothing = 2,     // no recipient, nothing to send, no mail-fax address
  kSendNotMade = 3,     // the documents gave no fax image, and nothing went
  kSendRefused = 4,     // the fax was made, the delivery path did not take it
};

}  // namespace brevant
