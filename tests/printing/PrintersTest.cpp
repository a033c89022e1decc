// Printers, queues and jobs on the real CUPS scheduler, through the printer
// management classes.
#include <cups/cups.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "common/Logging.h"
#include "printing/CDevMode.h"
#include "printing/CPrinterInfo.h"
#include "printing/CPrinters.h"
#include "printing/FaxPrinterSetup.h"
#include "printing/Spooler.h"
#include "tests/printing/CupsWorld.h"

using namespace brevant;
using test::CupsWorld;

namespace {
std::string ErrorsLog() { return test::TestWorld::ReadFile(ErrorLogPath()); }
}  // namespace

TEST(Printers, CollectionAndOnePrintersInformation) {
  CupsWorld cw;
  REQUIRE_CUPS(cw);
  std::string spool = cw.World().SpoolDir();
  std::string q = cw.AddQueue(spool);
  std::vector<std::string> added;
  CPrinters printers([&](const std::string& n) { added.push_back(n); });
  EXPECT_FALSE(printers.PrintersCollectionBad());
  EXPECT_EQ(printers.Count(), int(added.size()));
  EXPECT_NE(std::find(added.begin(), added.end(), q), added.end());

  std::string lower = q;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  CPrinterInfo* p = printers.Item(lower);  // printer names ignore letter case
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->PrinterName(), q);
  EXPECT_EQ(p->PortName(), cw.Scheme() + ":" + spool);
  EXPECT_EQ(p->DriverName(), "Vestrel Fax Printer");
  EXPECT_EQ(p->Comment() + "|" + p->Location(), "Brevant test queue|test bench");
  EXPECT_TRUE(p->IsLocal() && p->CanAdminister() && !p->IsShared());
  // The queue's defaults as a device mode: A4, 204 x 196 dpi, monochrome.
  const CDevMode& dm = p->DevMode();
  EXPECT_EQ(dm.FormName(), "A4");
  EXPECT_EQ((std::vector<int>{dm.PaperSize(), dm.PaperWidth(), dm.PaperLength(), dm.PrintQuality(),
                              dm.YResolution(), dm.Color()}),
            (std::vector<int>{9, 2100, 2970, 204, 196, 1}));
  ASSERT_EQ(CupsWorld::Sh("lpadmin -p " + q + " -o printer-is-shared=true"), 0);
  p->Refresh();
  EXPECT_TRUE(p->IsShared());
  EXPECT_EQ(p->ShareName(), q);

  // A printer that does not exist, or whose name no queue can have: empty
  // information, no error text, and no crash in any member.
  for (std::string name : {std::string("NoSuchPrinterBrevant"), std::string("odd name/with#chars"),
                           std::string(""), std::string(300, 'x')}) {
    CPrinterInfo none;
    none.SetDeviceName(name);
    EXPECT_EQ(none.PrinterName(), "") << name;
    EXPECT_EQ(none.StatusText(), "Ready");
    EXPECT_FALSE(none.IsDefault() || none.CanAdminister() || none.ControlPause());
    EXPECT_EQ(none.Jobs().Count(), 0);
    EXPECT_EQ(printers.Item(name), nullptr);
  }
}

TEST(Printers, StatusFollowsTheSchedulerAndPausePurgeResumeActOnIt) {
  CupsWorld cw;
  REQUIRE_CUPS(cw);
  std::string spool = cw.World().SpoolDir();
  std::string q = cw.AddQueue(spool);
  CPrinterInfo p;
  p.SetDeviceName(q);
  EXPECT_EQ(p.StatusText(), "Ready");
  struct Step {
    const char* command;
    std::uint32_t status;
    const char* text;
  } steps[] = {{"cupsreject", 0x1000, "Not Available"},
               {"cupsdisable", 0x1001, "1001"},  // two states at once show as hexadecimal
               {"cupsaccept", 0x1, "Paused"},
               {"cupsenable", 0, "Ready"}};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.command);
    ASSERT_EQ(CupsWorld::Sh(std::string(s.command) + " " + q), 0);
    p.Refresh();
    EXPECT_EQ(p.Status(), s.status);
    EXPECT_EQ(p.StatusText(), s.text);
    EXPECT_EQ(p.IsPaused(), (s.status & 1) != 0);
  }
  // (The busy state is checked with a job in VestrelPrinter.)

  std::string pdf = cw.MakePdf(1);
  ASSERT_TRUE(p.ControlPause());
  EXPECT_EQ(p.StatusText(), "Paused");
  cw.Print(q, pdf, "one");
  cw.Print(q, pdf, "two");
  EXPECT_EQ(p.Jobs().Count(), 2);
  EXPECT_TRUE(CupsWorld::Pages(spool).empty()) << "a paused printer prints nothing";
  ASSERT_TRUE(p.ControlPurge());
  EXPECT_EQ(p.Jobs().Count(), 0);
  int job = cw.Print(q, pdf, "three");
  ASSERT_TRUE(p.ControlResume());
  EXPECT_FALSE(p.IsPaused());
  EXPECT_EQ(cw.WaitJobDone(job), 9);
  EXPECT_EQ(CupsWorld::Pages(spool).size(), 1u) << "purged jobs never print";
}

TEST(PrinterJobs, ListPauseResumeMoveCancelRestart) {
  CupsWorld cw;
  REQUIRE_CUPS(cw);
  std::string spool = cw.World().SpoolDir();
  std::string q = cw.AddQueue(spool);
  ASSERT_EQ(CupsWorld::Sh("cupsdisable " + q), 0);  // the jobs wait until resumed
  std::string pdf = cw.MakePdf(2);
  int j1 = cw.Print(q, pdf, "first document"), j2 = cw.Print(q, pdf, "second document");
  int j3 = cw.Print(q, pdf, "third document");
  ASSERT_GT(j1, 0);
  ASSERT_GT(j3, 0);
  auto key = [](int id) { return CPrinterJobs::KeyOf(std::uint32_t(id)); };

  CPrinterInfo p;
  p.SetDeviceName(q);
  CPrinterJobs& jobs = p.Jobs();
  ASSERT_EQ(jobs.Count(), 3);
  CPrinterJobInfo* first = jobs.Item(1);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(int(first->JobId()), j1);
  EXPECT_EQ(first->Document(), "first document");
  EXPECT_EQ(first->UserName(), "root");
  EXPECT_EQ(first->Position(), 1u);
  std::tm sub = first->Submitted();
  EXPECT_LT(std::abs(std::difftime(std::mktime(&sub), std::time(nullptr))), 120.0);
  EXPECT_EQ(jobs.Item(key(j2))->Document(), "second document");
  EXPECT_EQ(jobs.Item(4), nullptr);

  ASSERT_TRUE(jobs.ControlPause(std::uint32_t(j2)));
  ASSERT_NE(jobs.Item(key(j2)), nullptr);
  EXPECT_EQ(jobs.Item(key(j2))->StatusText(), "Paused");
  ASSERT_TRUE(jobs.ControlResume(std::uint32_t(j2)));
  EXPECT_FALSE(jobs.Item(key(j2))->IsPaused());

  // Moving the third job up puts it before the second.
  ASSERT_TRUE(jobs.PositionMoveUp(std::uint32_t(j3)));
  jobs.Refresh();
  EXPECT_EQ(int(jobs.Item(2)->JobId()), j3);
  EXPECT_EQ(jobs.Item(2)->Position(), 2u);
  ASSERT_TRUE(jobs.PositionMoveDown(std::uint32_t(j3)));
  jobs.Refresh();
  EXPECT_EQ(int(jobs.Item(3)->JobId()), j3);
  EXPECT_FALSE(jobs.PositionMoveUp(999999));

  ASSERT_TRUE(jobs.ControlCancel(std::uint32_t(j3)));
  EXPECT_EQ(jobs.Count(), 2);
  EXPECT_EQ(cw.JobState(j3), 7);
  EXPECT_FALSE(jobs.ControlCancel(std::uint32_t(j3))) << "a job no longer in the queue";
  EXPECT_FALSE(jobs.ControlPause(999999));

  // Resume the printer; the two jobs print. A finished job restarted
  // prints again.
  ASSERT_TRUE(p.ControlResume());
  EXPECT_EQ(cw.WaitJobDone(j1), 9);
  EXPECT_EQ(cw.WaitJobDone(j2), 9);
  EXPECT_EQ(jobs.Count(), 0);
  EXPECT_EQ(CupsWorld::Pages(spool).size(), 4u);
  ASSERT_TRUE(jobs.ControlRestart(std::uint32_t(j1)));
  EXPECT_EQ(cw.WaitJobDone(j1), 9);
  EXPECT_EQ(CupsWorld::Pages(spool).size(), 6u);

  // A queue that does not exist has no jobs and refuses every command.
  CPrinterJobs none;
  none.SetDeviceName("NoSuchPrinterBrevant");
  EXPECT_EQ(none.Count(), 0);
  EXPECT_FALSE(none.ControlCancel(std::uint32_t(j1)));
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

TEST(PrinterStatusTexts, PrinterAndJobTextsFromStatusBits) {
  EXPECT_EQ(CPrinterInfo::StatusTextFor(0x8000, 0), "Initializing");
  EXPECT_EQ(CPrinterInfo::StatusTextFor(0x1000000, 0), "Power Save Mode");
  EXPECT_EQ(CPrinterInfo::StatusTextFor(0x400, 5), "Access is denied.");
  EXPECT_EQ(CPrinterInfo::StatusTextFor(0, 4242), "Error (4242) not defined.");
  EXPECT_EQ(CPrinterJobInfo::StatusTextFor(0x1 | 0x10, ""), "Paused - Printing...");
  EXPECT_EQ(CPrinterJobInfo::StatusTextFor(0x2 | 0x400, ""), "User Intervention Required");
  EXPECT_EQ(CPrinterJobInfo::StatusTextFor(0x2 | 0x200, ""), "Error - Cannot Print");
  EXPECT_EQ(CPrinterJobInfo::StatusTextFor(0x80, "Held by the operator"), "Held by the operator");
  // Reasons the scheduler reports, with their grading suffixes.
  EXPECT_EQ(spooler::PrinterStatusBits(3, true, {"media-empty-error", "toner-low-report"}), 0x20010u);
  EXPECT_EQ(CPrinterInfo::StatusTextFor(spooler::PrinterStatusBits(3, true, {"door-open-warning"}), 0), "Door Open");
  EXPECT_EQ(CPrinterInfo::StatusTextFor(spooler::PrinterStatusBits(3, true, {"connecting-to-device"}), 0), "Ready");
  EXPECT_EQ(spooler::JobStatusBits(8, {}), 0x202u);
  EXPECT_EQ(CPrinterInfo::MakeDisplayName("\\\\SRV\\Laser", 0x10, "\\\\SRV", "\\\\SRV\\Laser"), "Laser on SRV");
  EXPECT_EQ(CPrinterInfo::MakeDisplayName("Laser", 0x40, "\\\\SRV", "\\\\SRV\\Laser"), "Laser");
}
