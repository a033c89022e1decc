#include "platform/env/Environment.h"

#include <cstdlib>

namespace brevant::platform::env {

const char* Name(Var v) {
  switch (v) {
    case Var::ProgramDir:
      return "BREVANT_PROGRAM_DIR";
    case Var::RegistryDir:
      return "BREVANT_REGISTRY_DIR";
    case Var::RuntimeDir:
      return "BREVANT_RUNTIME_DIR";
    case Var::MailDir:
      return "BREVANT_MAILDIR";
    case Var::ContactsDir:
      return "BREVANT_CONTACTS_DIR";
    case Var::FaxPrinter:
      return "BREVANT_FAX_PRINTER";
    case Var::FaxdSocket:
      return "BREVANT_FAXD_SOCKET";
    case Var::FaxdState:
      return "BREVANT_FAXD_STATE";
    case Var::Unattended:
      return "BREVANT_UNATTENDED";
    case Var::ConsoleTool:
      return "BREVANT_QUORRENDER";
    case Var::Office:
      return "BREVANT_SOFFICE";
    case Var::Browser:
      return "BREVANT_CHROMIUM";
    case Var::PdfReader:
      return "BREVANT_PDF_READER";
    case Var::ComponentDir:
      return "BREVANT_COMPONENT_DIR";
    case Var::SpoolTimeoutMs:
      return "BREVANT_SPOOL_TIMEOUT_MS";
    case Var::QueueTimeoutMs:
      return "BREVANT_QUEUE_TIMEOUT_MS";
    case Var::OfficeTimeoutMs:
      return "BREVANT_OFFICE_TIMEOUT_MS";
    case Var::BrowserTimeoutMs:
      return "BREVANT_BROWSER_TIMEOUT_MS";
    case Var::ToolTimeoutMs:
      return "BREVANT_TOOL_TIMEOUT_MS";
    case Var::PrintStrategy:
      return "BREVANT_PRINT_STRATEGY";
  }
  return "";
}

std::string Get(Var v) {
  const char* value = std::getenv(Name(v));
  return value ? std::string(value) : std::string();
}

bool IsSet(Var v) {
  return !Get(v).empty();
}

long Milliseconds(Var v, long fallback) {
  const std::string text = Get(v);
  if (text.empty()) return fallback;
  char* end = nullptr;
  const long ms = std::strtol(text.c_str(), &end, 10);
  return end && *end == '\0' && ms > 0 ? ms : fallback;
}

void Set(Var v, const std::string& value) {
  ::setenv(Name(v), value.c_str(), 1);
}

}  // namespace brevant::platform::env
