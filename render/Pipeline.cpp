#include "render/Pipeline.h"

#include "common/Logging.h"

namespace brevant {

void printToPreview(ui::WindowHandle, bool) { NotAvailable("mPrint.printToPreview"); }
void PrintPreview(ui::WindowHandle owner, bool preview) { printToPreview(owner, preview); }
void PrintWebPage(const std::string&) { NotAvailable("mPrint.PrintWebPage"); }

}  // namespace brevant
