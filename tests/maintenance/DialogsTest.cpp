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

namespace {

// The visible top-level windows of that name (the forms' control names).
std::vector<QWidget*> Open(const QString& objectName) {
  std::vector<QWidget*> out;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == objectName && w->isVisible()) out.push_back(w);
  return out;
}
QWidget* OpenWindow(const QString& objectName) {
  auto open = Open(objectName);
  return open.empty() ? nullptr : open[0];
}

std::string Text(QWidget* form, const char* name) {
  if (auto* l = form->findChild<QLabel*>(name)) return l->text().toStdString();
  if (auto* b = form->findChild<QPushButton*>(name)) return b->text().toStdString();
  return "<no control " + std::string(name) + ">";
}

void Click(QWidget* form, const char* name) {
  auto* b = form->findChild<QPushButton*>(name);
  ASSERT_NE(b, nullptr) << name;
  QTest::mouseClick(b, Qt::LeftButton);
}

void Shot(QWidget* w, const std::string& name) {
  const char* dir = std::getenv("BREVANT_SCREENSHOT_DIR");
  if (!dir || !*dir) return;
  QApplication::processEvents();
  w->grab().save(QString::fromStdString(std::string(dir) + "/" + name + ".png"));
}

void CloseAll() {
  for (QWidget* w : QApplication::topLevelWidgets()) w->close();
  QApplication::processEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace

TEST(AboutBox, ControlsVersionAndOneWindowOnly) {
  test::TestWorld w;
  test::EnsureWidgetApplication();
  test::SetRegString(test::HKLM, kPelorinKey, "Version", "1.0.7");
  ShowAboutBox();
  QWidget* about = OpenWindow("frmAbout");
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(about->windowTitle().toStdString(), "About Pelorin");
  EXPECT_EQ(Text(about, "lblVersion"), "Version 1.00.0007");  // from the installed product's version
  Shot(about, "about");

  // A second "about" shows the first one and opens nothing new.
  about->showMinimized();
  ShowAboutBox();
  QApplication::processEvents();
  EXPECT_EQ(Open("frmAbout").size(), 1u);
  EXPECT_FALSE(about->isMinimized());

  // OK closes it and ends the run.
  int exits = 0;
  SetMaintenanceExitHandler([&] { ++exits; });
  Click(about, "cmdOK");
  QApplication::processEvents();
  EXPECT_EQ(Open("frmAbout").size(), 0u);
  EXPECT_EQ(exits, 1);
  SetMaintenanceExitHandler(nullptr);
  std::string trace = test::TestWorld::ReadFile(TraceLogPath());
  EXPECT_NE(trace.find("frmAbout->cmdOK_Click - END"), std::string::npos) << trace;
  CloseAll();
}

TEST(AboutBox, ButtonsAndLinksReachTheirServices) {
  test::TestWorld w;
  test::EnsureWidgetApplication();
  test::FakeShell shell(w);
  test::UiRecorder ui;
  test::HttpServer updates({200, "0"});
  test::SetRegString(test::HKLM, kPelorinKey, "UpdateSite", updates.Site());
  ShowAboutBox();
  QWidget* about = OpenWindow("frmAbout");
  ASSERT_NE(about, nullptr);

  Click(about, "cmdUpdate");
  EXPECT_EQ(updates.Requests().size(), 1u);
  // No system information tool is registered.
  Click(about, "cmdSysInfo");
  EXPECT_EQ(ui.messages, (std::vector<std::string>{"Pelorin: Update is not available.",
                                                   "Pelorin: System Information Is Unavailable At This Time"}));
  // One that is registered is started.
  std::string tool = w.Root() + "/sysinfo";
  test::TestWorld::WriteFile(tool, "#!/bin/sh\ntouch '" + w.Root() + "/sysinfo.ran'\n");
  fs::permissions(tool, fs::perms::owner_all);
  test::SetRegString(test::HKLM, "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH", tool);
  Click(about, "cmdSysInfo");
  for (int i = 0; i < 250 && !fs::exists(w.Root() + "/sysinfo.ran"); ++i) QTest::qWait(20);
  EXPECT_TRUE(fs::exists(w.Root() + "/sysinfo.ran"));
  EXPECT_EQ(ui.messages.size(), 2u);

  QTest::mouseClick(about->findChild<QLabel*>("LabelURL"), Qt::LeftButton);
  EXPECT_EQ(shell.Opened(), "https://www.norvane.com/pelorin");
  CloseAll();
}

TEST(WarningDialog, TextAndOkOnlyEveryTime) {
  test::TestWorld w;
  test::EnsureWidgetApplication();
  std::string seenText, seenTitle;
  bool topmost = false;
  std::vector<std::string> controls;
  auto answer = [&] {
    QTimer::singleShot(0, [&] {
      QWidget* dlg = OpenWindow("frmWarning");
      ASSERT_NE(dlg, nullptr);
      seenTitle = dlg->windowTitle().toStdString();
      seenText = Text(dlg, "lblText");
      topmost = dlg->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
      controls.clear();
      for (auto* b : dlg->findChildren<QAbstractButton*>()) controls.push_back(b->text().toStdString());
      if (seenText.rfind("Warning: This", 0) == 0) Shot(dlg, "warning");
      if (seenText.find("scan device") != std::string::npos) Shot(dlg, "warning-message");
      Click(dlg, "cmdOK");
    });
  };

  // Shown each time it is asked for, on top, with nothing to turn it off.
  for (int i = 0; i < 2; ++i) {
    seenText.clear();
    answer();
    ShowWarningDialog("");  // returns only when OK closed it
    EXPECT_EQ(seenTitle + "|" + seenText,
              "Pelorin - Warning|Warning: This application work only with fax-modem. You fax not installed or not "
              "correct setup. Please reinstall your fax.");
    EXPECT_TRUE(topmost);
    EXPECT_EQ(controls, std::vector<std::string>{"OK"});
  }
  answer();
  ShowWarningDialog("Can't find scan device. Please install scan or device camera.");
  EXPECT_EQ(seenText, "Warning:Can't find scan device. Please install scan or device camera.");
  EXPECT_EQ(controls, std::vector<std::string>{"OK"});
  CloseAll();
}

TEST(RepairDialog, EachStepShowsItsOutcomeAndRepairRepeats) {
  test::TestWorld w;
  test::EnsureWidgetApplication();
  test::UiRecorder ui;
  mInstallation::SetOfficeProbes({[] { return true; }, [] { return false; }, [] { return false; }});
  std::string log = w.Root() + "/components.log";
  ::setenv("BREVANT_COMPONENT_LOG", log.c_str(), 1);
  std::string good = std::string(BREVANT_COMPONENTS_DIR) + "/component-good.so";
  ::setenv("BREVANT_COMPONENT_DIR", w.ProgramDir().c_str(), 1);  // a suite of stand-ins
  for (const char* f : {"QuorSendTo.dll", "QuorIE.dll", "Pelorin.dll", "PelorinAddin.dll"}) {
    fs::copy_file(good, w.ProgramDir() + "/" + f);
  }
  fs::create_directories(w.Root() + "/system");
  fs::copy_file(good, w.Root() + "/system/Redemption.dll");
  test::SetRegString(test::HKLM, kPelorinKey, "SystemDir", w.Root() + "/system");

  ShowRepairDialog();
  QWidget* repair = OpenWindow("frmRepair");
  ASSERT_NE(repair, nullptr);
  for (const char* r : {"lblFileOK", "lblRegOk", "lblAddinOk"}) EXPECT_EQ(Text(repair, r), "not testing");
  Shot(repair, "repair");

  Click(repair, "OKButton");
  for (const char* r : {"lblFileOK", "lblRegOk", "lblAddinOk"}) EXPECT_EQ(Text(repair, r), "Ok");
  EXPECT_TRUE(repair->findChild<QPushButton*>("OKButton")->isEnabled());
  auto lines = [&] {
    std::string text = test::TestWorld::ReadFile(log);
    return std::count(text.begin(), text.end(), '\n');
  };
  EXPECT_EQ(lines(), 5);
  Shot(repair, "repair-done");

  // QuorIE.dll gone, one library that crashes: the dialog survives, both
  // rows say so, and Repair again repeats every step.
  fs::remove(w.ProgramDir() + "/QuorIE.dll");
  fs::copy_file(std::string(BREVANT_COMPONENTS_DIR) + "/component-crashes.so", w.ProgramDir() + "/Pelorin.dll",
                fs::copy_options::overwrite_existing);
  Click(repair, "OKButton");
  EXPECT_EQ(Text(repair, "lblFileOK"), "Error, need reinstall.");
  EXPECT_EQ(Text(repair, "lblRegOk"), "Error");
  EXPECT_EQ(Text(repair, "lblAddinOk"), "Ok");
  EXPECT_EQ(ui.messages.size(), 2u);
  EXPECT_EQ(lines(), 8);  // QuorSendTo, PelorinAddin, Redemption again
  Shot(repair, "repair-errors");

  int exits = 0;
  SetMaintenanceExitHandler([&] { ++exits; });
  Click(repair, "CancelButton");
  QApplication::processEvents();
  EXPECT_EQ(Open("frmRepair").size(), 0u);
  EXPECT_EQ(exits, 1);
  SetMaintenanceExitHandler(nullptr);
  mInstallation::SetOfficeProbes({});
  ::unsetenv("BREVANT_COMPONENT_LOG");
  CloseAll();
}

TEST(AboutBox, VersionTextTakesTheBuildNumberOnlyFromAMatchingProductVersion) {
  EXPECT_EQ(AboutVersionText(1, 20, "1.20.7"), "Version 1.20.0007");
  EXPECT_EQ(AboutVersionText(1, 20, "3.10.1"), "Version 1.20");
  EXPECT_EQ(AboutVersionText(1, 20, ""), "Version 1.20");
  EXPECT_EQ(AboutVersionText(1, 20, "1.20"), "Version 1.20");
  EXPECT_EQ(AboutVersionText(1, 5, "1.05.12345"), "Version 1.05.12345");  // numbers, not texts, compared
  EXPECT_EQ(AboutVersionText(1, 5, "1.5.3.9"), "Version 1.05.0003");
  EXPECT_EQ(AboutVersionText(2, 0, "2.0.beta"), "Version 2.00.beta");
}
