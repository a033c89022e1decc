#include "common/ClientConfig.h"

#include <strings.h>

#include "common/CWinReg.h"
#include "common/Folders.h"

namespace brevant {

ClientConfig& Config() {
  static ClientConfig config;
  return config;
}

void ReadClientPaths() {
  ClientConfig& c = Config();
  try {
    CWinReg reg;
    if (reg.InitForRead(CWinReg::HKEY_CURRENT_USER, kPelorinKey)) {
      c.ForwardEmail = reg.GetString("ForwardEmail");
      c.InboxPath = reg.GetString("InboxPath");
      c.SentPath = reg.GetString("SentPath");
      reg.CloseKey();
    }
    if (reg.InitForRead(CWinReg::HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Fax\\SentItems")) {
      c.MSSentPath = reg.GetString("Folder");
      if (c.SentPath.empty()) c.SentPath = c.MSSentPath;
      reg.CloseKey();
    }
    if (reg.InitForRead(CWinReg::HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Fax\\Inbox")) {
      c.MSInboxPath = reg.GetString("Folder");
      if (c.InboxPath.empty()) c.InboxPath = c.MSInboxPath;
      reg.CloseKey();
    }
    if (c.FaxDevice.empty()) c.FaxDevice = GetLocalComputerName();
  } catch (...) {
    // errors ignored
  }
}

void WriteClientPaths() {
  const ClientConfig& c = Config();
  try {
    CWinReg reg;
    if (reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, kPelorinKey, true)) {
      reg.SetString("ForwardEmail", c.ForwardEmail);
      reg.SetString("InboxPath",
                    strcasecmp(c.InboxPath.c_str(), c.MSInboxPath.c_str()) != 0 ? c.InboxPath : "");
      reg.SetString("SentPath", strcasecmp(c.SentPath.c_str(), c.MSSentPath.c_str()) != 0 ? c.SentPath : "");
      reg.CloseKey();
    }
  } catch (...) {
    // errors ignored
  }
}

}  // namespace brevant
