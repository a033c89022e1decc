#pragma once
// The fax image pipeline: the fax job's documents and cover page printed to
// the fax printer, then turned into "Fax.tif" and "FaxPreview.tif" or the
// page list "spool.pnx".
#include <string>

#include "platform/ui/Ui.h"

namespace brevant {

// Generates the fax pages of the current fax job. owner: the window the
// status window is shown over (0: none, and the console tool runs silent).
void printToPreview(ui::WindowHandle owner, bool preview);
// The entry the finish page and "sendnow" use: printToPreview, then the
// "Debug" message when that registry value is 1.
void PrintPreview(ui::WindowHandle owner, bool preview);
// Prints one document so that its pages land in the spool folder.
void PrintWebPage(const std::string& path);

}  // namespace brevant
