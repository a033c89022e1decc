#include "common/MailSessions.h"

#include "common/Errors.h"
#include "common/Logging.h"

namespace brevant::mCommon {

void Start(bool) { NotAvailable("mCommon.Start"); }

void Dispose() {
  PendingError err;
  err.Step([] { WriteTraceLog("Dispose", ""); });
  // No mail session is opened by this build, so there is nothing to release.
  err.Step([] { WriteTraceLog("Dispose - END", ""); });
  if (err.Any()) WriteErrorLog(err.Get().number, err.Get().description, "mCommon.Dispose");
}

}  // namespace brevant::mCommon
