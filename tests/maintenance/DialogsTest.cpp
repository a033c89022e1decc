// The about box, the warning and the repair dialog, driven by their control
// names under the offscreen platform. With BREVANT_SCREENSHOT_DIR set, each
// dialog is also saved as a PNG there (scripts/screenshots-maint).
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Logging.h"
#include "maintenance/About.h"
#include "maintenance/Installation.h"
#include "maintenance/ui/MaintenanceDialogs.h"
#include "maintenance/ui/MaintenanceForms.h"
#include "tests/maintenance/FakeShell.h"
#include "tests/maintenance/HttpServer.h"
#include "tests/support/QtApp.h"
#include "tests/support/RegValues.h"
#include "tests/support/TestWorld.h"
#include "tests/support/UiRecorder.h"

using namespace brevant;
namespace fs = std::filesystem;
using test::TestWorld;

namespace {

// The visible top-level windows of that name (the forms' control names).
std::vector<QWidget*> Open(const QString& objectName) {
  std::vector<QWidget*> out;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == objectName && w->isVisible()) out.push_back(w);
  return out;
}

std::string Text(QWidget* form, const char* name) {
  if (auto* l = form->findChild<QLabel*>(name)) return l->text().toStdString();
  return "<no label " + std::string(name) + ">";
}

void Click(QWidget* form, const char* name) {
  auto* b = form->findChild<QPushButton*>(name);
  ASSERT_NE(b, nullptr) << name;
  QTest::mouseClick(b, Qt::LeftButton);
  QApplication::processEvents();
}

void Shot(QWidget* w, const std::string& name) {
  const char* dir = std::getenv("BREVANT_SCREENSHOT_DIR");
  if (!dir || !*dir) return;
  QApplication::processEvents();
  w->grab().save(QString::fromStdString(std::string(dir) + "/" + name + ".png"));
}

// Counts the runs that end (OK, Cancel) while it lives.
struct Exits {
  Exits() {
    SetMaintenanceExitHandler([this] { ++count; });
  }
  ~Exits() { SetMaintenanceExitHandler(nullptr); }
  int count = 0;
};

}  // namespace

TEST(AboutBox, OneWindowWithTheInstalledVersionWhoseButtonsAndLinkReachTheirServices) {
  TestWorld w;
  test::EnsureWidgetApplication();
  test::FakeShell shell(w);
  test::UiRecorder ui;
  test::HttpServer updates({200, "0"});
  test::SetRegString(test::HKLM, kPelorinKey, "UpdateSite", updates.Site());
  test::SetRegString(test::HKLM, kPelorinKey, "Version", "1.0.7");
  ShowAboutBox();
  ASSERT_EQ(Open("frmAbout").size(), 1u);
  QWidget* about = Open("frmAbout")[0];
  EXPECT_EQ(Text(about, "lblVersion"), "Version 1.00.0007");
  Shot(about, "about");
  // A second "about" shows the first one and opens nothing new.
  about->showMinimized();
  ShowAboutBox();
  QApplication::processEvents();
  EXPECT_EQ(Open("frmAbout").size(), 1u);
  EXPECT_FALSE(about->isMinimized());

  Click(about, "cmdUpdate");
  EXPECT_EQ(updates.Requests().size(), 1u);
  Click(about, "cmdSysInfo");  // no system information tool is registered
  EXPECT_EQ(ui.messages,
            (std::vector<std::string>{"Pelorin: Update is not available.",
                                      "Pelorin: System Information Is Unavailable At This Time"}));
  QTest::mouseClick(about->findChild<QLabel*>("LabelURL"), Qt::LeftButton);
  EXPECT_EQ(shell.Opened(), "https://www.norvane.com/pelorin");

  // OK closes it and ends the run.
  Exits exits;
  Click(about, "cmdOK");
  EXPECT_EQ(Open("frmAbout").size(), 0u);
  EXPECT_EQ(exits.count, 1);

  // The build number only from a product version of the same major and minor.
  EXPECT_EQ(AboutVersionText(1, 20, "3.10.1"), "Version 1.20");
  EXPECT_EQ(AboutVersionText(1, 20, ""), "Version 1.20");
  EXPECT_EQ(AboutVersionText(1, 5, "1.05.12345"), "Version 1.05.12345");  // numbers, not texts, compared
  EXPECT_EQ(AboutVersionText(1, 5, "1.5.3.9"), "Version 1.05.0003");
  EXPECT_EQ(AboutVersionText(2, 0, "2.0.beta"), "Version 2.00.beta");
}

TEST(WarningDialog, OnTopWithOnlyOkEveryTimeItIsAskedFor) {
  TestWorld w;
  test::EnsureWidgetApplication();
  for (std::string text : {"", "", "Can't find scan device. Please install scan or device camera."}) {
    SCOPED_TRACE(text);
    std::string seen;
    QTimer::singleShot(0, [&] {
      ASSERT_EQ(Open("frmWarning").size(), 1u);
      QWidget* dlg = Open("frmWarning")[0];
      seen = Text(dlg, "lblText");
      EXPECT_TRUE(dlg->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
      auto buttons = dlg->findChildren<QAbstractButton*>();
      ASSERT_EQ(buttons.size(), 1);
      EXPECT_EQ(buttons[0]->text(), "OK");
      Shot(dlg, text.empty() ? "warning" : "warning-message");
      Click(dlg, "cmdOK");
    });
    ShowWarningDialog(text);  // returns only when OK closed it
    EXPECT_EQ(seen, text.empty()
                        ? "Warning: This application work only with fax-modem. You fax not installed or "
                          "not correct setup. Please reinstall your fax."
                        : "Warning:" + text);
  }
}

TEST(RepairDialog, EachStepShowsItsOutcomeAndRepairRepeats) {
  TestWorld w;
  test::EnsureWidgetApplication();
  test::UiRecorder ui;
  // Outlook only: Word's and Excel's add-ins are neither checked nor registered.
  mInstallation::SetOfficeProbes({[] { return true; }, [] { return false; }, [] { return false; }});
  std::string log = w.Root() + "/components.log";
  ::setenv("BREVANT_COMPONENT_LOG", log.c_str(), 1);
  const std::string fixtures = BREVANT_COMPONENTS_DIR;
  ::setenv("BREVANT_COMPONENT_DIR", w.ProgramDir().c_str(), 1);  // a suite of stand-ins
  for (const char* f : {"QuorSendTo.dll", "QuorIE.dll", "Pelorin.dll", "PelorinAddin.dll"})
    fs::copy_file(fixtures + "/component-good.so", w.ProgramDir() + "/" + f);
  fs::create_directories(w.Root() + "/system");
  fs::copy_file(fixtures + "/component-good.so", w.Root() + "/system/Redemption.dll");
  test::SetRegString(test::HKLM, kPelorinKey, "SystemDir", w.Root() + "/system");

  ShowRepairDialog();
  ASSERT_EQ(Open("frmRepair").size(), 1u);
  QWidget* repair = Open("frmRepair")[0];
  auto rows = [&] {
    return Text(repair, "lblFileOK") + "|" + Text(repair, "lblRegOk") + "|" + Text(repair, "lblAddinOk");
  };
  EXPECT_EQ(rows(), "not testing|not testing|not testing");
  Shot(repair, "repair");
  Click(repair, "OKButton");
  EXPECT_EQ(rows(), "Ok|Ok|Ok");
  EXPECT_EQ(TestWorld::ReadFile(log),
            "register QuorSendTo.dll\nregister QuorIE.dll\nregister Pelorin.dll\n"
            "register PelorinAddin.dll\nregister Redemption.dll\n");
  EXPECT_TRUE(ui.messages.empty());
  Shot(repair, "repair-done");
  // The add-in keys of the machine: Outlook's and Excel's, not Word's.
  const std::string office = "Software\\Microsoft\\Office\\";
  auto expectKey = [&](const std::string& key, const char* friendly) {
    CWinReg reg;
    ASSERT_TRUE(reg.InitForRead(CWinReg::HKEY_LOCAL_MACHINE, office + key)) << key;
    EXPECT_EQ(reg.GetDword("CommandLineSafe"), 0);
    EXPECT_EQ(reg.GetString("CommandLineSafe"), "");  // a DWORD, not text
    EXPECT_EQ(reg.GetDword("LoadBehavior"), 3);
    EXPECT_EQ(reg.GetString("Description"), "Add-In Orlimex");
    EXPECT_EQ(reg.GetString("FriendlyName"), friendly);
  };
  expectKey("Outlook\\Addins\\PelorinAddin.ConnectOutlook", "Outlook Fax");
  expectKey("Excel\\Addins\\QuorExcelAddin.ConnectExcel", "Excel Fax");
  const std::string word = "Word\\Addins\\QuorWordAddin.ConnectWord";
  EXPECT_EQ(test::RegString(test::HKLM, office + word, "FriendlyName"), "<no key>");

  // QuorIE.dll gone, one library that crashes, one named in another letter
  // case: the dialog survives, both rows say so, the others register again.
  fs::remove(w.ProgramDir() + "/QuorIE.dll");
  fs::rename(w.ProgramDir() + "/Pelorin.dll", w.ProgramDir() + "/pelorin.DLL");
  fs::copy_file(fixtures + "/component-crashes.so", w.ProgramDir() + "/PelorinAddin.dll",
                fs::copy_options::overwrite_existing);
  fs::remove(log);
  Click(repair, "OKButton");
  EXPECT_EQ(rows(), "Error, need reinstall.|Error|Ok");
  std::string missing = w.ProgramDir() + "/QuorIE.dll";
  ASSERT_EQ(ui.messages.size(), 2u);
  EXPECT_EQ(ui.messages[0], "Pelorin: " + missing + " - registration unsuccessful.");
  EXPECT_EQ(TestWorld::ReadFile(log),
            "register QuorSendTo.dll\nregister pelorin.DLL\nregister Redemption.dll\n");
  EXPECT_NE(TestWorld::ReadFile(ErrorLogPath()).find("Cannot registrate:" + missing), std::string::npos);
  Shot(repair, "repair-errors");
  // With Excel its missing add-in fails the check; with Word its key is written.
  mInstallation::SetOfficeProbes({[] { return true; }, [] { return true; }, [] { return true; }});
  fs::copy_file(fixtures + "/component-good.so", missing);
  fs::copy_file(fixtures + "/component-good.so", w.ProgramDir() + "/QuorWordAddin.dll");
  EXPECT_FALSE(mInstallation::CheckFiles(w.ProgramDir()));
  EXPECT_TRUE(mInstallation::RegisterAddin());
  expectKey(word, "Outlook Word");

  Exits exits;
  Click(repair, "CancelButton");
  EXPECT_EQ(Open("frmRepair").size(), 0u);
  EXPECT_EQ(exits.count, 1);
  mInstallation::SetOfficeProbes({});
}
