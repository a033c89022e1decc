#include "faxjob/CXmlGroups.h"

#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/Folders.h"
#include "common/Logging.h"

namespace brevant {

namespace {
constexpr CXmlStore::Layout kGroupsLayout{"Groups", true, true, true};
}  // namespace

CXmlGroups::CXmlGroups() : CXmlStore(kGroupsLayout, GetGroupFileFolder() + "/FaxGroup.xml") {}

void CXmlGroups::WriteCfgProps() {
  const ClientConfig& c = Config();
  Create();
  WriteItemProp("EmailFax", c.EmailFax);
  WriteItemProp("ReceiveAll", c.ReceiveAll ? "True" : "False");
  WriteItemProp("ProgramType", std::to_string(c.ProgramType));
  WriteItemProp("FaxDevice", c.FaxDevice);
  WriteItemProp("CoverFolder", c.CoverFolder);
  WriteItemProp("FaxGroupConnect", c.FaxGroupConnect ? "True" : "False");
  Save();
}

bool CXmlGroups::ReadCfgProps() {
  ClientConfig& c = Config();
  bool loaded = false;
  try {
    loaded = Load();
    if (loaded) {
      c.EmailFax = ReadItemPropS("EmailFax");
      std::string t = ReadItemPropS("ProgramType");
      c.ProgramType = t.empty() ? 0 : XmlTextToInt16(t);
      c.CoverFolder = ReadItemPropS("CoverFolder");
      t = ReadItemPropS("ReceiveAll");
      c.ReceiveAll = t.empty() ? true : XmlTextToBool(t);
      t = ReadItemPropS("FaxGroupConnect");
      c.FaxGroupConnect = t.empty() ? true : XmlTextToBool(t);
    }
  } catch (...) {
    // A hand-edited value that is not a number or a Boolean makes the file
    // unreadable: recorded once, and the run goes on with the defaults.
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "CXmlGroups.ReadCfgProps");
    loaded = false;
  }
  if (!loaded) {
    // A missing, malformed or unreadable file gives the defaults.
    c.ProgramType = 0;
    c.ReceiveAll = true;
    c.FaxGroupConnect = true;
  }
  if (c.CoverFolder.empty()) c.CoverFolder = GetProgramFolder() + "/coverpage/";
  c.FaxGroupConnect = false;
  return loaded;
}

}  // namespace brevant
