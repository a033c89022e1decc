#pragma once
// The fax image pipeline: the fax job's documents and cover page printed to
// the fax printer, then turned into "Fax.tif" and "FaxPreview.tif" or the
// page list "spool.pnx".
#include <string>

#include "platform/ui/Ui.h"

namespace brevant {

// Generates the fax pages of the current fax job. owner: the window the
// status window is shown over (0: none, and the console tool runs silent).
// Each printed document is one step of the status window's bar; unattended,
// each is one line on stderr ("Preparing fax: printing a.pdf (1 of 2)").
void printToPreview(ui::WindowHandle owner, bool preview);
// The entry the finish page and "sendnow" use: printToPreview, then the
// "Debug" message when that registry value is 1.
void PrintPreview(ui::WindowHandle owner, bool preview);
// Prints one document so that its pages land in the spool folder.
void PrintWebPage(const std::string& path);

// Waits for a named event: opens it (or creates it signalled when nobody
// holds it) and waits at most 10,000,000 ms.
void WaitForSpoolEvent(const std::string& eventName);
// The cover page fields of "Software\Microsoft\Fax\UserInfo" from the fax job.
void WriteCoverUserInfo();
// 1 the fax service renders the page list, 2 the page list goes to the fax
// service as it is, 0 the console tool makes the TIFF fax image.
int GetPrintStrategy();

// Creates the spool folder, or deletes every file in it (read-only ones
// too); folders in it (the print agent's) stay.
void ClearSpoolFiles(const std::string& spool);

// The end of the run the pipeline asks for when the fax cannot be made
// (the application installs exitApp; without it the pipeline just stops).
void SetPipelineExitHandler(void (*exitApp)(int code));
// The fax service's rendering of a page list into a TIFF preview, installed
// by the fax service transport; without it that attempt fails and the
// pipeline falls back to another strategy.
void SetFaxServiceRenderer(bool (*render)(const std::string& pageList, const std::string& tiffPath));

}  // namespace brevant
