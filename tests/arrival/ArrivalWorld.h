#pragma once
// A world in which faxes really travel: a CUPS queue served by this build's
// backend (the fax printer of every run) and a private brevant-faxd whose
// loopback line runs unpaced; what the far end received is read back.
#include <optional>
#include <string>
#include <vector>

#include "faxservice/client/FaxService.h"
#include "faxservice/protocol/FaxTiff.h"
#include "tests/faxservice/FaxTestSupport.h"
#include "tests/printing/CupsWorld.h"

namespace brevant::test {

// The values a cover page shows, as the test set them.
struct CoverChoice {
  std::string file;  // template or picture ("" = the cover page switched on, none chosen)
  std::string subject, note;
};

// One fax as the far end received it, with the service's report.
struct Arrival {
  long job = 0;
  int status = 0;                      // the job's status (256 completed)
  std::string error;                   // why it failed
  std::vector<faxsvc::FaxPage> pages;  // what the far end received
  long reportedPages = 0;              // the sent archive's page count
  int archiveCompression = 0;          // of the archive copy (4: G4)
};

// How a document's pages show their numbers (see Marks.h); FaxPages are
// framed squares on fax pages, which are sent as they are.
enum class Mark { Squares, Lines, SquaresUnframed, FaxPages };

// Pages skip+1.. of a fax show the numbers first.. count of them in `mark`'s
// way, each on a fax page, (framed) whole and, but for fax pages, inside the
// printable area.
void ExpectPages(const Arrival& a, std::size_t skip, int count, Mark mark = Mark::Squares, int first = 1);

class ArrivalWorld {
 public:
  ArrivalWorld();
  ~ArrivalWorld();
  const std::string& Problem() const { return problem_; }
  TestWorld& World() { return cups_.World(); }
  CupsWorld& Cups() { return cups_; }
  const std::string& Queue() const { return queue_; }
  std::string Dir() { return World().Root(); }

  // 0 the fax service, 1 the mail-fax service at address.
  void UseDeliveryPath(int programType, const std::string& address = "");
  // The stored cover page choice; nullopt switches it off.
  void ChooseCover(const std::optional<CoverChoice>& choice);

  // The newest outgoing job (0 when none).
  long LastJob();
  // Waits for a job to end and reads what the far end received.
  Arrival WaitArrival(long job);

  // The cover page the choice's template makes with these fields.
  faxsvc::FaxPage ExpectedCover(const CoverChoice& choice, const std::string& name, const std::string& number,
                                int pageCount, bool blankFields = false);
  // The first page of a fax is that cover page, its fields filled in.
  void ExpectCover(const Arrival& a, const CoverChoice& choice, const std::string& name,
                   const std::string& number, int pageCount);

 private:
  CupsWorld cups_;
  std::string problem_, queue_;
  std::optional<FaxDaemon> daemon_;
};

}  // namespace brevant::test
