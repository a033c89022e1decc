// Start-up, command-line parsing, dispatch and the end of a run, through the
// real brevant executable and the procedures behind it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include "app/mMisc.h"
#include "common/CWinReg.h"
#include "common/Errors.h"
#include "platform/ui/Ui.h"
#include "tests/support/TestWorld.h"

using namespace brevant;
namespace fs = std::filesystem;

namespace {

std::string Trace(const test::TestWorld& w) {
  return test::TestWorld::ReadFile(w.ProgramDir() + "/brevant.log");
}
bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

// List files: their line ends, "@@" deleting one after reading; only a
// regular file of at most 1 MiB is one: a folder, a device that never ends,
// a FIFO nobody writes to and a file one byte too large are refused at once
// with error 75, without reading them.
TEST(ParseFilesArg, ListFilesTheirLineEndsAndWhatIsNoListFile) {
  test::TestWorld w;
  std::string list = w.Root() + "/list.txt";
  test::TestWorld::WriteFile(list, "  /d/one.pdf \r\n\r\n/d/two words.doc\r/d/three.txt\n");
  EXPECT_EQ(ParseFilesArg(" /a/b.doc #@" + list + "#"),
            (StringList{"/a/b.doc", "/d/one.pdf", "", "/d/two words.doc", "/d/three.txt", ""}));
  EXPECT_EQ(ParseFilesArg("@@" + list).size(), 4u);
  EXPECT_FALSE(fs::exists(list));

  const std::string fifo = w.Root() + "/list.fifo", big = w.Root() + "/big.lst";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  test::TestWorld::WriteFile(big, std::string(kMaxListFileBytes + 1, '\n'));
  auto t0 = std::chrono::steady_clock::now();
  for (const std::string& bad : {w.Root(), std::string("/dev/zero"), fifo, big}) {
    try {
      ParseFilesArg("a.pdf#@" + bad);
      ADD_FAILURE() << bad << " was read";
    } catch (const VbError& e) {
      EXPECT_EQ(e.Number(), 75) << bad;
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  test::TestWorld::WriteFile(big, std::string(kMaxListFileBytes, '\n'));
  EXPECT_EQ(ParseFilesArg("@" + big).size(), kMaxListFileBytes);
}

// The command line is the arguments joined with single blanks; a wrongly
// cased word does nothing but still ends normally.
TEST(Startup, TraceOfTheCommandLineItsDispatchAndAnOversizedLog) {
  test::TestWorld w;
  auto r = w.RunTool("brevant", "New\\;0\\;A#\\;1#\\;docs/a b.pdf#");
  std::string t = Trace(w);
  EXPECT_TRUE(Has(t, "Main - CommandLine = New;0;A#;1#;docs/a b.pdf#\"")) << t;
  EXPECT_TRUE(Has(t, "Main - END"));
  EXPECT_FALSE(Has(t, "ShowFaxNew"));
  r = w.RunTool("brevant", "\"new;0;A#B#;111#222#;\"");
  t = Trace(w);
  EXPECT_TRUE(Has(t, "Main - before ci.ShowFaxNew\"\r\n"));
  EXPECT_TRUE(Has(t, "Main - after ci.ShowFaxNew\"\r\n"));

  // A trace log over 100 kB is started anew.
  std::string trace = w.ProgramDir() + "/brevant.log";
  test::TestWorld::WriteFile(trace, std::string(102400, 'x'));
  w.RunTool("brevant", "x");
  EXPECT_EQ(test::TestWorld::ReadFile(trace).substr(0, 102400), std::string(102400, 'x'));
  test::TestWorld::WriteFile(trace, std::string(102401, 'x'));
  w.RunTool("brevant", "x");
  EXPECT_EQ(Trace(w)[0], '"');  // a fresh log, starting with this run
}

TEST(Startup, ErrorsEndMainWithOneRecordAndLoseNothing) {
  test::TestWorld w;
  std::string list = w.Root() + "/gone.txt";
  auto r = w.RunTool("brevant", "\"new;0;A#;1#;@" + list + "#\"");
  EXPECT_EQ(r.exitCode, 0);
  std::string e = w.Errors();
  EXPECT_TRUE(
      Has(e, "53,\"new;0;A#;1#;@" + list + "#File not found: " + list + "\",\"brevant:Brevant.mMisc.Main\""))
      << e;
  std::string t = Trace(w);
  EXPECT_TRUE(Has(t, " - Error (53) in Brevant.mMisc.Main: new;0;A#;1#;@")) << t;
  EXPECT_FALSE(Has(t, "Main - END"));

  // A command line of a megabyte, in ten arguments.
  std::vector<std::string> big{"new"};
  for (int i = 0; i < 10; ++i) big.push_back(std::string(100000, i % 2 ? '#' : ';'));
  r = w.RunArgs("brevant", big);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(Has(Trace(w), "Main - END"));

  // A damaged registry store: records say so, the run ends, the store is kept.
  std::string hive = w.RegistryDir() + "/HKEY_CURRENT_USER.db";
  test::TestWorld::WriteFile(hive, std::string(4096, '!'));
  r = w.RunTool("brevant", "pause");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(Has(w.Errors(), "registry store is damaged"));
  EXPECT_EQ(test::TestWorld::ReadFile(hive), std::string(4096, '!'));
}

TEST(ExitApp, ResetsTheCoverRequestEmptiesTheSpoolAndReportsLoadedForms) {
  test::TestWorld w;
  {
    CWinReg reg;
    ASSERT_TRUE(reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, "Software\\Norvane\\Pelorin", true));
    reg.SetString("SetCoverPage", "1");
  }
  test::TestWorld::WriteFile(w.SpoolDir() + "00000001.emf", "page");
  test::TestWorld::WriteFile(w.SpoolDir() + "keep/inner.txt", "stays");
  fs::permissions(w.SpoolDir() + "00000001.emf", fs::perms::owner_read);

  bool unloaded = false;
  int stubborn = ui::RegisterForm("frmFinish", [] { throw std::runtime_error("refuses"); });
  int fine = 0;
  fine = ui::RegisterForm("frmNew", [&] {
    unloaded = true;
    ui::UnregisterForm(fine);
  });

  exitApp(1);
  CWinReg reg;
  ASSERT_TRUE(reg.InitForRead(CWinReg::HKEY_CURRENT_USER, "Software\\Norvane\\Pelorin"));
  EXPECT_EQ(reg.GetString("SetCoverPage"), "1");  // code 1 keeps the request
  EXPECT_FALSE(fs::exists(w.SpoolDir() + "00000001.emf"));
  EXPECT_EQ(test::TestWorld::ReadFile(w.SpoolDir() + "keep/inner.txt"), "stays");
  EXPECT_TRUE(unloaded);
  // The form that refused to unload is reported.
  EXPECT_TRUE(Has(w.Errors(), "0,\"Brevant.exe DumpedForms: frmFinish\",\"foundation_tests:\""))
      << w.Errors();
  ui::UnregisterForm(stubborn);

  exitApp(0);
  EXPECT_EQ(reg.GetString("SetCoverPage"), "0");
}
