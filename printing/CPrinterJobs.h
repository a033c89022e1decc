#pragma once
// CPrinterJobs: the queue of one printer. `Count` asks the spooler every
// time (callers poll it to learn when a job arrived and when the queue is
// empty); the collection is the snapshot of the last `Refresh`, keyed by the
// job id in upper-case hexadecimal ("FF" for job 255).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "printing/CPrinterJobInfo.h"

namespace brevant {

class CPrinterJobs {
 public:
  CPrinterJobs();
  ~CPrinterJobs();
  CPrinterJobs(const CPrinterJobs&) = delete;
  CPrinterJobs& operator=(const CPrinterJobs&) = delete;

  const std::string& DeviceName() const { return deviceName_; }
  void SetDeviceName(const std::string& name);
  // The spooler's job count; refreshes the collection first when the
  // numbers differ. 0 when the printer cannot be read.
  int Count();
  // By 1-based index or by key; null when there is no such entry.
  CPrinterJobInfo* Item(int index) const;
  CPrinterJobInfo* Item(const std::string& key) const;
  std::uint32_t GetPrinterError() const { return getPrinterError_; }
  // The snapshot's jobs in order (the collection's enumeration).
  std::vector<CPrinterJobInfo*> NewEnum() const;
  bool ControlCancel(std::uint32_t jobId);
  bool ControlRestart(std::uint32_t jobId);
  bool ControlResume(std::uint32_t jobId);
  bool ControlPause(std::uint32_t jobId);
  bool PositionMoveDown(std::uint32_t jobId);
  bool PositionMoveUp(std::uint32_t jobId);
  void Refresh();

  // The key of a job id ("FF" for 255).
  static std::string KeyOf(std::uint32_t jobId);

 private:
  bool Control(std::uint32_t jobId, int command, const char* procedure);
  std::string deviceName_;
  std::uint32_t getPrinterError_ = 0;
  struct Entry {
    std::string key;
    std::unique_ptr<CPrinterJobInfo> job;
  };
  std::vector<Entry> jobs_;
};

}  // namespace brevant
