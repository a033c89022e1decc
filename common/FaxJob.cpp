#include "common/FaxJob.h"

#include <ctime>

#include "common/ClientConfig.h"

namespace brevant {

LocalDateTime LocalNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  const auto sub = now - std::chrono::system_clock::from_time_t(t);
  return LocalDateTime(std::chrono::seconds(::timegm(&tm))) + sub;
}

std::tm CalendarFields(LocalDateTime t) {
  const auto secs = std::chrono::floor<std::chrono::seconds>(t.time_since_epoch()).count();
  const std::time_t tt = std::time_t(secs);
  std::tm tm{};
  ::gmtime_r(&tt, &tm);  // the fields as they stand: no time zone applies
  return tm;
}

FaxJobRecord& FaxJob() {
  static FaxJobRecord job;
  return job;
}

RunState& Run() {
  static RunState state;
  return state;
}

void ClearFaxJob() {
  FaxJobRecord& j = FaxJob();
  j.FaxSubject.clear();
  j.FaxPriority = 1;
  j.FaxSchedule = 0;
  j.DTFaxSend = LocalNow();
  j.Note.clear();
  j.FaxName.clear();
  j.FaxBody.clear();
  j.g_arrFaxName.Clear();
  j.g_arrFaxNumber.Clear();
  j.g_arrFiles.Clear();
  j.CoverPages.Clear();
  j.CoverIndex = 0;
  j.PreviewFile.clear();
  j.FaxImageFile.clear();
  Config().InboxPath.clear();
  Config().SentPath.clear();
}

}  // namespace brevant
