#include "tests/wizard/WizardFixture.h"

#include <QTimer>
#include <filesystem>

#include "app/Init.h"
#include "app/WindowsModule.h"
#include "app/mMisc.h"
#include "wizard/QtWindows.h"

namespace fs = std::filesystem;

namespace brevant::test {

void WizardTest::SetUp() {
  // The windows here are answered by the script (the recorder makes the
  // run attended).
  recorder.onDoEvents = [] { QCoreApplication::processEvents(); };
  wizard::Windows* windows = wizard::QtWindows();
  ASSERT_NE(windows, nullptr);
  SetAppWindows(windows);
  ui::SetBackend(&recorder);  // in place of the window library's own boxes
  Init::SetInstanceTest([] { return false; });
  ClearFaxJob();
  Config() = ClientConfig{};
  brevant::Run() = RunState{};
  wizard::ResetWizardHooks();
  wizard::Hooks& h = wizard::WizardHooks();
  h.PrintPreview = [this](ui::WindowHandle, bool preview) {
    calls.push_back(preview ? "preview" : "image");
    FaxJob().FaxImageFile = world.TempDir() + "/Fax.tif";
    if (preview) FaxJob().PreviewFile = world.TempDir() + "/FaxPreview.tif";
  };
  h.OpenPreview = [this](const std::string& path) { calls.push_back("open " + path); };
  for (auto [hook, path] :
       {std::pair{&h.SendFaxMSFax, "msfax"}, {&h.SendFaxMail, "mail"}, {&h.SendFaxEFax, "efax"}})
    *hook = [this, path] { calls.push_back(path); };
  wizard::frmCover::SetFilePicker(nullptr);
}

void WizardTest::TearDown() {
  ui::UnloadAllForms();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCoreApplication::processEvents();
}

void WizardTest::Run(const std::string& commandLine, const std::function<void()>& script) {
  bool done = false;
  QTimer::singleShot(0, [&] {
    script();
    done = true;
    ui::UnloadAllForms();
  });
  mMisc::Main(commandLine);
  for (int i = 0; i < 200 && !done; ++i) QTest::qWait(10);
  EXPECT_TRUE(done) << "the script did not run";
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void WizardTest::Click(QWidget* button) {
  ASSERT_NE(button, nullptr);
  ASSERT_TRUE(button->isEnabled()) << button->objectName().toStdString() << " is disabled";
  QTest::mouseClick(button, Qt::LeftButton);
}

std::string WizardTest::MakeTemplates(const std::vector<std::string>& names) {
  std::string folder = world.Root() + "/common/Coverpages";
  fs::create_directories(folder);
  for (const std::string& n : names)
    TestWorld::WriteFile(folder + "/" + n,
                         "<svg xmlns='http://www.w3.org/2000/svg' width='850' height='1100'>"
                         "<rect x='40' y='40' width='770' height='120' fill='black'/></svg>");
  const char* shell = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
  SetRegString(HKLM, shell, "Common AppData", world.Root() + "/common");
  SetRegString(HKLM, "Software\\Microsoft\\Fax\\Setup", "ServerCoverPageDir", "Coverpages");
  return folder;
}

QStringList WizardTest::Rows(QTreeWidget* list) {
  QStringList out;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = list->topLevelItem(i);
    out << (list->columnCount() > 1 ? row->text(0) + "|" + row->text(1) : row->text(0));
  }
  return out;
}

}  // namespace brevant::test
