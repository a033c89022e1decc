#pragma once
// How each kind of document reaches the fax printer while it is the
// default printer: pictures and TIFF files through the console tool,
// office documents and web pages through the office suite and the browser
// (headless, to PDF, then to the queue), PDF files through the PDF reader,
// everything else through the "print" verb (CUPS's own filters for plain
// text and PostScript).
#include <string>

#include "platform/ui/Ui.h"

namespace brevant::render {

enum class Route { Image, Tiff, Word, Excel, WebPage, Pdf, Shell };

// The first matching test wins; extensions are looked for anywhere in the
// path, without regard to letter case ("archive.doc.zip" is a Word file).
Route RouteFor(const std::string& path);
const char* RouteName(Route r);

// Prints one document by its route. owner: the window print dialogs and
// the PDF reader would belong to. Returns why the route could not hand the
// document to the printer (a missing file, a PDF that needs its password,
// the route's last failure); "" when it did.
std::string PrintDocument(const std::string& path, ui::WindowHandle owner);

// ".emf", ".rle", ".wmf", ".bmp", ".ico", ".gif" or ".jpg" anywhere in the
// path, any case ("photo.jpeg" is not one).
bool IsImageFile(const std::string& path);
// True when another program has the file open for editing: it holds a
// lock on it, or the office suite's lock file ".~lock.NAME#" sits beside
// it. A file that cannot be opened is not open.
bool IsFileOpen(const std::string& path);
// A cover page template (".cov", or an SVG document): its print verb is the
// console tool, which fills it with the fax's "UserInfo" values.
bool IsCoverTemplate(const std::string& path);
// Starts the "print" verb on the file (the default printer gets it) and
// waits for it to end; while waiting, a top-level window titled
// windowTitle (when not empty) is asked to close. Returns whether the verb
// could be started; a verb that failed is an error record with what it
// said.
bool ShellPrint(const std::string& path, const std::string& windowTitle);
// Prints a picture file on a printer, fitted into the printable area with
// its shape kept (landscape when wider than high), through the console
// tool, which reads the forms the print system does not (metafiles that
// hold one bitmap, icons, RLE bitmaps). False, with an error record, when
// the picture cannot be printed.
bool PrintPictureFitted(const std::string& printer, const std::string& picturePath);
// The web page route alone (the caller switches printers and waits).
void PrintWebPageRoute(const std::string& pathOrUrl);

// Time limits of the helper programs, in ms, from the environment
// (BREVANT_OFFICE_TIMEOUT_MS, BREVANT_BROWSER_TIMEOUT_MS,
// BREVANT_TOOL_TIMEOUT_MS) or their defaults (180 s, 90 s, 120 s).
long OfficeTimeoutMs();
long BrowserTimeoutMs();
long ToolTimeoutMs();

}  // namespace brevant::render
