#include "wizard/Hooks.h"

#include <cctype>

#include "common/Logging.h"
#include "delivery/Delivery.h"
#include "platform/process/Process.h"
#include "render/Pipeline.h"
#include "wizard/Form.h"

namespace brevant::wizard {

namespace {

Hooks RealHooks() {
  Hooks h;
  h.PrintPreview = [](ui::WindowHandle owner, bool preview) { brevant::PrintPreview(owner, preview); };
  h.OpenPreview = [](const std::string& path) {
    // The desktop's image viewer, else the console tool with the path.
    if (!platform::ShellExecute("open", path)) {
      std::string tool = platform::ExecutablePath();
      tool = tool.substr(0, tool.rfind('/') + 1) + "quorrender";
      platform::SpawnResult r = platform::Spawn({tool, path}, "", false);
      if (!r.started) WriteErrorLog(0, "ShellExecute returned 31: " + r.error, "TiffShellOpen");
    }
  };
  h.SendFaxMSFax = [] { brevant::SendFaxMSFax(); };
  h.SendFaxMail = [] { brevant::SendFaxMail(); };
  h.SendFaxEFax = [] { brevant::SendFaxEFax(); };
  return h;
}

}  // namespace

Hooks& WizardHooks() {
  static Hooks hooks = RealHooks();
  return hooks;
}

void ResetWizardHooks() {
  WizardHooks() = RealHooks();
}

bool IsValidFaxNumber(const std::string& text) {
  std::string rest;
  for (char c : TrimBlanks(text)) {
    if (c == 'p' || c == 'P' || c == ',' || c == ' ' || c == '-' || c == '/' || c == '(' || c == ')' ||
        c == 'd')
      continue;
    rest += c;
  }
  std::size_t i = 0;
  if (i < rest.size() && rest[i] == '+') ++i;
  if (i == rest.size()) return false;
  for (; i < rest.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(rest[i]))) return false;
  return true;
}

}  // namespace brevant::wizard
