#pragma once
// The client configuration: which delivery path Brevant uses and where its
// folders are. One record per process, loaded at start-up from
// "FaxGroup.xml" (ReadCfgProps of the groups store) and from the registry
// (ReadClientPaths).
#include <cstdint>
#include <string>

namespace brevant {

struct ClientConfig {
  // 0 the fax service, 1 the mail-fax service, 2 the e-mail-to-fax gateway;
  // any other value acts as 0.
  std::int16_t ProgramType = 0;
  std::string EmailFax;
  bool ReceiveAll = true;
  std::string FaxDevice;
  std::string CoverFolder;
  bool FaxGroupConnect = false;
  std::string ForwardEmail;
  std::string InboxPath;
  std::string SentPath;
  std::string MSInboxPath;
  std::string MSSentPath;
};

// The process-wide record.
ClientConfig& Config();

// Reads ForwardEmail, InboxPath, SentPath, MSInboxPath, MSSentPath and fills
// FaxDevice when it is empty. Errors ignored; a stored value of the wrong
// type or longer than 255 characters reads as "", like a missing one.
void ReadClientPaths();
// Saves ForwardEmail, InboxPath and SentPath; a folder equal to the fax
// service's own is stored as "" ("follow the fax service"). Errors ignored.
void WriteClientPaths();

inline constexpr const char* kPelorinKey = "Software\\Norvane\\Pelorin";
inline constexpr const char* kUserInfoKey = "Software\\Microsoft\\Fax\\UserInfo";

}  // namespace brevant
