// The built `brevant` on a real X server, attended: its message boxes are
// modal windows with their captions and texts, owned by the window that was
// in front, and a second copy brings the first one's window to the front.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "common/FaxJob.h"
#include "tests/support/RegValues.h"
#include "tests/support/TestWorld.h"
#include "tests/support/XDesktop.h"

namespace brevant::test {
namespace {

constexpr const char* kPelorin = "Software\\Norvane\\Pelorin";

class OnTheDesktop : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(x.Start()) << "Xvfb did not start"; }
  void TearDown() override {
    for (int pid : pids_) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }

  // Starts brevant attended on the test's X server; its output goes to out.
  int Start(const std::string& commandLine, const std::string& out) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that dies
      ::setenv("DISPLAY", x.Display().c_str(), 1);
      for (const char* v : {"BREVANT_UNATTENDED", "QT_QPA_PLATFORM", "WAYLAND_DISPLAY"}) ::unsetenv(v);
      (void)!::freopen(out.c_str(), "w", stdout);
      (void)!::freopen(out.c_str(), "a", stderr);
      std::string exe = BinDir() + "/brevant";
      ::execl(exe.c_str(), exe.c_str(), commandLine.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    pids_.push_back(pid);
    return pid;
  }
  // Waits up to ms for the process to end; its exit code, or -1.
  int Wait(int pid, int ms) {
    for (int waited = 0; waited <= ms; waited += 20) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        std::erase(pids_, pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
  std::string Trace() const { return TestWorld::ReadFile(world.ProgramDir() + "/brevant.log"); }

  TestWorld world;
  XDesktop x;

 private:
  std::vector<int> pids_;
};

TEST_F(OnTheDesktop, MessagesOfTheCommandWordsAreModalBoxesOwnedByTheWindowInFront) {
  unsigned long terminal = x.MakeWindow("terminal", true);
  struct Case {
    std::string commandLine, text, lastLine;
    std::string groupFile;
    int exitStatus;  // "sendnow" tells a script that nothing went
  };
  const std::vector<Case> cases{
      {"help", "Help", "Main - END", "", 0},
      {"new;0;Ann#;5551234#;", "You should set Fax Mail in Setup for using Pelorin.", "Main - END",
       "<Groups><ProgramType>1</ProgramType></Groups>", 0},
      {"sendnow;0;;;", "Please dial a fax number.", "Main - END", "", kSendNothing},
      {"sendnow;0;Ann#;5551234#;", "You should add document and/or cover page to send fax.", "Main - END", "",
       kSendNothing},
  };
  SetRegString(HKCU, kPelorin, "SetCoverPage", "0");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commandLine);
    TestWorld::WriteFile(world.ProgramDir() + "/FaxGroup.xml", c.groupFile);
    std::filesystem::remove(world.ProgramDir() + "/brevant.log");
    x.SetFocus(terminal);
    int pid = Start(c.commandLine, world.Root() + "/out");
    unsigned long box = x.WaitForWindow("Pelorin", 15000);
    ASSERT_NE(box, 0u) << TestWorld::ReadFile(world.Root() + "/out");
    EXPECT_EQ(x.Owner(box), terminal);
    // The run waits for the user: the box stays, the run does not end.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(x.Mapped(box));
    EXPECT_EQ(Trace().find(c.lastLine), std::string::npos);
    // What the box says, selected as a user selects it.
    EXPECT_EQ(x.SelectText(box), c.text);
    // Its one button, OK, ends the run.
    x.SetFocus(box);
    ASSERT_TRUE(x.Keys("Return"));
    EXPECT_EQ(Wait(pid, 10000), c.exitStatus);
    EXPECT_NE(Trace().find(c.lastLine), std::string::npos) << Trace();
    EXPECT_EQ(TestWorld::ReadFile(world.Root() + "/out").find(c.text), std::string::npos)
        << "shown, not written to stderr";
  }
  EXPECT_EQ(Trace().find("frmNew"), std::string::npos);
}

TEST_F(OnTheDesktop, TheWizardIsOwnedByTheWindowInFrontUnlessItsPagesCameFromThePrinter) {
  unsigned long terminal = x.MakeWindow("terminal", true);
  for (const char* mode : {"0", "1"}) {
    SCOPED_TRACE(mode);
    x.SetFocus(terminal);
    int pid = Start(std::string("new;") + mode + ";Ann#;5551234#;", world.Root() + "/out");
    unsigned long page = x.WaitForWindow("New Fax", 15000);
    ASSERT_NE(page, 0u) << TestWorld::ReadFile(world.Root() + "/out");
    // Pages printed from another program: in front of everything, owned by nobody.
    bool printed = *mode == '1';
    EXPECT_EQ(x.Owner(page) == terminal, !printed);
    EXPECT_EQ(x.HasState(page, "_NET_WM_STATE_ABOVE"), printed);
    // Escape throws nothing away; Return presses the button that has the
    // focus ("Cancel", the one before the name box), not "Next >".
    x.SetFocus(page);
    ASSERT_TRUE(x.Keys("Escape"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(x.Mapped(page));
    ASSERT_TRUE(x.Keys("shift+Tab") && x.Keys("Return"));
    EXPECT_EQ(Wait(pid, 10000), 0);
    EXPECT_EQ(Trace().find("frmNew->btnNext_Click"), std::string::npos) << Trace();
  }
  EXPECT_NE(Trace().find("frmNew->cmdCancel_Click - END"), std::string::npos);
}

TEST_F(OnTheDesktop, ASecondConfigBringsTheOpenConfigurationToTheFront) {
  int first = Start("config", world.Root() + "/first");
  unsigned long dialog = x.WaitForWindow("Pelorin Configure", 15000);
  ASSERT_NE(dialog, 0u) << TestWorld::ReadFile(world.Root() + "/first");
  // Modeless: the command has returned while its dialog stays open.
  EXPECT_NE(Trace().find("Main - END"), std::string::npos) << Trace();
  // Another program's window comes over it and takes the focus.
  unsigned long other = x.MakeWindow("editor", true);
  auto above = [&](unsigned long a, unsigned long b) {
    std::vector<unsigned long> order = x.Stacking();
    auto ia = std::find(order.begin(), order.end(), a), ib = std::find(order.begin(), order.end(), b);
    return ia != order.end() && ib != order.end() && ia > ib;
  };
  ASSERT_TRUE(above(other, dialog));

  int second = Start("config", world.Root() + "/second");
  EXPECT_EQ(Wait(second, 10000), 0);
  for (int i = 0; i < 100 && !above(dialog, other); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(above(dialog, other));
  // One dialog only: the second copy opened nothing and ended normally.
  const std::string shown = "frmConfigureClient->GetInitData\"";
  EXPECT_NE(Trace().find(shown), std::string::npos);
  EXPECT_EQ(Trace().find(shown), Trace().rfind(shown)) << Trace();

  // The wizard while the configuration shows: it opens nothing and leaves
  // the cover page request alone.
  SetRegString(HKCU, kPelorin, "CoverPageSubject", "Stored");
  EXPECT_EQ(Wait(Start("new;0;Bob#;5559876#;", world.Root() + "/wizard"), 10000), 0);
  EXPECT_EQ(Trace().find("frmNew->Form_Load"), std::string::npos);
  EXPECT_EQ(RegString(HKCU, kPelorin, "CoverPageSubject"), "Stored");

  // Escape is "Cancel": the first copy ends through the end of a run.
  x.SetFocus(dialog);
  ASSERT_TRUE(x.Keys("Escape"));
  EXPECT_EQ(Wait(first, 10000), 0) << TestWorld::ReadFile(world.Root() + "/first");
  EXPECT_NE(Trace().find("exitApp(0) - END"), std::string::npos);
}

TEST_F(OnTheDesktop, AboutWithAnAboutBoxOnTheDesktopShowsThatOneAndOpensNone) {
  // Another program's window titled as the about box (another copy of the
  // program in another session on this display, for one).
  unsigned long other = x.MakeWindow("About Pelorin");
  int pid = Start("about", world.Root() + "/out");
  EXPECT_EQ(Wait(pid, 15000), 0) << TestWorld::ReadFile(world.Root() + "/out");
  EXPECT_NE(Trace().find("frmAbout->Form_Load"), std::string::npos) << Trace();
  EXPECT_EQ(Trace().find("frmAbout->cmdOK_Click"), std::string::npos) << Trace();
  EXPECT_NE(Trace().find("exitApp(0) - END"), std::string::npos) << "closed as with OK";
  EXPECT_TRUE(x.Mapped(other));
}

}  // namespace
}  // namespace brevant::test
