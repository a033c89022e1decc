// The Send Fax wizard driven as a user drives it: what the far end (or the
// mail-fax service) receives is what the user chose.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <filesystem>

#include "app/Init.h"
#include "app/WindowsModule.h"
#include "app/mMisc.h"
#include "common/ClientConfig.h"
#include "common/FaxJob.h"
#include "delivery/FaxTransport.h"
#include "render/CoverPageList.h"
#include "render/cover/CoverImage.h"
#include "tests/arrival/ArrivalWorld.h"
#include "tests/arrival/Marks.h"
#include "tests/mail/MailTestSupport.h"
#include "tests/support/QtApp.h"
#include "tests/support/RegValues.h"
#include "tests/wizard/WizardFixture.h"
#include "wizard/Hooks.h"
#include "wizard/QtWindows.h"
#include "wizard/frmCover.h"
#include "wizard/frmFinish.h"
#include "wizard/frmNew.h"
#include "wizard/frmSend.h"

namespace fs = std::filesystem;

namespace brevant::test {
namespace {

using namespace brevant::wizard;

// A widget application before any picture makes a plain GUI one.
struct WidgetApplication : ::testing::Environment {
  void SetUp() override { EnsureWidgetApplication(); }
};
[[maybe_unused]] auto* const g_app = ::testing::AddGlobalTestEnvironment(new WidgetApplication);

void Click(QWidget* form, const char* button) {
  QPushButton* b = form ? form->findChild<QPushButton*>(button) : nullptr;
  ASSERT_NE(b, nullptr) << button;
  QTest::mouseClick(b, Qt::LeftButton);
}

class WizardArrival : public ::testing::Test {
 protected:
  void SetUp() override {
    // The script answers the windows (the recorder makes the run attended).
    SetAppWindows(QtWindows());
    ui::SetBackend(&recorder);  // in place of the window library's own boxes
    recorder.onDoEvents = [] { QCoreApplication::processEvents(); };
    ASSERT_EQ(w.Problem(), "");
    Init::SetInstanceTest([] { return false; });
    ResetWizardHooks();
    // The shipped templates are the common ones.
    SetRegString(HKLM, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                 "Common AppData", SourceDir());
    SetRegString(HKLM, "Software\\Microsoft\\Fax\\Setup", "ServerCoverPageDir", "coverpage");
  }
  void TearDown() override {
    ui::UnloadAllForms();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  // Runs a command line while script fills the pages; what the far end got.
  Arrival Run(const std::string& commandLine, const std::function<void()>& script, bool byService = true) {
    ResetFaxServerForTests();
    const long last = w.LastJob();
    // The script starts once the wizard's first page shows.
    bool done = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      QWidget* first = frmNew::Loaded() ? static_cast<QWidget*>(frmNew::Loaded()) : frmCover::Loaded();
      if (done || !first || !first->isVisible()) return;
      done = true;
      poll.stop();
      script();
    });
    poll.start(20);
    mMisc::Main(commandLine);
    for (int i = 0; i < 500 && !done; ++i) QTest::qWait(10);
    EXPECT_TRUE(done) << "the script did not run";
    ui::UnloadAllForms();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (const std::string& m : recorder.messages)
      if (m.find("Send/Receive") == std::string::npos) ADD_FAILURE() << "message: " << m;
    recorder.messages.clear();
    if (!byService) return {};
    const long job = w.LastJob();
    EXPECT_GT(job, last) << "nothing was sent";
    return job > last ? w.WaitArrival(job) : Arrival{};
  }

  // Through the pages to Finish with this cover page ("": none).
  static void Through(const QString& templ, const QString& subject, const QString& note) {
    if (frmNew* recipients = frmNew::Loaded()) Click(recipients, "btnNext");
    frmCover* cover = frmCover::Loaded();
    ASSERT_NE(cover, nullptr);
    if (cover->chkCover->isChecked() == templ.isEmpty())  // the box ticked exactly when a template is chosen
      QTest::mouseClick(cover->chkCover, Qt::LeftButton, {}, QPoint(6, 8));
    if (!templ.isEmpty()) {
      cover->cbCover->setCurrentIndex(cover->cbCover->findText(templ));
      cover->txtSubject->setText(subject);
      cover->rtbNote->setPlainText(note);
    }
    Click(cover, "cmdNext");
    Click(frmSend::Loaded(), "btnNext");
    Click(frmFinish::Loaded(), "OKButton");
  }

  ArrivalWorld w;
  UiRecorder recorder;
};

}  // namespace

TEST_F(WizardArrival, NewFaxWithATemplateAndACoverOnlyFax) {
  const std::string doc = MarkedPdf(w.Dir() + "/plans.pdf", {kA4, kLetter});
  Arrival a = Run("new;0;Ann Example#;5551234#;" + doc + "#",
                  [] { Through("Generic", "Floor plans", "Two pages follow."); });
  ExpectPages(a, 1, 2);
  w.ExpectCover(a, {SourceDir() + "/coverpage/Generic.cov", "Floor plans", "Two pages follow."},
                "Ann Example", "5551234", 3);

  // "cover": the wizard starts at the cover page; the fax is that page.
  a = Run("cover;0;Bob Reader;5559876", [] { Through("Urgent", "Call me back", ""); });
  ASSERT_EQ(a.pages.size(), 1u) << "the cover page alone, no page of the service's own";
  w.ExpectCover(a, {SourceDir() + "/coverpage/Urgent.cov", "Call me back", ""}, "Bob Reader", "5559876", 1);
}

TEST_F(WizardArrival, PagesPrintedFromTheOfficeSuiteAndAWebPage) {
  // Mode 1: LibreOffice printed to the fax printer before the wizard runs.
  const std::string odt = MarkedWriter(w.Dir() + "/printed.odt", 2);
  ASSERT_FALSE(odt.empty());
  const std::string profile = "file://" + w.Dir() + "/.office-profile";
  ASSERT_EQ(CupsWorld::Sh("soffice -env:UserInstallation=" + profile + " --headless --norestore --pt " +
                          w.Queue() + " '" + odt + "' >/dev/null 2>&1"),
            0);
  ASSERT_TRUE(WaitFor([&] { return CupsWorld::Pages(w.World().SpoolDir()).size() == 2; }, 60));
  Arrival a =
      Run("new;1;Dan Printer#;5550002#;", [] { Through("Confidential", "Printed pages", "From Writer"); });
  ExpectPages(a, 1, 2);
  w.ExpectCover(a, {SourceDir() + "/coverpage/Confidential.cov", "Printed pages", "From Writer"},
                "Dan Printer", "5550002", 3);

  // Mode 2: a web page printed first, the wizard on its pages.
  const std::string page = MarkedHtml(w.Dir() + "/page.html", 2);
  a = Run("new;2;Carol Web#;5550001#;" + page + "#", [] { Through("", "", ""); });
  ExpectPages(a, 0, 2);
}

TEST_F(WizardArrival, GroupTemplatePrintedBesideItselfGoesByMail) {
  // Off the fax service's path the group's template is offered as its printed page.
  const std::string group = w.Dir() + "/group/";
  fs::create_directories(group);
  fs::copy_file(SourceDir() + "/coverpage/Generic.cov", group + "Team.cov");
  fs::copy_file(SourceDir() + "/coverpage/Urgent.cov", group + "Memo.cov");
  emf::Page memo;
  memo.Resize(1728, 2292);
  std::string why;
  ASSERT_TRUE(emf::WriteFile(group + "Memo.EMF", memo, &why));  // printed before, in its own letter case
  Config().CoverFolder = group;
  {
    frmCover* onService = frmCover::Load();  // the fax service's path offers no group page
    EXPECT_EQ(onService->cbCover->findText("Team(Personal)"), -1);
    onService->Unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  SmtpServer smtp(w.Dir() + "/smtp");
  ASSERT_TRUE(smtp.Use()) << smtp.Why();
  ::setenv("BREVANT_MAILDIR", (w.Dir() + "/Maildir").c_str(), 1);
  const std::string address = "arrival" + std::to_string(::getpid()) + "@talvane.test";
  w.UseDeliveryPath(1, address);
  Config().CoverFolder = group;

  // A cover page that prints nothing leaves no twin and no stale page.
  const std::string spool = w.World().SpoolDir();
  TestWorld::WriteFile(spool + "00000007.emf", "left over");
  EXPECT_TRUE(mCreatePreview::ConvertCoverPageToEMF(group + "Gone.cov"));
  EXPECT_FALSE(fs::exists(spool + "00000007.emf"));
  EXPECT_FALSE(fs::exists(group + "Gone.emf"));

  frmCover* shown = frmCover::Load();
  const int team = shown->cbCover->findText("Team(Personal)");
  ASSERT_EQ(shown->cbCover->count(), 5) << "the three shipped templates, Memo and Team";
  ASSERT_EQ(team, 4);
  EXPECT_EQ(FaxJob().CoverPages[4], group + "Memo.EMF");
  EXPECT_EQ(FaxJob().CoverPages[5], group + "Team.emf");
  emf::Page twin;
  ASSERT_TRUE(emf::ReadFile(group + "Team.emf", &twin, &why)) << why;
  EXPECT_EQ(twin.width, 1728);
  shown->cbCover->setCurrentIndex(shown->cbCover->findText("Generic"));
  QImage preview = shown->Picture1->pixmap().toImage();
  const std::string generic = SourceDir() + "/coverpage/Generic.cov";
  EXPECT_EQ(preview.convertToFormat(QImage::Format_ARGB32),
            cover::RenderCoverImage(generic, cover::SampleFields(),
                                    shown->Picture1->size() * shown->devicePixelRatioF(), nullptr))
      << "the preview shows the sample data";
  shown->Unload();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

  // The mailed fax image begins with exactly that page.
  const std::string doc = MarkedPdf(w.Dir() + "/memo.pdf", {kA4, kA4Landscape});
  Run(
      "new;0;Eve Mail#;5550003#;" + doc + "#", [] { Through("Team(Personal)", "By mail", ""); }, false);
  auto mails = smtp.ReceivedWith(address);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_NE(mails[0].item.HTMLBody.find("<RecipientNumber1>5550003</RecipientNumber1>"), std::string::npos)
      << mails[0].item.HTMLBody;
  std::string tiff;
  for (const auto& att : mails[0].item.Attachments)
    if (att.displayName == "FaxImage") tiff = att.data;
  ASSERT_FALSE(tiff.empty());
  TestWorld::WriteFile(w.Dir() + "/mailed.tif", tiff);
  Arrival mailed;
  mailed.pages = ReadPages(w.Dir() + "/mailed.tif");
  ExpectPages(mailed, 1, 2);
  if (!mailed.pages.empty()) {
    faxsvc::FaxPage expected = mailed.pages[0];
    for (int y = 0; y < twin.height; ++y)
      for (int x = 0; x < twin.width; ++x)
        expected.pixels[std::size_t(y) * 1728 + std::size_t(x)] = twin.Black(x, y);
    EXPECT_LT(Difference(mailed.pages[0], expected), 0.002) << "the cover page is not the group's page";
  }
}

}  // namespace brevant::test
