#pragma once
// PDF documents printed through the PDF reader: the reader is started on
// the file with the "print" verb and prints it to the default printer (the
// fax printer at that moment). It gives no completion signal, so PrintPDF
// watches the reader's window title and the fax printer's queue through
// three bounded phases and logs each to the debug log.
//
// On Linux the reader is `lp`, which hands the PDF to the default queue
// and ends; it has no window, so the job in the fax printer's queue ends
// the wait. A reader window titled like Acrobat Reader is still honoured
// when the window system shows one.
#include <string>

#include "platform/ui/Ui.h"
#include "render/WindowSystem.h"

namespace brevant::render {

// A reader's title: "Acrobat Reader" (exact case), then optionally a
// version text, then optionally " - [document]". *document is "" when no
// document is loaded. A title whose last " - " part is not bracketed is
// not the reader's.
bool ParseReaderTitle(const std::string& title, std::string* version = nullptr,
                      std::string* document = nullptr);
// The first top-level window whose title is the reader's; 0 when none.
WindowSystem::Handle FindReaderWindow();

// The command that prints a PDF to the default printer (the "print" verb of
// a PDF). BREVANT_PDF_READER replaces it (its words, the file appended).
std::string PdfReaderCommand();

void PrintPDF(const std::string& path, ui::WindowHandle parent, const std::string& faxPrinter);

// How a PDF guards itself, as poppler's pdfinfo reads it: it opens only
// with its password, or it opens but its owner does not allow printing.
// None also when pdfinfo is missing or cannot tell.
enum class PdfLock { None, NoPrinting, Password };
PdfLock PdfProtection(const std::string& path);
// What the user is told of a PDF that opens only with its password (file
// name given): that it is protected, and how to fax it.
std::string PasswordPdfText(const std::string& name);
void CloseAcrobatWindow();

// How many 1 ms polls phases 1 and 2 take at most (30000; tests shorten it).
void SetReaderPollLimit(int polls);

}  // namespace brevant::render
