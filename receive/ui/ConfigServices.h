#pragma once
// What the settings windows need from other parts of the system: the fax
// service's device configuration, the disconnect mail to the mail-fax
// service, the help file, the folder browser. Each is a replaceable
// function; the defaults here are the plain versions (no device
// configuration, the disconnect mail through the mail account, the help
// file in the desktop's browser, the file-system folder browser) so the
// windows work before those parts are connected.
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QWidget;

namespace brevant::configui {

struct ConfigServices {
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
  // Lets the user pick a file-system folder; title as given, starting at
  // current.
  std::function<std::optional<std::string>(QWidget* owner, const std::string& title,
                                           const std::string& current)>
      pickFolder;
};

// The services in use; change members to connect other implementations.
ConfigServices& Services();
// Puts the plain versions back.
void ResetServices();

}  // namespace brevant::configui
