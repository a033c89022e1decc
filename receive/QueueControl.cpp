#include "receive/QueueControl.h"

#include "common/Logging.h"

namespace brevant {

void AutoRecv() { NotAvailable("Init.AutoRecv"); }
void FaxPause() { NotAvailable("Init.FaxPause"); }
void FaxStop() { NotAvailable("Init.FaxStop"); }
void FaxRecv() { NotAvailable("Init.FaxRecv"); }

}  // namespace brevant
