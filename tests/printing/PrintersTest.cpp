// The printer management classes on the real CUPS scheduler, as the fax
// image pipeline uses them: the user's default printer, the fax service's
// driver check.
#include <gtest/gtest.h>

#include "common/Logging.h"
#include "printing/CPrinterInfo.h"
#include "printing/FaxPrinterSetup.h"
#include "tests/printing/CupsWorld.h"

using namespace brevant;
using test::CupsWorld;

namespace {
std::string ErrorsLog() { return test::TestWorld::ReadFile(ErrorLogPath()); }
}  // namespace

TEST(Printers, DefaultPrinterIsTheUsersAndKeepsTheirOtherSettings) {
  CupsWorld cw;
  REQUIRE_CUPS(cw);
  std::string a = cw.AddQueue(cw.World().SpoolDir());
  std::string b = cw.AddQueue(cw.World().SpoolDir());
  std::string lpoptions = cw.World().Root() + "/.cups/lpoptions";
  test::TestWorld::WriteFile(lpoptions, "Dest " + b + " media=iso_a5_148x210mm\nDefault " + a + " copies=2\n");

  CPrinterInfo pa, pb;
  pa.SetDeviceName(a);
  pb.SetDeviceName(b);
  EXPECT_TRUE(pa.IsDefault());
  pb.SetIsDefault(true);
  EXPECT_TRUE(pb.IsDefault() && !pa.IsDefault());
  EXPECT_EQ(test::TestWorld::ReadFile(lpoptions),
            "Default " + b + " media=iso_a5_148x210mm\nDest " + a + " copies=2\n");
  // Restoring the previous default: lp without a destination goes there.
  pa.SetIsDefault(true);
  EXPECT_EQ(CupsWorld::Sh("lpstat -d | grep -q ': " + a + "$'"), 0);

  CPrinterInfo none;
  none.SetDeviceName("NoSuchPrinterBrevant");
  none.SetIsDefault(true);
  EXPECT_TRUE(pa.IsDefault()) << "a missing printer never becomes the default";
}

TEST(FaxPrinterSetup, TheFaxServiceDriverCheck) {
  CupsWorld cw;
  REQUIRE_CUPS(cw);
  // Without a fax server: False, and nothing is logged.
  SetFaxServiceProbe({});
  EXPECT_FALSE(MSFaxProperlyInstalled());
  EXPECT_EQ(ErrorsLog(), "");
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
  EXPECT_EQ(ErrorsLog(), "");
  // On XP only the shared fax driver counts; the record lists the printers.
  xp = "XP";
  EXPECT_FALSE(MSFaxProperlyInstalled());
  EXPECT_NE(ErrorsLog().find("PrinterName = '" + fax + "', DriverName = 'windows nt fax driver'"), std::string::npos)
      << ErrorsLog();
  SetFaxServiceProbe({});
}
