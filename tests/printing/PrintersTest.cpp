// The fax service's driver check and the bug report's printer lines on the
// real CUPS scheduler. (The user's default printer around a fax run is
// checked in tests/render/PipelineTest.)
#include <gtest/gtest.h>

#include <algorithm>

#include "maintenance/BugReport.h"
#include "printing/FaxPrinterSetup.h"
#include "tests/printing/CupsWorld.h"

using namespace brevant;
using test::CupsWorld;

TEST(FaxPrinterSetup, TheFaxServiceDriverCheck) {
  CupsWorld cw;
  REQUIRE_CUPS(cw);
  // Without a fax server: False, and nothing is logged.
  SetFaxServiceProbe({});
  EXPECT_FALSE(MSFaxProperlyInstalled());
  EXPECT_EQ(cw.World().Errors(), "");
  // A queue whose driver is the fax service's, named in lower case.
  std::string ppd = cw.World().Root() + "/faxdriver.ppd";
  std::string text = test::TestWorld::ReadFile(test::SourceDir() + "/tools/vestrel/vestrel.ppd");
  for (const char* key : {"*ModelName: ", "*ShortNickName: ", "*NickName: "}) {
    std::size_t at = text.find(key);
    text.replace(at, text.find('\n', at) - at, std::string(key) + "\"windows nt fax driver\"");
  }
  test::TestWorld::WriteFile(ppd, text);
  std::string fax = cw.AddQueue(cw.World().SpoolDir(), true, ppd);
  ASSERT_FALSE(fax.empty());
  std::string xp;
  SetFaxServiceProbe({[] { return true; }, [&] { return xp; }});
  EXPECT_TRUE(MSFaxProperlyInstalled());
  EXPECT_EQ(cw.World().Errors(), "");
  // On XP only the shared fax driver counts; the record lists the printers.
  xp = "XP";
  EXPECT_FALSE(MSFaxProperlyInstalled());
  EXPECT_NE(cw.World().Errors().find("PrinterName = '" + fax + "', DriverName = 'windows nt fax driver'"),
            std::string::npos)
      << cw.World().Errors();
  SetFaxServiceProbe({});

  // The bug report lists the queue with the data type and print processor
  // its set-up stored, as the scheduler reports them.
  ASSERT_TRUE(SetFaxPrinterConfig(fax, "NT EMF 1.008", "vprproc"));
  std::vector<PrinterRecord> listed = DefaultBugReportProbes().printers();
  auto it = std::find_if(listed.begin(), listed.end(), [&](const PrinterRecord& p) { return p.name == fax; });
  ASSERT_NE(it, listed.end());
  EXPECT_EQ(it->driver + "|" + it->printProcessor + "|" + it->datatype,
            "windows nt fax driver|vprproc|NT EMF 1.008");
}
