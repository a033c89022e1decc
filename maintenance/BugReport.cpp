#include "maintenance/BugReport.h"

#include "common/Logging.h"

namespace brevant {

void MakeBugReport() { NotAvailable("mBug.BugReport"); }

}  // namespace brevant
