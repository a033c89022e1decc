// The command front object's window operations, the sender dialog, and real
// `brevant` processes: how unattended windows end a run, and command lines
// whose lists do not match.
#include <sys/wait.h>

#include <filesystem>

#include "common/CWinReg.h"
#include "faxjob/CXmlGroups.h"
#include "tests/wizard/WizardFixture.h"
#include "wizard/QtUi.h"

namespace brevant::test {
namespace {

TEST_F(WizardTest, NewFillsTheFaxJobAndHandlesTheCoverPageRequest) {
  CXmlGroups().WriteCfgProps();  // start-up reads the delivery path from the group file
  // Mode 3 keeps a request another component stored; other modes clear it.
  for (const char* stored : {"1", "0"}) {
    SetRegString(HKCU, kPelorin, "SetCoverPage", stored);
    SetRegString(HKCU, kPelorin, "CoverPageSubject", "Kept");
    Run("new;3;A#;1#;", [&] {
      EXPECT_EQ(RegString(HKCU, kPelorin, "SetCoverPage"), "1");
      EXPECT_EQ(RegString(HKCU, kPelorin, "CoverPageSubject"), *stored == '1' ? "Kept" : "");
    });
  }
  SetRegString(HKCU, kPelorin, "CoverPageSubject", "Old");
  // The last entry of each list is not used; quotes leave the file names.
  Run("new;0;A#B#C;1#2#3;\"/srv/x y.pdf\"#/srv/z.pdf", [&] {
    EXPECT_EQ(RegString(HKCU, kPelorin, "CoverPageSubject"), "");
    ASSERT_NE(frmNew::Loaded(), nullptr);
    EXPECT_EQ(frmNew::Loaded()->lvRecipients->topLevelItemCount(), 2);
    Click(frmNew::Loaded()->findChild<QPushButton*>("btnNext"));
    ASSERT_NE(frmCover::Loaded(), nullptr);
    EXPECT_EQ(frmCover::Loaded()->lstAttachments->topLevelItemCount(), 1);
    EXPECT_EQ(frmCover::Loaded()->lstAttachments->topLevelItem(0)->text(0), "/srv/x y.pdf");
  });
  EXPECT_EQ(FaxJob().g_arrFaxName.Count(), 2u);
}

// The sender details are the fax service's values under the user's key.
TEST_F(WizardTest, SenderDialogShowsStoresAndDiscardsTheSenderDetails) {
  SetRegString(HKCU, kUserInfo, "FullName", "Ann Example");
  SetRegString(HKCU, kUserInfo, "Company", "Norvane");
  // One value too long and one a number: read as missing, silently.
  SetRegString(HKCU, kUserInfo, "Title", std::string(256, 't'));
  SetRegDword(HKCU, kUserInfo, "Department", 12);
  SetRegString(HKCU, kPelorin, "SetCoverPage", "1");
  Run("sender", [&] {
    frmSender* d = frmSender::Loaded();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->txtCompany->text(), "Norvane");
    EXPECT_TRUE(d->txtTitle->text().isEmpty() && d->txtDepartment->text().isEmpty());
    // Another program changes the name: activation shows the new one.
    SetRegString(HKCU, kUserInfo, "FullName", "Ann Changed");
    QEvent activate(QEvent::WindowActivate);
    QCoreApplication::sendEvent(d, &activate);
    EXPECT_EQ(d->txtFullName->text(), "Ann Changed");
    // Enter in the address box is a new line, not "OK".
    Type(d->txtAddress, "1 Main St");
    QTest::keyClick(d->txtAddress, Qt::Key_Return);
    Type(d->txtAddress, "Springfield");
    d->txtCompany->clear();
    Type(d->txtWorkPhone, "555 0100");
    Type(d->txtEmail, "ann@example.org");
    Type(d->txtFaxNumber, "+49 228 1");
    Click(d->btnOk);
    EXPECT_EQ(frmSender::Loaded(), nullptr);
  });
  EXPECT_EQ(RegString(HKCU, kUserInfo, "Address"), "1 Main St\nSpringfield");
  EXPECT_EQ(RegString(HKCU, kUserInfo, "OfficePhone"), "555 0100");
  EXPECT_EQ(RegString(HKCU, kUserInfo, "MailBox"), "ann@example.org");
  EXPECT_EQ(RegString(HKCU, kUserInfo, "FaxNumber"), "+49 228 1");
  CWinReg reg;
  ASSERT_TRUE(reg.InitForRead(HKCU, kUserInfo));
  EXPECT_EQ(reg.ValueType("Company"), 1u);  // written empty, not deleted
  EXPECT_EQ(reg.GetString("Company"), "");
  reg.CloseKey();
  EXPECT_EQ(RegString(HKCU, kPelorin, "SetCoverPage"), "0");  // closing it ended the run
  // Cancel leaves the store as it was.
  Run("sender", [&] {
    ASSERT_NE(frmSender::Loaded(), nullptr);
    frmSender::Loaded()->txtFullName->setText("Not saved");
    QTest::keyClick(frmSender::Loaded(), Qt::Key_Escape);
  });
  EXPECT_EQ(RegString(HKCU, kUserInfo, "FullName"), "Ann Changed");
}

// Real `brevant` processes: the window library loaded with dlopen.
class BrevantProcessTest : public ::testing::Test {
 protected:
  std::string TraceLog() const { return world.ProgramDir() + "/brevant.log"; }
  // Sanitizer builds check each run for leaks as it ends: no helper thread
  // of the window system may still be running then.
  int Run(const std::string& env, const std::string& args) const {
    std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + env +
                      " LSAN_OPTIONS=suppressions=" + SourceDir() + "/tests/lsan.supp " + BinDir() +
                      "/brevant '" + args + "' >" + world.Root() + "/out 2>&1";
    int st = std::system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  void Clean() const {
    std::filesystem::remove(TraceLog());
    std::filesystem::remove(world.ProgramDir() + "/Errors.log");
    std::filesystem::remove(world.ProgramDir() + "/FaxGroup.xml");
  }
  TestWorld world;
};

TEST_F(BrevantProcessTest, UnattendedWindowsEndTheRunAsEscapeDoes) {
  // Each window word opens its window and ends through the end of a run:
  // "exitApp(0)" resets the cover page request ("setcover" keeps it).
  for (std::string command : {"new;0;Ann#Bob#;5551234#5559876#;", "cover;0;Ann;5551234", "sender", "about",
                              "config", "warning", "repair", "setcover"}) {
    SCOPED_TRACE(command);
    Clean();
    SetRegString(HKCU, kPelorin, "SetCoverPage", "1");
    EXPECT_EQ(Run("BREVANT_UNATTENDED=1", command), 0) << TestWorld::ReadFile(world.Root() + "/out");
    bool setcover = command == "setcover";
    std::string trace = TestWorld::ReadFile(TraceLog());
    EXPECT_NE(trace.find(setcover ? ", exitApp(1) - END\"" : ", exitApp(0) - END\""), std::string::npos)
        << trace;
    EXPECT_EQ(trace.find("ConfigureFaxPrinterForConfig"), std::string::npos)
        << "a line of its own for nothing";
    EXPECT_EQ(RegString(HKCU, kPelorin, "SetCoverPage"), setcover ? "1" : "0");
    // Closed unattended, no window stores a setting.
    EXPECT_FALSE(std::filesystem::exists(world.ProgramDir() + "/FaxGroup.xml"));
    EXPECT_EQ(RegString(HKCU, kUserInfo, "CoverPageFile"), "<no key>");
    // A closed window is unloaded before the run ends: no form is left behind.
    EXPECT_EQ(world.Errors().find("DumpedForms"), std::string::npos) << world.Errors();
  }
  // Attended with no display: said once on stderr and in the error log;
  // the messages follow there.
  Clean();
  EXPECT_EQ(Run("BREVANT_UNATTENDED=0", "sendnow;0;;;"), 2);  // nothing was handed over
  std::string out = TestWorld::ReadFile(world.Root() + "/out");
  EXPECT_EQ(out.find("no window can be shown"), out.rfind("no window can be shown")) << out;
  EXPECT_NE(out.find("Pelorin: Please dial a fax number."), std::string::npos) << out;
  EXPECT_EQ(world.Errors().find("No display"), world.Errors().rfind("No display"));
  EXPECT_NE(world.Errors().find("No display"), std::string::npos);
}

TEST_F(BrevantProcessTest, CommandLineListsThatDoNotMatchAreErrors) {
  // "cover" takes every name; a name without its number opens nothing.
  EXPECT_EQ(Run("BREVANT_UNATTENDED=1", "cover;0;Ann#Bob;5551234"), 0);
  EXPECT_NE(world.Errors().find("9,\"Subscript out of range\","), std::string::npos) << world.Errors();
  EXPECT_NE(world.Errors().find(":Init.ShowFaxCover\""), std::string::npos) << world.Errors();
  EXPECT_EQ(TestWorld::ReadFile(TraceLog()).find("frmCover->Form_Load"), std::string::npos);
  // "sendnow" and "new" size the recipients by the names: fewer numbers
  // than names is the same error, and nothing is sent.
  Clean();
  EXPECT_EQ(Run("BREVANT_UNATTENDED=1", "sendnow;0;Ann#Bob#Cy#;5551234#;/srv/letter.pdf#"), 2);
  EXPECT_NE(
      world.Errors().find("9,\"sendnow;0;Ann#Bob#Cy#;5551234#;/srv/letter.pdf#Subscript out of range\","),
      std::string::npos)
      << world.Errors();
  EXPECT_EQ(world.Errors().find("printToPreview"), std::string::npos) << world.Errors();
  // A name with no number at all is a number still to dial, not an error.
  Clean();
  EXPECT_EQ(Run("BREVANT_UNATTENDED=1", "sendnow;;A#;;"), 2);
  EXPECT_NE(TestWorld::ReadFile(world.Root() + "/out").find("Pelorin: Please dial a fax number."),
            std::string::npos);
  EXPECT_EQ(world.Errors().find("mMisc.Main"), std::string::npos) << world.Errors();
  // More numbers than names: the extra numbers are not used. Pages from the
  // fax printer with no spool folder at all: no pages, the wizard opens all
  // the same.
  std::filesystem::remove_all(world.SpoolDir());
  for (const char* command : {"new;0;Ann#;5551234#5559876#;", "new;1;;;"}) {
    Clean();
    EXPECT_EQ(Run("BREVANT_UNATTENDED=1", command), 0);
    EXPECT_NE(TestWorld::ReadFile(TraceLog()).find("frmNew->Activate - END"), std::string::npos) << command;
    EXPECT_EQ(world.Errors().find("mMisc.Main"), std::string::npos) << world.Errors();
  }
}

// Painting a frame hands work to Qt's thread pool; an unattended run's end
// waits until those threads are gone, not only idle: the leak check of a
// sanitizer build stops every thread still there when the process ends,
// and one on its way out makes it fail. (Without that wait a third to
// three quarters of the rounds leave one; with it, a loaded machine still
// shows one in a round now and then.)
TEST(EndOfRun, NoPaintingThreadIsLeftWhenTheRunEnds) {
  TestWorld world;
  ASSERT_TRUE(wizard::EnsureQtUi());
  auto poolThreads = [] {  // Qt names each of them so
    int n = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
      n += TestWorld::ReadFile(task.path() / "comm") == "Thread (pooled)\n";
    return n;
  };
  std::string left;
  for (int round = 0; round < 40; ++round) {
    QGroupBox frame("Frame");
    frame.resize(1600, 1200);
    QImage painted(frame.size(), QImage::Format_ARGB32);
    frame.render(&painted);
    ui::RunUntilWindowsClosed();
    if (int n = poolThreads()) left += "round " + std::to_string(round) + ": " + std::to_string(n) + "\n";
  }
  EXPECT_LE(std::count(left.begin(), left.end(), '\n'), 10) << left;
  ui::SetBackend(nullptr);
}

}  // namespace
}  // namespace brevant::test
