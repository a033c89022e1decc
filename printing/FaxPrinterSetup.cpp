#include "printing/FaxPrinterSetup.h"

#include "common/Logging.h"

namespace brevant {

void ConfigureFaxPrinterForConfig() { NotAvailable("mPrinters.SetFaxPrinterConfig"); }
bool MSFaxProperlyInstalled() { return false; }

}  // namespace brevant
