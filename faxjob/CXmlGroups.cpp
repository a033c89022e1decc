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
  bool loaded = Load();
  if (loaded) {
    c.EmailFax = ReadItemPropS("EmailFax");
    std::string t = ReadItemPropS("ProgramType");
    // Only an empty text is no value; blanks are a text that is not a
    // number or a Boolean, an error for the caller.
    c.ProgramType = t.empty() ? 0 : XmlTextToInt16(t);
    c.CoverFolder = ReadItemPropS("CoverFolder");
    t = ReadItemPropS("ReceiveAll");
    c.ReceiveAll = t.empty() ? true : XmlTextToBool(t);
    t = ReadItemPropS("FaxGroupConnect");
    c.FaxGroupConnect = t.empty() ? true : XmlTextToBool(t);
  } else {
    // A missing or malformed file gives the defaults; neither is an error.
    c.ProgramType = 0;
    c.ReceiveAll = true;
    c.FaxGroupConnect = true;
  }
  if (c.CoverFolder.empty()) c.CoverFolder = GetProgramFolder() + "/coverpage/";
  c.FaxGroupConnect = false;
  return loaded;
}

}  // namespace brevant
