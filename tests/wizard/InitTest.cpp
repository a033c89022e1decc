// The command front object's window operations, the sender dialog, and real
// `brevant` processes: how unattended windows end a run, and command lines
// whose lists do not match.
#include <sys/wait.h>

#include <chrono>
#include <filesystem>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTreeWidget>

#include "app/Init.h"
#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/FaxJob.h"
#include "common/Logging.h"
#include "faxjob/CXmlGroups.h"
#include "tests/wizard/WizardFixture.h"
#include "wizard/frmCover.h"
#include "wizard/frmNew.h"
#include "wizard/frmSender.h"

namespace brevant::test {
namespace {

using namespace brevant::wizard;
constexpr const char* kPelorin = "Software\\Norvane\\Pelorin";
constexpr const char* kUserInfo = "Software\\Microsoft\\Fax\\UserInfo";

TEST_F(WizardTest, NewFillsTheFaxJobAndHandlesTheCoverPageRequest) {
  {
    CXmlGroups groups;  // start-up reads the delivery path from the group file
    groups.WriteCfgProps();
    groups.Save();
  }
  // Mode 3 keeps a request another component stored; other modes clear it.
  SetRegString(HKCU, kPelorin, "SetCoverPage", "1");
  SetRegString(HKCU, kPelorin, "CoverPageSubject", "Kept");
  SetRegString(HKCU, kPelorin, "CoverPageNote", "Kept note");
  Run("new;3;A#;1#;", [&] {
    EXPECT_EQ(RegString(HKCU, kPelorin, "SetCoverPage"), "1");
    EXPECT_EQ(RegString(HKCU, kPelorin, "CoverPageSubject"), "Kept");
    EXPECT_EQ(RegString(HKCU, kPelorin, "CoverPageNote"), "Kept note");
  });
  SetRegString(HKCU, kPelorin, "SetCoverPage", "0");
  SetRegString(HKCU, kPelorin, "CoverPageSubject", "Old");
  Run("new;3;A#;1#;", [&] {
    EXPECT_EQ(RegString(HKCU, kPelorin, "SetCoverPage"), "1");
    EXPECT_EQ(RegString(HKCU, kPelorin, "CoverPageSubject"), "");
  });
  SetRegString(HKCU, kPelorin, "CoverPageSubject", "Old");
  // The last entry of each list is not used; quotes leave the file names.
  Run("new;0;A#B#C;1#2#3;\"/srv/x y.pdf\"#/srv/z.pdf", [&] {
    EXPECT_EQ(RegString(HKCU, kPelorin, "CoverPageSubject"), "");
    frmNew* page = frmNew::Loaded();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->lvRecipients->topLevelItemCount(), 2);
    Click(page->findChild<QPushButton*>("btnNext"));
    ASSERT_NE(frmCover::Loaded(), nullptr);
    EXPECT_EQ(frmCover::Loaded()->lstAttachments->topLevelItemCount(), 1);
    EXPECT_EQ(frmCover::Loaded()->lstAttachments->topLevelItem(0)->text(0), "/srv/x y.pdf");
  });
  EXPECT_EQ(FaxJob().g_arrFaxName.Count(), 2u);
  EXPECT_EQ(FaxJob().g_arrFaxName[2], "B");
}

TEST_F(WizardTest, SenderDialogShowsStoresAndDiscardsTheSenderDetails) {
  SetRegString(HKCU, kUserInfo, "FullName", "Ann Example");
  SetRegString(HKCU, kUserInfo, "Company", "Norvane");
  SetRegString(HKCU, kPelorin, "SetCoverPage", "1");
  Run("sender", [&] {
    frmSender* d = frmSender::Loaded();
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(d->windowTitle(), "Sender Information");
    EXPECT_EQ(d->txtFullName->text(), "Ann Example");
    EXPECT_EQ(d->txtCompany->text(), "Norvane");
    // Another program changes the name: activation shows the new one.
    SetRegString(HKCU, kUserInfo, "FullName", "Ann Changed");
    QEvent activate(QEvent::WindowActivate);
    QCoreApplication::sendEvent(d, &activate);
    EXPECT_EQ(d->txtFullName->text(), "Ann Changed");

    // Enter in the address box is a new line, not "OK".
    Type(d->txtAddress, "1 Main St");
    QTest::keyClick(d->txtAddress, Qt::Key_Return);
    Type(d->txtAddress, "Springfield");
    EXPECT_EQ(frmSender::Loaded(), d);
    d->txtCompany->clear();
    Type(d->txtWorkPhone, "555 0100");
    Click(d->btnOk);
    EXPECT_EQ(frmSender::Loaded(), nullptr);
  });
  EXPECT_EQ(RegString(HKCU, kUserInfo, "Address"), "1 Main St\nSpringfield");
  EXPECT_EQ(RegString(HKCU, kUserInfo, "Company"), "");
  EXPECT_EQ(RegString(HKCU, kUserInfo, "OfficePhone"), "555 0100");
  EXPECT_EQ(RegString(HKCU, kUserInfo, "FullName"), "Ann Changed");
  EXPECT_EQ(RegString(HKCU, kPelorin, "SetCoverPage"), "0");  // closing it ended the run

  // Cancel leaves the store as it was; the next opening shows it.
  Run("sender", [&] {
    frmSender* d = frmSender::Loaded();
    ASSERT_NE(d, nullptr);
    d->txtFullName->setText("Not saved");
    QTest::keyClick(d, Qt::Key_Escape);
    EXPECT_EQ(frmSender::Loaded(), nullptr);
  });
  EXPECT_EQ(RegString(HKCU, kUserInfo, "FullName"), "Ann Changed");
}

// Real `brevant` processes: the window library loaded with dlopen.
class BrevantProcessTest : public ::testing::Test {
 protected:
  std::string Brevant() const { return BinDir() + "/brevant"; }
  std::string TraceLog() const { return world.ProgramDir() + "/brevant.log"; }
  // Sanitizer builds: leaks inside the system's font libraries are not ours;
  // the leak checker's scan of thread-local data crashes once libcups has
  // been loaded beside the window library's threads ("config"), so it is
  // left out here.
  static std::string Lsan() { return "LSAN_OPTIONS=use_tls=0:suppressions=" + SourceDir() + "/tests/lsan.supp "; }
  int Run(const std::string& env, const std::string& args) const {
    std::string cmd = "env " + env + " " + Lsan() + Brevant() + " '" + args + "' >" + world.Root() + "/out 2>&1";
    int st = std::system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  static std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }
  TestWorld world;
};

TEST_F(BrevantProcessTest, UnattendedWindowsEndTheRunAsTheirCloseBoxDoes) {
  const std::string offscreen = "-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM BREVANT_UNATTENDED=1";
  auto started = std::chrono::steady_clock::now();
  // Each window word opens its window and ends through the end of a run:
  // "exitApp(0)" resets the cover page request ("setcover" keeps it).
  for (const char* command : {"new;0;Ann#Bob#;5551234#5559876#;", "cover;0;Ann;5551234", "sender", "about",
                              "config", "warning", "repair", "setcover"}) {
    SCOPED_TRACE(command);
    std::filesystem::remove(TraceLog());
    {
      CWinReg reg;
      ASSERT_TRUE(reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, kPelorin, true));
      reg.SetString("SetCoverPage", "1");
    }
    EXPECT_EQ(Run(offscreen, command), 0) << TestWorld::ReadFile(world.Root() + "/out");
    std::string trace = TestWorld::ReadFile(TraceLog());
    bool setcover = std::string(command) == "setcover";
    EXPECT_NE(trace.find(setcover ? ", exitApp(1) - END\"" : ", exitApp(0) - END\""), std::string::npos) << trace;
    EXPECT_NE(trace.find("Main - END"), std::string::npos);
    EXPECT_EQ(trace.find("ConfigureFaxPrinterForConfig"), std::string::npos) << "a line of its own for nothing";
    CWinReg reg;
    ASSERT_TRUE(reg.InitForRead(CWinReg::HKEY_CURRENT_USER, kPelorin));
    EXPECT_EQ(reg.GetString("SetCoverPage"), setcover ? "1" : "0");
  }
  // The recipients page closed like its close box: "Cancel", then the end
  // of the run, inside the modal show.
  std::filesystem::remove(TraceLog());
  std::filesystem::remove(world.ProgramDir() + "/Errors.log");
  Run(offscreen, "new;0;Ann#;5551234#;");
  std::string trace = TestWorld::ReadFile(TraceLog());
  std::size_t cancel = trace.find("frmNew->cmdCancel_Click\""), end = trace.find("exitApp(0) - END"),
              after = trace.find("ShowFaxNew - after  frmNew.Show(vbModal)");
  EXPECT_LT(trace.find("frmNew->Activate - END"), cancel);
  EXPECT_LT(cancel, end);
  EXPECT_LT(end, after);
  EXPECT_EQ(TestWorld::ReadFile(world.ProgramDir() + "/Errors.log").find("DumpedForms"), std::string::npos);

  // Only a window or an attended message box loads the window library.
  EXPECT_EQ(Run("LD_DEBUG=files BREVANT_UNATTENDED=1", "help"), 0);
  EXPECT_EQ(TestWorld::ReadFile(world.Root() + "/out").find("brevant-windows"), std::string::npos);
  EXPECT_EQ(Run("LD_DEBUG=files BREVANT_UNATTENDED=1", "sender"), 0);
  EXPECT_NE(TestWorld::ReadFile(world.Root() + "/out").find("brevant-windows"), std::string::npos);

  // Attended with no display: said once on stderr and in the error log;
  // the messages follow there.
  std::filesystem::remove(world.ProgramDir() + "/Errors.log");
  EXPECT_EQ(Run("-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM BREVANT_UNATTENDED=0", "sendnow;0;;;"), 0);
  std::string out = TestWorld::ReadFile(world.Root() + "/out");
  EXPECT_EQ(Count(out, "no window can be shown"), 1u) << out;
  EXPECT_NE(out.find("Pelorin: Please dial a fax number."), std::string::npos) << out;
  EXPECT_EQ(Count(TestWorld::ReadFile(world.ProgramDir() + "/Errors.log"), "No display"), 1u);
  EXPECT_EQ(Run("-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM BREVANT_UNATTENDED=0", "sender"), 0);
  EXPECT_EQ(Count(TestWorld::ReadFile(world.Root() + "/out"), "no window can be shown"), 1u);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
}

TEST_F(BrevantProcessTest, CommandLineListsThatDoNotMatchAreErrors) {
  const std::string unattended = "BREVANT_UNATTENDED=1";
  // "cover" takes every name; a name without its number opens nothing.
  EXPECT_EQ(Run(unattended, "cover;0;Ann#Bob;5551234"), 0);
  std::string errors = TestWorld::ReadFile(world.ProgramDir() + "/Errors.log");
  EXPECT_NE(errors.find("9,\"Subscript out of range"), std::string::npos) << errors;
  EXPECT_NE(errors.find(":Init.ShowFaxCover\""), std::string::npos) << errors;
  EXPECT_EQ(TestWorld::ReadFile(TraceLog()).find("frmCover->Form_Load"), std::string::npos);

  // "sendnow" and "new" size the recipients by the names: fewer numbers
  // than names is the same error, and nothing is sent.
  std::filesystem::remove(world.ProgramDir() + "/Errors.log");
  EXPECT_EQ(Run(unattended, "sendnow;0;Ann#Bob#;5551234;/srv/letter.pdf#"), 0);
  errors = TestWorld::ReadFile(world.ProgramDir() + "/Errors.log");
  EXPECT_NE(errors.find("9,\"sendnow;0;Ann#Bob#;5551234;/srv/letter.pdf#Subscript out of range"), std::string::npos)
      << errors;
  EXPECT_EQ(errors.find("printToPreview"), std::string::npos) << errors;
  // More numbers than names: the extra numbers are not used.
  std::filesystem::remove(TraceLog());
  EXPECT_EQ(Run("-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + unattended, "new;0;Ann#;5551234#5559876#;"), 0);
  EXPECT_NE(TestWorld::ReadFile(TraceLog()).find("frmNew->Activate - END"), std::string::npos);

  // Pages from the fax printer with no spool folder at all: no pages, the
  // wizard opens all the same.
  std::filesystem::remove(world.ProgramDir() + "/Errors.log");
  std::filesystem::remove_all(world.SpoolDir());
  EXPECT_EQ(Run("-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + unattended, "new;1;;;"), 0);
  EXPECT_NE(TestWorld::ReadFile(TraceLog()).find("frmNew->Activate - END"), std::string::npos);
  EXPECT_EQ(TestWorld::ReadFile(world.ProgramDir() + "/Errors.log").find("mMisc.Main"), std::string::npos)
      << TestWorld::ReadFile(world.ProgramDir() + "/Errors.log");
}

}  // namespace
}  // namespace brevant::test
