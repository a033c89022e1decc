// The fax printer end to end on the real CUPS scheduler.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "platform/emf/Emf.h"
#include "printing/CPrinterInfo.h"
#include "tests/printing/CupsWorld.h"
#include "tests/support/TestUser.h"
#include "tools/vestrel/Backend.h"

using namespace brevant;
using test::CupsWorld;
using test::TestWorld;

namespace {

emf::Page ReadPage(const std::string& path) {
  emf::Page p;
  std::string err;
  EXPECT_TRUE(emf::ReadFile(path, &p, &err)) << err;
  return p;
}

// A fax printer queue writing into the world's spool folder.
class VestrelPrinter : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_CUPS(cw);
    ASSERT_FALSE(q.empty());
  }
  CupsWorld cw;
  std::string spool = cw.World().SpoolDir(), q = cw.Problem().empty() ? cw.AddQueue(spool) : "";
};

}  // namespace

TEST_F(VestrelPrinter, PdfBecomesNumberedFaxPagesOfA4AtFineResolution) {
  ASSERT_EQ(cw.PrintDone(q, cw.MakePdf(3), "three pages"), "completed");
  ASSERT_EQ(CupsWorld::Pages(spool),
            (std::vector<std::string>{"00000001.emf", "00000002.emf", "00000003.emf"}));

  // Fine fax pages (their ink is judged in tests/arrival).
  emf::Page first = ReadPage(spool + "00000001.emf");
  EXPECT_EQ((std::vector<int>{first.width, first.height, first.xdpi, first.ydpi}),
            (std::vector<int>{1728, 2292, 204, 196}));
  EXPECT_NE(first.bits, ReadPage(spool + "00000002.emf").bits) << "each page shows its own number";

  // A fax goes out once: copies asked for by the application are ignored;
  // the numbers go on, no temporary file is left beside the pages.
  ASSERT_EQ(cw.PrintDone(q, cw.MakePdf(1, "one.pdf"), "two copies", "", 2), "completed");
  EXPECT_EQ(CupsWorld::Pages(spool, true).back(), "00000004.emf");
  EXPECT_EQ(CupsWorld::Pages(spool, true).size(), 4u);
}

// Pages go only into the authenticated printing user's own folder, whatever
// name is claimed, whose folder the queue names or which symlink is on the way.
TEST_F(VestrelPrinter, PagesGoOnlyIntoTheAuthenticatedUsersOwnFolder) {
  test::TestUser ann("ann"), eve("eve");
  ASSERT_EQ(ann.Problem() + eve.Problem(), "");
  const std::string tag = ".brevant-t" + std::to_string(::getpid());
  const std::string perUser = "/~/" + tag + "/QuorSpool/";
  q = cw.AddQueue(perUser, false);
  ASSERT_FALSE(q.empty());
  const std::string doc = cw.MakePdf(2);  // the other users read it
  ASSERT_EQ(::chmod(cw.World().Root().c_str(), 0755) + ::chmod(doc.c_str(), 0644), 0);

  // Ann's job: her pages in her folder, made for her alone.
  ASSERT_EQ(cw.PrintDone(q, doc, "ann's letter", ann.Name()), "completed");
  const std::string annSpool = ann.Home() + "/" + tag + "/QuorSpool/";
  const std::string annIds = std::to_string(ann.Uid()) + " " + std::to_string(ann.Gid());
  ASSERT_EQ(CupsWorld::Pages(annSpool, true), (std::vector<std::string>{"00000001.emf", "00000002.emf"}));
  EXPECT_EQ(TestWorld::Owner(annSpool, true), annIds + " 700");
  EXPECT_EQ(TestWorld::Owner(annSpool + "00000002.emf", true), annIds + " 644");

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

  // Eve into Ann's folder, directly or through a symlink: aborted, nothing written.
  ASSERT_EQ(ann.Sh("mkdir -m 0755 fixed", &said), 0) << said;
  const std::string annFixed = ann.Home() + "/fixed/";
  std::string result = cw.PrintDone(cw.AddQueue(annFixed, false), doc, "eve into ann's", eve.Name());
  EXPECT_TRUE(result.starts_with("aborted: ") &&
              result.find(ann.Home() + " (owner uid " + std::to_string(ann.Uid()) +
                          ", mode 0755) belongs to another user") != std::string::npos)
      << result;
  ASSERT_EQ(eve.Sh("ln -s " + annFixed + " link"), 0);
  result = cw.PrintDone(cw.AddQueue(eve.Home() + "/link/sub/", false), doc, "link", eve.Name());
  EXPECT_TRUE(result.starts_with("aborted: ") && result.find("is a symbolic link") != std::string::npos)
      << result;
  EXPECT_TRUE(CupsWorld::Pages(annFixed, true).empty());

  // A queue that lets "lp -U" through: the claimed name gets no folder.
  std::string q4 = cw.AddQueue(perUser, false);
  ASSERT_EQ(CupsWorld::Sh("lpadmin -p " + q4 + " -o printer-op-policy=default"), 0);
  ASSERT_EQ(eve.Sh("lp -U " + ann.Name() + " -d " + q4 + " " + doc, &said), 0) << said;
  int claimed = std::atoi(said.substr(said.find(q4 + "-") + q4.size() + 1).c_str());
  EXPECT_EQ(cw.WaitJobDone(claimed), 8);
  EXPECT_NE(cw.JobMessage(claimed).find("no home folder of the job's user"), std::string::npos)
      << cw.JobMessage(claimed);
  EXPECT_EQ(CupsWorld::Pages(annSpool, true).size(), 2u);
}

// Root's jobs go into root's folder, but Ghostscript reads them as lp.
TEST_F(VestrelPrinter, RootsJobsAreRenderedAsLp) {
  // A page that takes Ghostscript a few seconds, so its process is seen.
  std::string slow = cw.World().Root() + "/slow.ps";
  TestWorld::WriteFile(slow,
                       "%!PS\n1 1 15000000 { pop } for\n/Helvetica findfont 30 scalefont setfont\n"
                       "72 700 moveto (slow) show showpage\n");
  int job = cw.Print(q, slow, "slow");
  ASSERT_GT(job, 0);
  // The backend runs with its device URI as argv[0]; its child renders.
  // Looked for in /proc directly: a shell probe forked on a busy machine
  // can miss the second or so that Ghostscript runs.
  auto cmdline = [](const std::string& pid) {
    std::string c = TestWorld::ReadFile("/proc/" + pid + "/cmdline");
    std::replace(c.begin(), c.end(), '\0', ' ');
    return c;
  };
  // A status line's first number ("PPid:\t12", "Uid:\t7\t7\t7\t7").
  auto field = [](const std::string& status, const std::string& name) {
    std::size_t at = status.find("\n" + name + ":\t");
    return at == std::string::npos ? -1L : std::atol(status.c_str() + at + name.size() + 3);
  };
  long renderer = -1;
  for (int i = 0; i < 4000 && renderer < 0; ++i) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
      std::string pid = e.path().filename();
      if (cmdline(pid).find("-sDEVICE=pbmraw") == std::string::npos) continue;
      std::string status = TestWorld::ReadFile("/proc/" + pid + "/status");
      if (cmdline(std::to_string(field(status, "PPid"))).starts_with(cw.Scheme() + ":"))
        renderer = field(status, "Uid");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  struct passwd* lp = ::getpwnam("lp");
  ASSERT_NE(lp, nullptr);
  EXPECT_EQ(renderer, long(lp->pw_uid));
  ASSERT_EQ(cw.WaitJobDone(job), 9) << cw.JobMessage(job);
  EXPECT_EQ(TestWorld::Owner(spool + "00000001.emf"), "0 644");
}

TEST_F(VestrelPrinter, BadDocumentsAndFoldersAbortTheJobAndTwoQueuesShareNoPageNumber) {
  std::string q2 = cw.AddQueue(spool);
  std::string pdf = cw.MakePdf(4);

  // A cut, a garbage and an empty PDF: never a page.
  const std::string dir = cw.World().Root();
  TestWorld::WriteFile(dir + "/cut.pdf",
                       TestWorld::ReadFile(pdf).substr(0, TestWorld::ReadFile(pdf).size() / 4));
  TestWorld::WriteFile(dir + "/junk.pdf", "%PDF-1.4\n" + std::string(3000, 'x') + "\n%%EOF\n");
  TestWorld::WriteFile(dir + "/empty.pdf", "");
  EXPECT_EQ(cw.PrintDone(q, dir + "/cut.pdf", "cut").substr(0, 8), "aborted:");
  EXPECT_EQ(cw.PrintDone(q, dir + "/junk.pdf", "junk").substr(0, 8), "aborted:");
  EXPECT_NE(cw.PrintDone(q, dir + "/empty.pdf", "empty"), "completed");
  EXPECT_TRUE(CupsWorld::Pages(spool, true).empty());
  // A spool folder that does not exist.
  EXPECT_NE(cw.PrintDone(cw.AddQueue(dir + "/no/such/folder/", false), pdf, "nowhere").find("spool folder"),
            std::string::npos);

  // Two queues printing into one folder at once never share a page number.
  int j1 = cw.Print(q, pdf, "a"), j2 = cw.Print(q2, pdf, "b"), j3 = cw.Print(q, pdf, "a2");
  EXPECT_EQ(cw.WaitJobDone(j1), 9);
  EXPECT_EQ(cw.WaitJobDone(j2), 9);
  EXPECT_EQ(cw.WaitJobDone(j3), 9);
  std::vector<std::string> pages = CupsWorld::Pages(spool, true);
  ASSERT_EQ(pages.size(), 12u);
  EXPECT_EQ(pages.back(), "00000012.emf");
}

// While another writer holds the spool folder the job stays queued (the
// pipeline waits for an empty queue); cancelled then, it writes no page.
TEST_F(VestrelPrinter, AJobStaysQueuedUntilItsPagesAreWrittenAndACancelledOneWritesNone) {
  std::string pdf = cw.MakePdf(2);
  for (bool cancel : {false, true}) {
    SCOPED_TRACE(cancel ? "cancelled" : "waits");
    int dir = ::open(spool.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::flock(dir, LOCK_EX), 0);
    int job = cw.Print(q, pdf, "waits");
    for (int i = 0; i < 500 && cw.JobState(job) != 5; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(cw.JobState(job), 5) << "the job is being printed";
    CPrinterInfo printer;
    printer.SetDeviceName(q);
    EXPECT_EQ(printer.Jobs().Count(), 1);
    EXPECT_EQ(CupsWorld::Pages(spool, true).size(), cancel ? 2u : 0u);
    if (cancel)
      EXPECT_EQ(CupsWorld::Sh("cancel " + std::to_string(job)), 0);
    else
      ::close(dir);
    EXPECT_EQ(cw.WaitJobDone(job, 10000), cancel ? 7 : 9);
    if (cancel) ::close(dir);
    std::this_thread::sleep_for(std::chrono::milliseconds(cancel ? 500 : 0));
    EXPECT_EQ(CupsWorld::Pages(spool, true).size(), 2u);
  }
}

// The backend run directly by a user, with a file or on stdin.
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
  EXPECT_EQ(run("vestrel:" + spool, "1 anyone title 1 \"\" " + pdf), 0) << TestWorld::ReadFile(err);
  EXPECT_EQ(CupsWorld::Pages(spool).size(), 2u);

  // A document wrapped in PJL, on stdin: the wrapper is dropped.
  std::string wrapped = user.Home() + "/wrapped.prn";
  TestWorld::WriteFile(wrapped, std::string("\x1b%-12345X@PJL JOB\n@PJL ENTER LANGUAGE = PDF\n") +
                                    TestWorld::ReadFile(pdf) + "\x1b%-12345X@PJL EOJ \n\x1b%-12345X");
  ::chmod(wrapped.c_str(), 0644);
  EXPECT_EQ(run("vestrel://" + spool, "2 anyone title 1 \"\" <" + wrapped), 0) << TestWorld::ReadFile(err);
  EXPECT_EQ(CupsWorld::Pages(spool).back(), "00000004.emf");

  // A URI that names no spool folder fails at once.
  EXPECT_EQ(run("vestrel:relative/", "3 root t 1 \"\" " + pdf), 1);
  EXPECT_NE(TestWorld::ReadFile(err).find("does not name a spool folder"), std::string::npos);
  EXPECT_EQ(CupsWorld::Sh(test::BinDir() + "/vestrel | grep -q '^direct vestrel '"), 0);
}

TEST(VestrelBackend, NumberingContinuesAfterTheHighestPageAndACancelledJobLeavesNothing) {
  TestWorld w;
  std::string spool = w.SpoolDir();
  std::filesystem::create_directories(spool);
  TestWorld::WriteFile(spool + "00000000.emf", "cover");
  TestWorld::WriteFile(spool + "00000009.EMF", "x");
  TestWorld::WriteFile(spool + "00000010.emf.part", "x");
  TestWorld::WriteFile(spool + "spool.pnx", "x");
  EXPECT_EQ(vestrel::NextPageNumber(spool), 10);
  EXPECT_EQ(vestrel::NextPageNumber(w.Root() + "/missing/"), 1);

  // Cancelling kills the renderer of a slow document.
  std::string ps = w.Root() + "/slow.ps";
  TestWorld::WriteFile(ps, "%!PS\n1 1 400000000 { pop } for\nshowpage\n");
  vestrel::RenderOptions o;
  o.document = ps;
  o.spoolFolder = spool;
  // Run as root, it renders as another user.
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

  // A renderer that is missing, says nothing, or talks nonsense writes no
  // page; a page a killed job left half-written does not block its number.
  o.timeoutMs = 10000;
  const std::string fake = w.Root() + "/fake-gs";
  for (auto [output, error] : {std::pair{"", "cannot start"},
                               {"exit 0", "the document has no pages"},
                               {"printf 'P4\\n99999 99999\\n'", "unexpected page size"},
                               {"printf 'P4\\n8 2\\n\\377'", "a rendered page was cut short"},
                               {"printf 'P4\\n8 2\\n\\377\\377'", ""}}) {
    TestWorld::WriteFile(fake, std::string("#!/bin/sh\n") + output + "\n");
    ::chmod(fake.c_str(), 0755);
    o.ghostscript = *output ? fake : w.Root() + "/no-such-gs";
    r = vestrel::RenderToSpool(o);
    EXPECT_TRUE(*error ? r.error.find(error) != std::string::npos : r.status == vestrel::kBackendOk)
        << r.error;
    if (*error) {
      EXPECT_EQ(CupsWorld::Pages(spool, true).size(), 4u) << error;
    }
  }
  EXPECT_EQ(CupsWorld::Pages(spool, true),
            (std::vector<std::string>{"00000000.emf", "00000009.EMF", "00000010.emf", "spool.pnx"}));

  // Root never renders with its own rights.
  for (uid_t uid : {uid_t(-1), uid_t(0)}) {
    o.renderUid = uid;
    EXPECT_EQ(vestrel::RenderToSpool(o).error, "the document is not rendered with root's rights");
  }
}

// scripts/setup-printer under names of the test's own; run again it keeps
// the queue and its waiting jobs.
TEST(VestrelSetup, ScriptInstallsBackendAndQueueAndCanRunAgain) {
  CupsWorld cw;
  REQUIRE_CUPS(cw);
  const std::string id = std::to_string(::getpid());
  const std::string queue = "BrevantSetup" + id, scheme = "vestrel-s" + id;
  const std::string spool = cw.World().Root() + "/Program Files/QuorSpool/";
  const std::string build = std::filesystem::path(test::BinDir()).parent_path().string();
  const std::string run = "VESTREL_QUEUE=" + queue + " VESTREL_SCHEME=" + scheme + " BUILD_DIR='" + build +
                          "' " + test::SourceDir() + "/scripts/setup-printer '" + spool + "' >/dev/null";
  struct Cleanup {
    std::string queue, backend;
    ~Cleanup() {
      CupsWorld::Sh("lpadmin -x " + queue + " 2>/dev/null");
      ::unlink(backend.c_str());
    }
  } cleanup{queue, "/usr/lib/cups/backend/" + scheme};

  ASSERT_EQ(CupsWorld::Sh(run), 0);
  EXPECT_EQ(TestWorld::Owner(cleanup.backend), "0 700") << "mode 0700 makes cupsd run it as root";
  CPrinterInfo p;
  p.SetDeviceName(queue);
  EXPECT_EQ(p.PortName(), scheme + ":" + cw.World().Root() + "/Program%20Files/QuorSpool/");
  EXPECT_EQ(p.DriverName(), "Vestrel Fax Printer");
  EXPECT_FALSE(p.IsShared());

  ASSERT_EQ(CupsWorld::Sh("cupsdisable " + queue), 0);
  int job = cw.Print(queue, cw.MakePdf(1), "waiting");
  ASSERT_EQ(CupsWorld::Sh(run), 0);  // enables the queue again
  EXPECT_EQ(cw.WaitJobDone(job), 9) << "the waiting job survives a second set-up: " << cw.JobMessage(job);
  EXPECT_EQ(CupsWorld::Pages(spool), std::vector<std::string>{"00000001.emf"});
}
