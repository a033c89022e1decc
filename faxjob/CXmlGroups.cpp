#include "faxjob/CXmlGroups.h"

#include <sys/stat.h>

#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/Folders.h"
#include "common/Logging.h"

namespace brevant {

namespace {
constexpr CXmlStore::Layout kGroupsLayout{"Groups", true, true, true};

// Blanks alone count as no value for the number and the switches.
bool Blank(const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }
}  // namespace

CXmlGroups::CXmlGroups() : CXmlStore(kGroupsLayout, GetProgramFolder() + "/FaxGroup.xml") {}

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
    c.ProgramType = Blank(t) ? 0 : XmlTextToInt16(t);
    c.CoverFolder = ReadItemPropS("CoverFolder");
    t = ReadItemPropS("ReceiveAll");
    c.ReceiveAll = Blank(t) ? true : XmlTextToBool(t);
    t = ReadItemPropS("FaxGroupConnect");
    c.FaxGroupConnect = Blank(t) ? true : XmlTextToBool(t);
  } else {
    c.ProgramType = 0;
    c.ReceiveAll = true;
    c.FaxGroupConnect = true;
    // A missing file is the normal state of a new installation; a file that
    // is there but unreadable loses the group's settings, so say why.
    struct stat st{};
    if (::stat(GetFilename().c_str(), &st) == 0)
      WriteErrorLog(0, GetFilename() + " cannot be read as XML; the default settings apply",
                    "CXmlGroups.ReadCfgProps");
  }
  if (c.CoverFolder.empty()) c.CoverFolder = GetProgramFolder() + "/coverpage/";
  c.FaxGroupConnect = false;
  return loaded;
}

}  // namespace brevant
