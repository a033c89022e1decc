#pragma once
// CPrinterJobInfo: one job in a printer's queue, a snapshot taken when the
// queue was last refreshed, with its device mode and two high-water marks
// (the largest size and page count seen for the job across refreshes).
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "printing/CDevMode.h"

namespace brevant {

namespace spooler {
struct JobRecord;
}

class CPrinterJobInfo {
 public:
  CPrinterJobInfo();
  ~CPrinterJobInfo();

  bool IsPaused() const { return (Status() & 0x1) != 0; }
  std::uint32_t SizeMax() const { return sizeMax_; }
  std::uint32_t TotalPagesMax() const { return totalPagesMax_; }
  std::string Datatype() const;
  const CDevMode& DevMode() const { return devMode_; }
  std::string Document() const;
  std::string DriverName() const;
  std::uint32_t JobId() const;
  std::string MachineName() const;
  std::string NotifyName() const;
  std::uint32_t PagesPrinted() const;
  std::string Parameters() const;
  std::uint32_t Position() const;
  std::string PrinterName() const;
  std::string PrintProcessor() const;
  std::uint32_t Priority() const;
  std::uint32_t Size() const;
  // When the job was submitted, in local time (seconds; no milliseconds).
  std::tm Submitted() const;
  std::uint32_t StartTime() const;
  std::uint32_t Status() const;
  std::string StatusText() const;
  std::uint32_t Time() const;
  std::uint32_t TotalPages() const;
  std::uint32_t UntilTime() const;
  std::string UserName() const;

  // Used inside printer management: raising the high-water marks (a value
  // replaces the mark only when larger) and loading from the spooler.
  void RaiseSizeMax(std::uint32_t v);
  void RaiseTotalPagesMax(std::uint32_t v);
  void Load(const spooler::JobRecord& record);

  // The status text for status bits and a spooler status string.
  static std::string StatusTextFor(std::uint32_t status, const std::string& statusString);

 private:
  std::unique_ptr<spooler::JobRecord> rec_;
  CDevMode devMode_;
  std::uint32_t sizeMax_ = 0;
  std::uint32_t totalPagesMax_ = 0;
};

}  // namespace brevant
