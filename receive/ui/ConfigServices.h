#pragma once
// What the settings windows need from other parts of the system: the mail
// store's folders, the fax service's device configuration, the disconnect
// mail to the mail-fax service, the help file, the folder picker. Each is a
// replaceable function; the defaults here are the plain versions (folders
// from a listing of the Maildir, no device configuration, the disconnect
// mail through the mail account) so the windows work before those parts are
// connected.
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QWidget;

namespace brevant::configui {

struct ConfigServices {
  // Full paths of the mail store's folders, offered as fax folders.
  std::function<std::vector<std::string>()> mailFolders;
  // Opens the fax service's device configuration; false when there is no
  // fax device or no configuration program (the fax warning is shown then).
  std::function<bool()> openFaxDeviceConfiguration;
  // Starts this program again with "warning;1;" (the fax warning).
  std::function<void()> showFaxWarning;
  // Sends the "Pelorin Disconnect" mail to the mail-fax address and files it
  // in Sent Items; false when it could not be sent (the failure is already an
  // error record).
  std::function<bool(const std::string& to)> sendDisconnectMail;
  // Opens the program's help file.
  std::function<void()> openHelp;
  // Lets the user pick a folder; title as given, starting at current.
  std::function<std::optional<std::string>(QWidget* owner, const std::string& title,
                                           const std::string& current)>
      pickFolder;
};

// The services in use; change members to connect other implementations.
ConfigServices& Services();
// Puts the plain versions back.
void ResetServices();

// The plain versions, for use by connected implementations as fallbacks.
std::vector<std::string> MaildirFolders();

}  // namespace brevant::configui
