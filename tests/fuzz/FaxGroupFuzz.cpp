// Fuzzes the reader of "FaxGroup.xml": any file content either loads or
// gives the defaults, a number or Boolean text that is not one raises a
// VbError and nothing else, and what is read can be written and read back.
#include <unistd.h>

#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "faxjob/CXmlGroups.h"
#include "tests/fuzz/FuzzWorld.h"

using namespace brevant;

namespace {
ClientConfig ReadBack() {
  Config() = ClientConfig();
  CXmlGroups g;
  FUZZ_CHECK(g.ReadCfgProps());
  return Config();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = fuzz::Text(data, size);
  const std::string file = fuzz::Dir() + "/FaxGroup.xml";
  fuzz::Put(file, text);
  ::unlink((fuzz::Dir() + "/Errors.log").c_str());

  Config() = ClientConfig();
  Config().EmailFax = "kept";
  try {
    CXmlGroups g;
    bool loaded = g.ReadCfgProps();
    const ClientConfig first = Config();
    FUZZ_CHECK(!first.FaxGroupConnect);
    FUZZ_CHECK(!first.CoverFolder.empty());
    if (!loaded) {
      FUZZ_CHECK(first.ProgramType == 0 && first.ReceiveAll && first.EmailFax == "kept");
      FUZZ_CHECK(first.CoverFolder == fuzz::Dir() + "/coverpage/");
    }
    // Written and read back twice: the numbers and switches survive the
    // first pass, the texts are stable from the second on (the first may
    // drop what XML cannot hold).
    CXmlGroups().WriteCfgProps();
    const ClientConfig second = ReadBack();
    FUZZ_CHECK(second.ProgramType == first.ProgramType && second.ReceiveAll == first.ReceiveAll);
    CXmlGroups().WriteCfgProps();
    const ClientConfig third = ReadBack();
    FUZZ_CHECK(third.EmailFax == second.EmailFax && third.CoverFolder == second.CoverFolder);
  } catch (const VbError& e) {
    FUZZ_CHECK(e.Number() == kErrTypeMismatch || e.Number() == kErrOverflow);
  }

  // The text form: whatever parses serialises to text that parses to itself.
  try {
    CXmlGroups g;
    g.SetXML(text);
    (void)g.ReadItemPropS("EmailFax");
    const std::string xml = g.XML();
    CXmlGroups h;
    h.SetXML(xml);
    FUZZ_CHECK(h.XML() == xml);
  } catch (const VbError& e) {
    FUZZ_CHECK(e.Number() == kErrInvalidCall || e.Number() == kErrObjectNotSet);
  }
  return 0;
}
