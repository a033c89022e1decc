// Printers, queues and jobs on the real CUPS scheduler, through the printer
// management classes. The fax image pipeline uses them for the default
// printer and the scheduler's errors; the collection, the job controls and
// the device mode are checked once here, on one queue.
#include <cups/cups.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "common/Logging.h"
#include "printing/CDevMode.h"
#include "printing/CPrinterInfo.h"
#include "printing/CPrinters.h"
#include "printing/FaxPrinterSetup.h"
#include "tests/printing/CupsWorld.h"

using namespace brevant;
using test::CupsWorld;

namespace {
std::string ErrorsLog() { return test::TestWorld::ReadFile(ErrorLogPath()); }
}  // namespace

TEST(Printers, CollectionStatesAndJobsOfOneQueue) {
  CupsWorld cw;
  REQUIRE_CUPS(cw);
  std::string spool = cw.World().SpoolDir();
  std::string q = cw.AddQueue(spool);
  std::vector<std::string> added;
  CPrinters printers([&](const std::string& n) { added.push_back(n); });
  EXPECT_FALSE(printers.PrintersCollectionBad());
  EXPECT_EQ(printers.Count(), int(added.size()));
  std::string lower = q;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  CPrinterInfo* p = printers.Item(lower);  // printer names ignore letter case
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->PrinterName(), q);
  EXPECT_EQ(p->PortName(), cw.Scheme() + ":" + spool);
  EXPECT_EQ(p->DriverName() + "|" + p->Comment() + "|" + p->Location(), "Vestrel Fax Printer|Brevant test queue|test bench");
  // The queue's defaults as a device mode: A4, 204 x 196 dpi, monochrome.
  const CDevMode& dm = p->DevMode();
  EXPECT_EQ((std::vector<int>{dm.PaperSize(), dm.PaperWidth(), dm.PaperLength(), dm.PrintQuality(),
                              dm.YResolution(), dm.Color()}),
            (std::vector<int>{9, 2100, 2970, 204, 196, 1}));
  // A printer that does not exist, or whose name no queue can have: empty
  // information, no error text, and no crash in any member.
  for (std::string name : {std::string("NoSuchPrinterBrevant"), std::string("odd name/with#chars"),
                           std::string(""), std::string(300, 'x')}) {
    CPrinterInfo none;
    none.SetDeviceName(name);
    EXPECT_EQ(none.PrinterName() + none.StatusText(), "Ready") << name;
    EXPECT_FALSE(none.IsDefault() || none.CanAdminister() || none.ControlPause());
    EXPECT_EQ(none.Jobs().Count(), 0);
    EXPECT_EQ(printers.Item(name), nullptr);
  }

  // The scheduler's states, two at once shown as hexadecimal.
  struct Step {
    const char* command;
    std::uint32_t status;
    const char* text;
  } steps[] = {{"cupsreject", 0x1000, "Not Available"},
               {"cupsdisable", 0x1001, "1001"},
               {"cupsaccept", 0x1, "Paused"}};
  for (const Step& s : steps) {
    ASSERT_EQ(CupsWorld::Sh(std::string(s.command) + " " + q), 0);
    p->Refresh();
    EXPECT_EQ(p->Status(), s.status) << s.command;
    EXPECT_EQ(p->StatusText(), s.text) << s.command;
  }

  // Jobs wait on the paused printer: listed in order, one cancelled, one
  // purged with the rest never prints; resumed, the others print, and a
  // finished job restarted prints again.
  std::string pdf = cw.MakePdf(2);
  int j1 = cw.Print(q, pdf, "first document"), j2 = cw.Print(q, pdf, "second document");
  CPrinterJobs& jobs = p->Jobs();
  ASSERT_EQ(jobs.Count(), 2);
  EXPECT_EQ(int(jobs.Item(1)->JobId()), j1);
  EXPECT_EQ(jobs.Item(1)->Document() + " by " + jobs.Item(1)->UserName(), "first document by root");
  EXPECT_EQ(jobs.Item(CPrinterJobs::KeyOf(std::uint32_t(j2)))->Document(), "second document");
  ASSERT_TRUE(jobs.ControlCancel(std::uint32_t(j2)));
  EXPECT_EQ(cw.JobState(j2), 7);
  EXPECT_FALSE(jobs.ControlCancel(std::uint32_t(j2))) << "a job no longer in the queue";
  ASSERT_TRUE(p->ControlResume());
  EXPECT_EQ(cw.WaitJobDone(j1), 9);
  ASSERT_TRUE(jobs.ControlRestart(std::uint32_t(j1)));
  EXPECT_EQ(cw.WaitJobDone(j1), 9);
  EXPECT_EQ(CupsWorld::Pages(spool).size(), 4u);
  ASSERT_TRUE(p->ControlPause());
  cw.Print(q, pdf, "purged");
  ASSERT_TRUE(p->ControlPurge());
  EXPECT_EQ(jobs.Count(), 0);
  ASSERT_TRUE(p->ControlResume());
  EXPECT_EQ(p->StatusText(), "Ready");
  EXPECT_EQ(cw.PrintDone(q, pdf, "after the purge"), "completed");
  EXPECT_EQ(CupsWorld::Pages(spool).size(), 6u) << "purged jobs never print";
}

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
  pb.SetIsDefault(false);  // does nothing
  EXPECT_TRUE(pa.IsDefault());
  pb.SetIsDefault(true);
  EXPECT_TRUE(pb.IsDefault());
  EXPECT_FALSE(pa.IsDefault());
  EXPECT_TRUE(pb.Attributes() & 0x4);
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

TEST(FaxPrinterSetup, QueueConfigAndTheFaxServiceDriverCheck) {
  CupsWorld cw;
  REQUIRE_CUPS(cw);
  std::string q = cw.AddQueue(cw.World().SpoolDir());
  ASSERT_TRUE(SetFaxPrinterConfig(q, "NT EMF 1.008", "vprproc"));
  CPrinterInfo p;
  p.SetDeviceName(q);
  EXPECT_EQ(p.Datatype(), "NT EMF 1.008");
  EXPECT_EQ(p.PrintProcessor(), "vprproc");
  int job = cw.Print(q, cw.MakePdf(1), "after config");
  EXPECT_EQ(cw.WaitJobDone(job), 9) << "the queue still prints after the change";
  EXPECT_FALSE(SetFaxPrinterConfig("NoSuchPrinterBrevant", "NT EMF 1.008", "vprproc"));
  EXPECT_FALSE(SetFaxPrinterConfig("bad name/#", "RAW", "x"));

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
  // On XP only the shared fax driver counts: two records, the second
  // listing the printers.
  xp = "XP";
  EXPECT_FALSE(MSFaxProperlyInstalled());
  std::string log = ErrorsLog();
  EXPECT_NE(log.find("Cant find Printer.DriverName = 'Microsoft Shared Fax Driver'"), std::string::npos) << log;
  EXPECT_NE(log.find("PrinterName = '" + fax + "', DriverName = 'windows nt fax driver'"), std::string::npos);
  SetFaxServiceProbe({});
}

TEST(Printers, SchedulerNotAnsweringGivesAnErrorTextNotAHang) {
  CupsWorld cw;
  REQUIRE_CUPS(cw);
  std::string q = cw.AddQueue(cw.World().SpoolDir());
  cupsSetServer((cw.World().Root() + "/no-scheduler.sock").c_str());
  auto t0 = std::chrono::steady_clock::now();
  CPrinters printers;
  EXPECT_TRUE(printers.PrintersCollectionBad());
  EXPECT_EQ(printers.Count(), 0);
  EXPECT_NE(ErrorsLog().find("CPrinters.Refresh"), std::string::npos);
  CPrinterInfo p;
  p.SetDeviceName(q);
  EXPECT_EQ(p.GetPrinterError(), 1722u);
  EXPECT_EQ(p.StatusText(), "The RPC server is unavailable.");
  EXPECT_EQ(p.Jobs().Count(), 0);
  EXPECT_FALSE(p.ControlPause());
  EXPECT_FALSE(SetFaxPrinterConfig(q, "NT EMF 1.008", "vprproc"));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  cupsSetServer(nullptr);
  p.Refresh();
  EXPECT_EQ(p.StatusText(), "Ready");
}
