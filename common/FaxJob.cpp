#include "common/FaxJob.h"

#include "common/ClientConfig.h"

namespace brevant {

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
  j.DTFaxSend = std::chrono::system_clock::now();
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
