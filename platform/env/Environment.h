#pragma once
// The environment variables Brevant's programs read, in one table. Nothing
// else in the code reads a BREVANT_* variable: a program asks for one of
// these by its Var, so every setting a run can take from its environment is
// listed (and documented in brevant(1)) here.
#include <string>

namespace brevant::platform::env {

enum class Var {
  // Where a portable or second copy keeps its files.
  ProgramDir,   // BREVANT_PROGRAM_DIR: spool, logs, the user's fax views
  RegistryDir,  // BREVANT_REGISTRY_DIR: the settings store's hives
  RuntimeDir,   // BREVANT_RUNTIME_DIR: named events (and a private service's socket)
  MailDir,      // BREVANT_MAILDIR: the mail store
  ContactsDir,  // BREVANT_CONTACTS_DIR: the address book's vCards
  // Which fax printer and fax service a run uses.
  FaxPrinter,  // BREVANT_FAX_PRINTER: the print queue of the fax printer
  FaxdSocket,  // BREVANT_FAXD_SOCKET: the fax service's socket
  FaxdState,   // BREVANT_FAXD_STATE: brevant-faxd's state folder
  // How a run meets the user.
  Unattended,  // BREVANT_UNATTENDED=1: no windows; messages on stderr
  // The helper programs, where they are not found on PATH.
  ConsoleTool,   // BREVANT_QUORRENDER: the console tool
  Office,        // BREVANT_SOFFICE: the office suite
  Browser,       // BREVANT_CHROMIUM: the web browser that prints pages
  PdfReader,     // BREVANT_PDF_READER: the PDF reader that prints PDFs
  ComponentDir,  // BREVANT_COMPONENT_DIR: the integration components
  // Waits a slow machine may need longer (milliseconds).
  SpoolTimeoutMs,    // BREVANT_SPOOL_TIMEOUT_MS: the console tool's run (600 s)
  QueueTimeoutMs,    // BREVANT_QUEUE_TIMEOUT_MS: the print queue to empty
  OfficeTimeoutMs,   // BREVANT_OFFICE_TIMEOUT_MS: the office suite (180 s)
  BrowserTimeoutMs,  // BREVANT_BROWSER_TIMEOUT_MS: the browser (90 s)
  ToolTimeoutMs,     // BREVANT_TOOL_TIMEOUT_MS: other converters (120 s)
  // The print route a document takes, forced (a number; diagnosis only).
  PrintStrategy,  // BREVANT_PRINT_STRATEGY
};

// The variable's name, "BREVANT_...".
const char* Name(Var v);
// Its value; "" when it is not set or empty.
std::string Get(Var v);
bool IsSet(Var v);
// A number of milliseconds, or fallback when unset, not a number or not
// positive.
long Milliseconds(Var v, long fallback);
// Sets it for this process and the programs it starts.
void Set(Var v, const std::string& value);

}  // namespace brevant::platform::env
