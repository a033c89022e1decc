// The fax printer end to end: documents printed to a queue served by the
// build's vestrel backend on the real CUPS scheduler become EMF pages in the
// spool folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cups/cups.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/emf/Emf.h"
#include "printing/CPrinterInfo.h"
#include "tests/printing/CupsWorld.h"
#include "tests/support/TestUser.h"
#include "tools/vestrel/Backend.h"

using namespace brevant;
using test::CupsWorld;

namespace {

struct Box {
  int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;
};
Box BlackBox(const emf::Page& p) {
  Box b;
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x)
      if (p.Black(x, y)) b = {std::min(b.left, x), std::min(b.top, y), std::max(b.right, x), std::max(b.bottom, y)};
  return b;
}

emf::Page ReadPage(const std::string& path) {
  emf::Page p;
  std::string err;
  EXPECT_TRUE(emf::ReadFile(path, &p, &err)) << err;
  return p;
}

}  // namespace

TEST(VestrelPrinter, PdfAndTextBecomeNumberedFaxPagesOfA4AtFineResolution) {
  CupsWorld cw;
  REQUIRE_CUPS(cw);
  std::string spool = cw.World().SpoolDir();
  std::string q = cw.AddQueue(spool);
  ASSERT_FALSE(q.empty());

  std::string pdf = cw.MakePdf(3);
  ASSERT_FALSE(pdf.empty());
  int job = cw.Print(q, pdf, "three pages");
  ASSERT_GT(job, 0) << cupsLastErrorString();
  ASSERT_EQ(cw.WaitJobDone(job), 9) << cw.JobMessage(job);
  // The queue is empty only once the pages are written.
  CPrinterInfo printer;
  printer.SetDeviceName(q);
  EXPECT_EQ(printer.Jobs().Count(), 0);
  ASSERT_EQ(CupsWorld::Pages(spool), (std::vector<std::string>{"00000001.emf", "00000002.emf", "00000003.emf"}));

  emf::Page first = ReadPage(spool + "00000001.emf");
  EXPECT_EQ(first.width, 1728);
  EXPECT_EQ(first.height, 2292);
  EXPECT_EQ(first.xdpi, 204);
  EXPECT_EQ(first.ydpi, 196);
  // The frame 72 pt inside an A4 page, fitted into 1728 pixels (A4 is
  // 1686 pixels wide at 204 dpi, so it sits 21 pixels in): left edge at
  // 21 + 204, right at 21 + 522 / 72 * 204, bottom 72 pt above the foot.
  Box b = BlackBox(first);
  EXPECT_NEAR(b.left, 225, 6);
  EXPECT_NEAR(b.right, 1500, 6);
  EXPECT_NEAR(b.bottom, 2292 - 196, 6);
  // The top is the heading's capitals: baseline 700 pt, cap height 26 pt.
  EXPECT_NEAR(b.top, (842 - 726) * 196 / 72, 6);
  emf::Page second = ReadPage(spool + "00000002.emf");
  EXPECT_NE(first.bits, second.bits) << "each page shows its own number";

  // A text file with form feeds: four pages, numbered after the PDF's.
  std::string text = cw.World().Root() + "/note.txt";
  {
    std::ofstream out(text);
    for (int p = 1; p <= 4; ++p) {
      for (int l = 0; l < 20; ++l) out << "Line " << l << " of text page " << p << "\n";
      if (p < 4) out << "\f";
    }
  }
  job = cw.Print(q, text, "note");
  ASSERT_GT(job, 0);
  ASSERT_EQ(cw.WaitJobDone(job), 9) << cw.JobMessage(job);
  std::vector<std::string> all = CupsWorld::Pages(spool, true);
  ASSERT_EQ(all.size(), 7u) << "no temporary file is left beside the pages";
  EXPECT_EQ(all.back(), "00000007.emf");
  emf::Page textPage = ReadPage(spool + "00000004.emf");
  EXPECT_EQ(textPage.width, 1728);
  EXPECT_EQ(textPage.height, 2292);
  Box tb = BlackBox(textPage);
  EXPECT_LT(tb.top, 2292 / 4) << "text starts near the top of the page";
  EXPECT_GT(textPage.BlackCount(), 1000u);

  struct stat st {};
  ASSERT_EQ(::stat((spool + "00000004.emf").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  // A fax goes out once: copies asked for by the application are ignored.
  job = cw.Print(q, cw.MakePdf(1, "one.pdf"), "two copies", "", 2);
  ASSERT_EQ(cw.WaitJobDone(job), 9) << cw.JobMessage(job);
  EXPECT_EQ(CupsWorld::Pages(spool).size(), 8u);
}

// Who printed decides where the pages go: the scheduler authenticates the
// submitting user, the backend renders as that user and writes only into a
// folder of theirs. Claiming another name ("lp -U"), a queue whose folder
// belongs to someone else, or a symlink on the way leaves nothing anywhere
// but in the printing user's own folder.
TEST(VestrelPrinter, PagesGoOnlyIntoTheAuthenticatedUsersOwnFolder) {
  CupsWorld cw;
  REQUIRE_CUPS(cw);
  test::TestUser ann("ann"), eve("eve");
  ASSERT_EQ(ann.Problem() + eve.Problem(), "");
  const std::string tag = ".brevant-t" + std::to_string(::getpid());
  const std::string perUser = "/~/" + tag + "/QuorSpool/";
  std::string q = cw.AddQueue(perUser, false);
  ASSERT_FALSE(q.empty());
  const std::string doc = cw.OpenFolder() + "/doc.pdf";
  std::filesystem::copy_file(cw.MakePdf(2), doc);
  ASSERT_EQ(::chmod(doc.c_str(), 0644), 0);

  // Ann's job: her pages in her folder, made for her alone.
  int job = cw.Print(q, doc, "ann's letter", ann.Name());
  ASSERT_GT(job, 0) << cupsLastErrorString();
  ASSERT_EQ(cw.WaitJobDone(job), 9) << cw.JobMessage(job);
  const std::string annSpool = ann.Home() + "/" + tag + "/QuorSpool/";
  ASSERT_EQ(CupsWorld::Pages(annSpool, true), (std::vector<std::string>{"00000001.emf", "00000002.emf"}));
  struct stat st {};
  ASSERT_EQ(::stat(annSpool.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ann.Uid());
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((annSpool + "00000002.emf").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ann.Uid());
  EXPECT_EQ(st.st_gid, ann.Gid());
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  // Eve claims to be Ann, then root: the scheduler refuses both, and
  // neither Ann's folder nor root's home gets anything.
  std::string said;
  EXPECT_NE(eve.Sh("lp -U " + ann.Name() + " -d " + q + " " + doc, &said), 0);
  EXPECT_NE(said.find("Unauthorized"), std::string::npos) << said;
  EXPECT_NE(eve.Sh("lp -U root -d " + q + " " + doc, &said), 0);
  EXPECT_EQ(CupsWorld::Pages(annSpool, true).size(), 2u);
  EXPECT_FALSE(std::filesystem::exists("/root/" + tag));

  // Eve's own job lands in Eve's folder only.
  ASSERT_EQ(eve.Sh("lp -d " + q + " " + doc), 0);
  const std::string eveSpool = eve.Home() + "/" + tag + "/QuorSpool/";
  for (int i = 0; i < 600 && CupsWorld::Pages(eveSpool).size() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(CupsWorld::Pages(eveSpool).size(), 2u);
  EXPECT_EQ(CupsWorld::Pages(annSpool, true).size(), 2u);

  // A queue whose folder is Ann's, printed to by Eve: aborted, with the
  // reason, and nothing written there.
  ASSERT_EQ(ann.Sh("mkdir -m 0755 fixed", &said), 0) << said;
  const std::string annFixed = ann.Home() + "/fixed/";
  std::string q2 = cw.AddQueue(annFixed, false);
  job = cw.Print(q2, doc, "eve into ann's", eve.Name());
  EXPECT_EQ(cw.WaitJobDone(job), 8);
  EXPECT_NE(cw.JobMessage(job).find(ann.Home() + " (owner uid " + std::to_string(ann.Uid()) +
                                     ", mode 0755) belongs to another user"),
            std::string::npos)
      << cw.JobMessage(job);
  // Through a symlink of Eve's that leads there: refused all the same.
  ASSERT_EQ(eve.Sh("ln -s " + annFixed + " link"), 0);
  std::string q3 = cw.AddQueue(eve.Home() + "/link/sub/", false);
  job = cw.Print(q3, doc, "eve through a link", eve.Name());
  EXPECT_EQ(cw.WaitJobDone(job), 8);
  EXPECT_NE(cw.JobMessage(job).find("is a symbolic link"), std::string::npos) << cw.JobMessage(job);
  EXPECT_TRUE(CupsWorld::Pages(annFixed, true).empty());

  // A queue that lets anyone print under any name: there "lp -U" gets
  // through the scheduler, so the name counts for nothing and the job has
  // no user's folder to go to.
  std::string q4 = cw.AddQueue(perUser, false);
  ASSERT_EQ(CupsWorld::Sh("lpadmin -p " + q4 + " -o printer-op-policy=default"), 0);
  ASSERT_EQ(eve.Sh("lp -U " + ann.Name() + " -d " + q4 + " " + doc, &said), 0) << said;
  int claimed = std::atoi(said.substr(said.find(q4 + "-") + q4.size() + 1).c_str());
  EXPECT_EQ(cw.WaitJobDone(claimed), 8);
  EXPECT_NE(cw.JobMessage(claimed).find("no home folder of the job's user"), std::string::npos)
      << cw.JobMessage(claimed);
  EXPECT_EQ(CupsWorld::Pages(annSpool, true).size(), 2u);
}

// Root's own jobs are written into root's folder, but Ghostscript reads the
// document as lp, never as root.
TEST(VestrelPrinter, RootsJobsAreRenderedAsLp) {
  CupsWorld cw;
  REQUIRE_CUPS(cw);
  std::string spool = cw.World().SpoolDir();
  std::string q = cw.AddQueue(spool);
  // A page that takes Ghostscript a few seconds, so its process is seen.
  std::string slow = cw.World().Root() + "/slow.ps";
  test::TestWorld::WriteFile(slow, "%!PS\n1 1 15000000 { pop } for\n/Helvetica findfont 30 scalefont setfont\n"
                                   "72 700 moveto (slow) show showpage\n");
  int job = cw.Print(q, slow, "slow");
  ASSERT_GT(job, 0);
  // The backend runs with its device URI as argv[0]; its children render.
  const std::string seen = cw.World().Root() + "/renderers";
  const std::string probe = "ps -o user=,args= --ppid \"$(pgrep -d, -f '^" + cw.Scheme() +
                            ":')\" 2>/dev/null | awk '/pbmraw/ {print $1}' > " + seen;
  for (int i = 0; i < 400 && test::TestWorld::ReadFile(seen).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    CupsWorld::Sh(probe);
  }
  EXPECT_EQ(test::TestWorld::ReadFile(seen), "lp\n");
  ASSERT_EQ(cw.WaitJobDone(job), 9) << cw.JobMessage(job);
  struct stat st {};
  ASSERT_EQ(::stat((spool + "00000001.emf").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
}

TEST(VestrelPrinter, BadDocumentsAndFoldersAbortTheJobAndLeaveNoPages) {
  CupsWorld cw;
  REQUIRE_CUPS(cw);
  std::string spool = cw.World().SpoolDir();
  std::string q = cw.AddQueue(spool);
  std::string pdf = cw.MakePdf(3);

  // A PDF cut off before its page tree. (One that keeps its page tree and
  // its pages' contents is repaired by Ghostscript and prints whole.)
  std::string cut = cw.World().Root() + "/cut.pdf";
  std::string whole = test::TestWorld::ReadFile(pdf);
  test::TestWorld::WriteFile(cut, whole.substr(0, whole.size() / 4));
  int job = cw.Print(q, cut, "cut");
  EXPECT_EQ(cw.WaitJobDone(job), 8);
  // A PDF that is garbage behind its header.
  std::string junk = cw.World().Root() + "/junk.pdf";
  test::TestWorld::WriteFile(junk, "%PDF-1.4\n" + std::string(3000, 'x') + "\n%%EOF\n");
  job = cw.Print(q, junk, "junk");
  EXPECT_EQ(cw.WaitJobDone(job), 8);
  EXPECT_TRUE(CupsWorld::Pages(spool, true).empty());

  // An empty document is refused or aborted; it never leaves a page.
  std::string empty = cw.World().Root() + "/empty.pdf";
  test::TestWorld::WriteFile(empty, "");
  job = cw.Print(q, empty, "empty");
  if (job > 0) {
    EXPECT_GE(cw.WaitJobDone(job), 7);
  }
  EXPECT_TRUE(CupsWorld::Pages(spool, true).empty());

  // A spool folder that does not exist.
  std::string missing = cw.World().Root() + "/no/such/folder/";
  std::string q2 = cw.AddQueue(missing, false);
  job = cw.Print(q2, pdf, "nowhere");
  EXPECT_EQ(cw.WaitJobDone(job), 8);
  EXPECT_NE(cw.JobMessage(job).find("spool folder"), std::string::npos) << cw.JobMessage(job);

  // The queue still works after all that.
  job = cw.Print(q, pdf, "good");
  EXPECT_EQ(cw.WaitJobDone(job), 9);
  EXPECT_EQ(CupsWorld::Pages(spool).size(), 3u);
}

TEST(VestrelPrinter, TwoQueuesIntoOneFolderNeverShareAPageNumber) {
  CupsWorld cw;
  REQUIRE_CUPS(cw);
  std::string spool = cw.World().SpoolDir();
  std::string a = cw.AddQueue(spool), b = cw.AddQueue(spool);
  std::string pdf = cw.MakePdf(4);
  int j1 = cw.Print(a, pdf, "a"), j2 = cw.Print(b, pdf, "b");
  int j3 = cw.Print(a, pdf, "a2");
  EXPECT_EQ(cw.WaitJobDone(j1), 9);
  EXPECT_EQ(cw.WaitJobDone(j2), 9);
  EXPECT_EQ(cw.WaitJobDone(j3), 9);
  std::vector<std::string> pages = CupsWorld::Pages(spool, true);
  ASSERT_EQ(pages.size(), 12u);
  EXPECT_EQ(pages.front(), "00000001.emf");
  EXPECT_EQ(pages.back(), "00000012.emf");
}

TEST(VestrelPrinter, APrinterBusyWithAJobShowsPrintingUntilThePagesAreWritten) {
  CupsWorld cw;
  REQUIRE_CUPS(cw);
  std::string spool = cw.World().SpoolDir();
  std::string q = cw.AddQueue(spool);
  std::string pdf = cw.MakePdf(2);
  // Another writer holds the spool folder: the backend waits for it, so the
  // printer stays busy with the job.
  int dir = ::open(spool.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dir, 0);
  ASSERT_EQ(::flock(dir, LOCK_EX), 0);
  int job = cw.Print(q, pdf, "waits");
  CPrinterInfo printer;
  printer.SetDeviceName(q);
  for (int i = 0; i < 500 && printer.Status() != 0x400; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    printer.Refresh();
  }
  EXPECT_EQ(printer.Status(), 0x400u);
  EXPECT_EQ(printer.StatusText(), "Printing");
  ASSERT_EQ(printer.Jobs().Count(), 1);
  EXPECT_EQ(printer.Jobs().Item(1)->Status(), 0x10u);
  EXPECT_EQ(printer.Jobs().Item(1)->StatusText(), "Printing...");
  EXPECT_TRUE(CupsWorld::Pages(spool, true).empty());
  ::close(dir);
  EXPECT_EQ(cw.WaitJobDone(job), 9);
  EXPECT_EQ(CupsWorld::Pages(spool).size(), 2u);
  printer.Refresh();
  EXPECT_EQ(printer.StatusText(), "Ready");

  // Cancelling a job the backend is busy with stops it; none of its pages
  // appear, not even once the folder is free again.
  dir = ::open(spool.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(dir, LOCK_EX), 0);
  job = cw.Print(q, pdf, "cancelled");
  for (int i = 0; i < 500 && cw.JobState(job) != 5; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(cw.JobState(job), 5);
  EXPECT_TRUE(printer.Jobs().ControlCancel(std::uint32_t(job)));
  EXPECT_EQ(cw.WaitJobDone(job, 10000), 7);
  ::close(dir);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(CupsWorld::Pages(spool, true).size(), 2u);
  EXPECT_EQ(printer.Jobs().Count(), 0);
}

// The backend run directly by a user, as CUPS would run it with a file
// argument, or with the document on stdin. Run so (not as root), it is that
// user and writes into that user's own folder.
TEST(VestrelBackend, CommandLineStdinPjlAndUris) {
  test::TestUser user("cli");
  ASSERT_EQ(user.Problem(), "");
  const std::string spool = user.Home() + "/QuorSpool/";
  std::string said;
  ASSERT_EQ(user.Sh("mkdir QuorSpool", &said), 0) << said;
  CupsWorld helper;  // only for MakePdf
  const std::string pdf = user.Home() + "/doc.pdf";
  std::filesystem::copy_file(helper.MakePdf(2), pdf);
  ASSERT_EQ(::chmod(pdf.c_str(), 0644), 0);
  const std::string err = user.Home() + "/err.txt";

  auto run = [&](const std::string& uri, const std::string& args) {
    return user.Sh("DEVICE_URI=\"" + uri + "\" " + test::BinDir() + "/vestrel " + args + " 2>" + err);
  };
  EXPECT_EQ(run("vestrel:" + spool, "1 anyone title 1 \"\" " + pdf), 0) << test::TestWorld::ReadFile(err);
  EXPECT_EQ(CupsWorld::Pages(spool).size(), 2u);

  // A document wrapped in PJL, on stdin: the wrapper is dropped.
  std::string wrapped = user.Home() + "/wrapped.prn";
  test::TestWorld::WriteFile(wrapped, std::string("\x1b%-12345X@PJL JOB\n@PJL ENTER LANGUAGE = PDF\n") +
                                          test::TestWorld::ReadFile(pdf) + "\x1b%-12345X@PJL EOJ \n\x1b%-12345X");
  ::chmod(wrapped.c_str(), 0644);
  EXPECT_EQ(run("vestrel://" + spool, "2 anyone title 1 \"\" <" + wrapped), 0) << test::TestWorld::ReadFile(err);
  EXPECT_EQ(CupsWorld::Pages(spool).back(), "00000004.emf");

  // Wrong argument counts and URIs that name no folder fail at once.
  EXPECT_EQ(run("vestrel:" + spool, "1 root"), 1);
  EXPECT_EQ(run("ipp://host/printers/x", "3 root t 1 \"\" " + pdf), 1);
  EXPECT_NE(test::TestWorld::ReadFile(err).find("does not name a spool folder"), std::string::npos);
  // An events folder that is not a full path is refused the same way.
  EXPECT_EQ(run("vestrel:" + spool + "?events=run", "4 root t 1 \"\" " + pdf), 1);
  EXPECT_NE(test::TestWorld::ReadFile(err).find("does not name a spool folder"), std::string::npos);
  EXPECT_EQ(CupsWorld::Sh(test::BinDir() + "/vestrel | grep -q '^direct vestrel '"), 0);

  EXPECT_EQ(vestrel::SpoolFolderFromUri("vestrel:/a%20b/Quor%25Spool"), "/a b/Quor%Spool/");
  EXPECT_EQ(vestrel::SpoolFolderFromUri("vestrel:///x/"), "/x/");
  EXPECT_EQ(vestrel::SpoolFolderFromUri("vestrel://server/x/"), "");
  EXPECT_EQ(vestrel::SpoolFolderFromUri("vestrel:relative/"), "");
  EXPECT_EQ(vestrel::SpoolFolderFromUri("vestrel-t1:/x", "vestrel-t1"), "/x/");
  EXPECT_EQ(vestrel::SpoolFolderFromUri("other:/x"), "");

  // A folder in each user's home, the hand-off to the print agent and the
  // events folder.
  vestrel::DeviceUri d;
  ASSERT_TRUE(vestrel::ParseDeviceUri("vestrel:/~/.local/share/brevant/QuorSpool/?handoff=1", "", &d));
  EXPECT_EQ(d.spoolFolder, "/~/.local/share/brevant/QuorSpool/");
  EXPECT_TRUE(d.handoff);
  EXPECT_EQ(d.eventsDir, "");
  EXPECT_EQ(vestrel::ExpandUserHome(d.spoolFolder, "/home/ann/"), "/home/ann/.local/share/brevant/QuorSpool/");
  EXPECT_EQ(vestrel::ExpandUserHome("/srv/spool/", "/home/ann"), "/srv/spool/");
  EXPECT_EQ(vestrel::HandoffFolder("/srv/spool"), "/srv/spool/Printed/");

  ASSERT_TRUE(vestrel::ParseDeviceUri("vestrel-x:/s%20p?events=/run/my%20events&handoff=0", "vestrel-x", &d));
  EXPECT_EQ(d.spoolFolder, "/s p/");
  EXPECT_FALSE(d.handoff);
  EXPECT_EQ(d.eventsDir, "/run/my events");
  // The query is not part of the folder; a relative events folder is refused.
  EXPECT_EQ(vestrel::SpoolFolderFromUri("vestrel:/a/b?handoff"), "/a/b/");
  EXPECT_FALSE(vestrel::ParseDeviceUri("vestrel:/a/?events=run", "", &d));
}

TEST(VestrelBackend, NumberingContinuesAfterTheHighestPageAndACancelledJobLeavesNothing) {
  test::TestWorld w;
  std::string spool = w.SpoolDir();
  std::filesystem::create_directories(spool);
  test::TestWorld::WriteFile(spool + "00000000.emf", "cover");
  test::TestWorld::WriteFile(spool + "00000009.EMF", "x");
  test::TestWorld::WriteFile(spool + "00000010.emf.part", "x");
  test::TestWorld::WriteFile(spool + "spool.pnx", "x");
  EXPECT_EQ(vestrel::NextPageNumber(spool), 10);
  EXPECT_EQ(vestrel::NextPageNumber(w.Root() + "/missing/"), 1);

  // A slow document (a busy loop before its page): cancelling kills the
  // renderer, and the job reports the cancel.
  std::string ps = w.Root() + "/slow.ps";
  test::TestWorld::WriteFile(ps, "%!PS\n1 1 400000000 { pop } for\nshowpage\n");
  vestrel::RenderOptions o;
  o.document = ps;
  o.spoolFolder = spool;
  // Run as root, the backend renders as another user, who must reach the
  // document and the renderer.
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  o.renderUid = nobody->pw_uid;
  o.renderGid = nobody->pw_gid;
  ::chmod(w.Root().c_str(), 0755);
  ::chmod(ps.c_str(), 0644);
  std::thread canceller([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    vestrel::RequestCancel();
  });
  auto t0 = std::chrono::steady_clock::now();
  vestrel::RenderResult r = vestrel::RenderToSpool(o);
  canceller.join();
  EXPECT_EQ(r.status, vestrel::kBackendCancel);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(CupsWorld::Pages(spool, true).size(), 4u);  // only the files that were there
  vestrel::ClearCancel();

  // A render that runs past its time limit is stopped and fails.
  o.timeoutMs = 300;
  t0 = std::chrono::steady_clock::now();
  r = vestrel::RenderToSpool(o);
  EXPECT_EQ(r.status, vestrel::kBackendFailed);
  EXPECT_NE(r.error.find("longer than"), std::string::npos) << r.error;
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(CupsWorld::Pages(spool, true).size(), 4u);

  // A renderer that is missing, says nothing, or talks nonsense.
  o.timeoutMs = 10000;
  o.ghostscript = w.Root() + "/no-such-gs";
  r = vestrel::RenderToSpool(o);
  EXPECT_EQ(r.status, vestrel::kBackendFailed);
  EXPECT_NE(r.error.find("cannot start"), std::string::npos) << r.error;
  o.ghostscript = "true";
  EXPECT_EQ(vestrel::RenderToSpool(o).error, "the document has no pages");
  std::string fake = w.Root() + "/fake-gs";
  test::TestWorld::WriteFile(fake, "#!/bin/sh\nprintf 'P4\\n99999 99999\\n'\n");
  ::chmod(fake.c_str(), 0755);
  o.ghostscript = fake;
  r = vestrel::RenderToSpool(o);
  EXPECT_NE(r.error.find("unexpected page size"), std::string::npos) << r.error;
  test::TestWorld::WriteFile(fake, "#!/bin/sh\nprintf 'P4\\n8 2\\n\\377'\nexit 0\n");
  r = vestrel::RenderToSpool(o);
  EXPECT_EQ(r.error, "a rendered page was cut short");
  EXPECT_EQ(CupsWorld::Pages(spool, true).size(), 4u);

  // A page a killed job left half-written does not block its number.
  test::TestWorld::WriteFile(fake, "#!/bin/sh\nprintf 'P4\\n8 2\\n\\377\\377'\n");
  r = vestrel::RenderToSpool(o);
  EXPECT_EQ(r.status, vestrel::kBackendOk) << r.error;
  EXPECT_EQ(CupsWorld::Pages(spool, true),
            (std::vector<std::string>{"00000000.emf", "00000009.EMF", "00000010.emf", "spool.pnx"}));

  // Root never renders with its own rights.
  o.renderUid = uid_t(-1);
  EXPECT_EQ(vestrel::RenderToSpool(o).error, "the document is not rendered with root's rights");
  o.renderUid = 0;
  EXPECT_EQ(vestrel::RenderToSpool(o).error, "the document is not rendered with root's rights");
}

// scripts/setup-printer, under a queue and backend name of the test's own:
// it installs the backend, creates the queue for a folder with a blank in
// its name, and run again keeps the queue and its waiting jobs.
TEST(VestrelSetup, ScriptInstallsBackendAndQueueAndCanRunAgain) {
  CupsWorld cw;
  REQUIRE_CUPS(cw);
  const std::string id = std::to_string(::getpid());
  const std::string queue = "BrevantSetup" + id, scheme = "vestrel-s" + id;
  const std::string spool = cw.World().Root() + "/Program Files/QuorSpool/";
  const std::string build = std::filesystem::path(test::BinDir()).parent_path().string();
  const std::string run = "VESTREL_QUEUE=" + queue + " VESTREL_SCHEME=" + scheme + " BUILD_DIR='" + build + "' " +
                          test::SourceDir() + "/scripts/setup-printer '" + spool + "' >/dev/null";
  struct Cleanup {
    std::string queue, backend;
    ~Cleanup() {
      CupsWorld::Sh("lpadmin -x " + queue + " 2>/dev/null");
      ::unlink(backend.c_str());
    }
  } cleanup{queue, "/usr/lib/cups/backend/" + scheme};

  ASSERT_EQ(CupsWorld::Sh(run), 0);
  struct stat st {};
  ASSERT_EQ(::stat(cleanup.backend.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u) << "mode 0700 makes cupsd run it as root";
  CPrinterInfo p;
  p.SetDeviceName(queue);
  EXPECT_EQ(p.PortName(), scheme + ":" + cw.World().Root() + "/Program%20Files/QuorSpool/");
  EXPECT_EQ(p.DriverName(), "Vestrel Fax Printer");
  EXPECT_FALSE(p.IsShared());

  std::string pdf = cw.MakePdf(1);
  ASSERT_EQ(CupsWorld::Sh("cupsdisable " + queue), 0);
  int job = cw.Print(queue, pdf, "waiting");
  ASSERT_EQ(CupsWorld::Sh(run), 0);  // enables the queue again
  EXPECT_EQ(cw.WaitJobDone(job), 9) << "the waiting job survives a second set-up: " << cw.JobMessage(job);
  EXPECT_EQ(CupsWorld::Pages(spool), std::vector<std::string>{"00000001.emf"});
}
