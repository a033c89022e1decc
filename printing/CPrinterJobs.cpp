#include "printing/CPrinterJobs.h"

#include <algorithm>
#include <cstdio>

#include "common/Errors.h"
#include "common/Logging.h"
#include "printing/Spooler.h"

namespace brevant {

CPrinterJobs::CPrinterJobs() = default;
CPrinterJobs::~CPrinterJobs() = default;

std::string CPrinterJobs::KeyOf(std::uint32_t jobId) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%X", jobId);
  return buf;
}

void CPrinterJobs::SetDeviceName(const std::string& name) {
  deviceName_ = name;
  Refresh();
}

int CPrinterJobs::Count() {
  try {
    std::uint32_t count = 0;
    long err = spooler::GetJobCount(deviceName_, &count);
    getPrinterError_ = std::uint32_t(err);
    if (err) count = 0;
    if (count != jobs_.size()) Refresh();
    return int(count);
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "CPrinterJobs.Count");
    return 0;
  }
}

CPrinterJobInfo* CPrinterJobs::Item(int index) const {
  if (index < 1 || std::size_t(index) > jobs_.size()) return nullptr;
  return jobs_[std::size_t(index - 1)].job.get();
}

CPrinterJobInfo* CPrinterJobs::Item(const std::string& key) const {
  for (const auto& e : jobs_)
    if (e.key == key) return e.job.get();
  return nullptr;
}

std::vector<CPrinterJobInfo*> CPrinterJobs::NewEnum() const {
  std::vector<CPrinterJobInfo*> out;
  for (const auto& e : jobs_) out.push_back(e.job.get());
  return out;
}

bool CPrinterJobs::Control(std::uint32_t jobId, int command, const char* procedure) {
  try {
    long err = spooler::ControlJob(deviceName_, jobId, command);
    Refresh();
    return err == 0;
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, procedure);
    return false;
  }
}

// Deleting a job (command 5) is what the NT family's spooler does for a
// cancel; on CUPS both cancel the job.
bool CPrinterJobs::ControlCancel(std::uint32_t jobId) {
  return Control(jobId, 5, "CPrinterJobs.ControlCancel");
}
bool CPrinterJobs::ControlRestart(std::uint32_t jobId) {
  return Control(jobId, 4, "CPrinterJobs.ControlRestart");
}
bool CPrinterJobs::ControlResume(std::uint32_t jobId) {
  return Control(jobId, 2, "CPrinterJobs.ControlResume");
}
bool CPrinterJobs::ControlPause(std::uint32_t jobId) {
  return Control(jobId, 1, "CPrinterJobs.ControlPause");
}

bool CPrinterJobs::PositionMoveDown(std::uint32_t jobId) {
  try {
    return spooler::MoveJob(deviceName_, jobId, +1) == 0;
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "CPrinterJobs.PositionMoveDown");
    return false;
  }
}

bool CPrinterJobs::PositionMoveUp(std::uint32_t jobId) {
  try {
    return spooler::MoveJob(deviceName_, jobId, -1) == 0;
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "CPrinterJobs.PositionMoveUp");
    return false;
  }
}

void CPrinterJobs::Refresh() {
  try {
    std::vector<spooler::JobRecord> records;
    std::uint32_t count = 0;
    std::vector<std::uint32_t> seen;
    if (spooler::GetJobCount(deviceName_, &count) == 0 && count >= 1 &&
        spooler::EnumJobs(deviceName_, &records) == 0) {
      for (const auto& rec : records) {
        auto job = std::make_unique<CPrinterJobInfo>();
        job->Load(rec);
        std::string key = KeyOf(rec.JobId);
        auto old = std::find_if(jobs_.begin(), jobs_.end(), [&](const Entry& e) { return e.key == key; });
        if (old != jobs_.end()) {
          // The same job seen again keeps its high-water marks.
          job->RaiseSizeMax(old->job->SizeMax());
          job->RaiseTotalPagesMax(old->job->TotalPagesMax());
          jobs_.erase(old);
        }
        jobs_.push_back({key, std::move(job)});
        seen.push_back(rec.JobId);
      }
    }
    if (count == 0) {
      jobs_.clear();
    } else {
      std::erase_if(jobs_, [&](const Entry& e) {
        return std::find(seen.begin(), seen.end(), e.job->JobId()) == seen.end();
      });
    }
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "CPrinterJobs.Refresh");
  }
}

}  // namespace brevant
