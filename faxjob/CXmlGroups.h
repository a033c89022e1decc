#pragma once
// CXmlGroups: "FaxGroup.xml", the part of the client configuration that a
// group of users shares (delivery path, mail-fax address, fax device, cover
// page folder, two switches), in the system folder of an installed copy
// (GetGroupFileFolder). Root "Groups", one element per value, no XML
// declaration. The values sit directly under the
// root; a missing element reads as ""; SetXML drops CR LF pairs first.
#include <string>

#include "faxjob/CXmlStore.h"

namespace brevant {

class CXmlGroups : private CXmlStore {
 public:
  CXmlGroups();  // file name: GetGroupFileFolder() + "/FaxGroup.xml"

  using CXmlStore::CreateItem;
  using CXmlStore::GetItemsCount;
  using CXmlStore::ReadItemProp;
  using CXmlStore::ReadItemPropS;
  using CXmlStore::SetCurItem;
  using CXmlStore::WriteItemProp;
  // Writes a new file holding the six file fields of the client
  // configuration, in this order: EmailFax, ReceiveAll, ProgramType,
  // FaxDevice, CoverFolder, FaxGroupConnect. Raises the error of Save when
  // the file cannot be written; the old file then stays as it was.
  void WriteCfgProps();
  // Loads the file into the client configuration; false when it did not
  // load (missing, empty, not XML): ProgramType 0, ReceiveAll True, and
  // EmailFax and CoverFolder keep their values; neither a missing nor a
  // malformed file is an error. An empty CoverFolder becomes program folder
  // + "/coverpage/"; FaxGroupConnect is always False afterwards. A value
  // that is not a number or not a Boolean (blanks alone included; only an
  // empty text is no value) raises a VbError to the caller.
  bool ReadCfgProps();
  using CXmlStore::Create;
  using CXmlStore::Delete;
  using CXmlStore::GetFilename;
  using CXmlStore::IsEmpty;
  using CXmlStore::Load;
  using CXmlStore::Save;
  using CXmlStore::SetFilename;
  using CXmlStore::SetXML;
  using CXmlStore::XML;
};

}  // namespace brevant
