#pragma once
// The calls the wizard makes into other subsystems, each through a
// replaceable function: the real entry is wired by default; test programs
// put a recorder in its place where the real thing cannot run.
#include <functional>
#include <string>
#include <vector>

#include "delivery/AddressBook.h"
#include "platform/ui/Ui.h"

namespace brevant::wizard {

// One entry picked in the address book: a person or a distribution list
// (with members, resolved all the way down).
using AddressEntry = brevant::AddressEntry;

struct Hooks {
  // Fax image generation (the pipeline's wrapper) with the page as owner.
  std::function<void(ui::WindowHandle owner, bool preview)> PrintPreview;
  // Opens the preview file in the TIFF viewer.
  std::function<void(const std::string& path)> OpenPreview;
  // The delivery paths.
  std::function<void()> SendFaxMSFax, SendFaxMail, SendFaxEFax;
  // The address book of the mail system: false when no mail session is
  // available; otherwise the picked entries (none when cancelled). Empty
  // until the mail sessions provide an address book.
  std::function<bool(std::vector<AddressEntry>* picked)> AddressBook;
};

// The process-wide hooks, filled with the real entries.
Hooks& WizardHooks();
// Puts the real entries back.
void ResetWizardHooks();

// The fax number check of the recipients page: blanks around it, dial
// pauses ("p"), separators (",", " ", "-", "/", "(", ")") and "d" do not
// count; what remains must be an optional sign followed by digits.
bool IsValidFaxNumber(const std::string& text);

}  // namespace brevant::wizard
