// Printing from another application: with hand-off on, each job's pages go
// into a job folder, and the print agent hands each job to Brevant.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/events/NamedEvent.h"
#include "tests/printing/CupsWorld.h"
#include "tools/brevant-printagent/PrintAgent.h"
#include "tools/vestrel/Backend.h"

using namespace brevant;
using test::CupsWorld;
using test::TestWorld;
namespace fs = std::filesystem;

namespace {

// A brevant that records its command line and the pages it finds; with
// `take` it clears them as the wizard does.
std::string FakeBrevant(TestWorld& w, const std::string& name, const std::string& spool, bool take) {
  std::string path = w.Root() + "/" + name;
  TestWorld::WriteFile(path, "#!/bin/sh\necho \"run $1\" >>'" + w.Root() +
                                 "/runs.txt'\n"
                                 "cd '" +
                                 spool + "' && ls *.emf >>'" + w.Root() + "/runs.txt'\n" +
                                 (take ? "rm -f '" + spool + "'*.emf\n" : std::string()));
  ::chmod(path.c_str(), 0755);
  return path;
}

}  // namespace

TEST(VestrelHandOff, JobsFromOtherApplicationsReachBrevantOneByOneAndNoneIsLost) {
  CupsWorld cw;
  if (!cw.Problem().empty()) GTEST_FAIL() << cw.Problem();
  TestWorld& w = cw.World();
  std::string spool = w.SpoolDir();
  std::string printed = vestrel::HandoffFolder(spool);
  std::string queue = cw.AddQueue(spool, true, "", "handoff=1&events=" + w.RuntimeDir());
  ASSERT_FALSE(queue.empty());

  // Printed while no Brevant run holds "FaxPrinter": a job folder appears,
  // complete, and the spool folder stays as it was.
  int first = cw.Print(queue, cw.MakePdf(2, "two.pdf"), "from an editor");
  ASSERT_EQ(cw.WaitJobDone(first), 9) << cw.JobMessage(first);
  EXPECT_TRUE(CupsWorld::Pages(spool).empty());
  ASSERT_EQ(printagent::WaitingJobs(printed),
            std::vector<std::string>{printed + std::to_string(first) + "/"});
  EXPECT_EQ(CupsWorld::Pages(printed + std::to_string(first)),
            (std::vector<std::string>{"00000001.emf", "00000002.emf"}));

  // Brevant's own print goes into the spool folder as always.
  {
    auto faxPrinter = platform::NamedEvent::Create("FaxPrinter", true, true);
    ASSERT_TRUE(faxPrinter);
    ASSERT_EQ(cw.PrintDone(queue, cw.MakePdf(1, "own.pdf"), "the pipeline's"), "completed");
  }
  EXPECT_EQ(CupsWorld::Pages(spool), std::vector<std::string>{"00000001.emf"});
  EXPECT_EQ(printagent::WaitingJobs(printed).size(), 1u);

  ASSERT_EQ(cw.PrintDone(queue, cw.MakePdf(1, "one.pdf"), "from a browser"), "completed");
  ASSERT_EQ(printagent::WaitingJobs(printed).size(), 2u);
  for (const auto& e : fs::directory_iterator(printed))
    EXPECT_EQ(e.path().string().find(".part"), std::string::npos) << e.path();

  // The older job first, each with only its own pages (not the one left in
  // the spool folder); the folders Brevant took are removed.
  printagent::Options o;
  o.spoolFolder = spool;
  o.brevant = FakeBrevant(w, "fake-brevant", spool, true);
  o.once = true;
  EXPECT_EQ(printagent::Run(o), 0);
  EXPECT_EQ(TestWorld::ReadFile(w.Root() + "/runs.txt"),
            "run new;1;\n00000001.emf\n00000002.emf\nrun new;1;\n00000001.emf\n");
  EXPECT_TRUE(printagent::WaitingJobs(printed).empty());
  EXPECT_TRUE(CupsWorld::Pages(spool).empty());
}

TEST(VestrelHandOff, AJobBrevantDoesNotTakeIsKeptAndSetAside) {
  TestWorld w;
  std::string spool = w.SpoolDir();
  std::string job = vestrel::HandoffFolder(spool) + "17/";
  fs::create_directories(job);
  TestWorld::WriteFile(job + "00000001.emf", "page one");
  TestWorld::WriteFile(job + "00000002.emf", "page two");

  // A Brevant that leaves the pages: after the last attempt the job is set
  // aside whole, not deleted.
  printagent::Options o;
  o.spoolFolder = spool;
  o.brevant = FakeBrevant(w, "busy-brevant", spool, false);
  o.once = true;
  o.maxAttempts = 2;
  EXPECT_EQ(printagent::Run(o), 0);
  EXPECT_EQ(TestWorld::ReadFile(w.Root() + "/runs.txt"),
            "run new;1;\n00000001.emf\n00000002.emf\nrun new;1;\n00000001.emf\n00000002.emf\n");
  EXPECT_TRUE(CupsWorld::Pages(spool).empty());
  std::string aside = vestrel::HandoffFolder(spool) + "17.failed";
  EXPECT_EQ(TestWorld::ReadFile(aside + "/00000002.emf"), "page two");
}
