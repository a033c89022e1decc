// The cover, schedule and finish pages: their rules, what they store, and
// how they end the run.
#include <QComboBox>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QMimeData>
#include <QUrl>
#include <memory>

#include "tests/wizard/WizardFixture.h"

namespace brevant::test {
namespace {

constexpr const char* kVersion = "Software\\Microsoft\\Windows NT\\CurrentVersion";

// Drags urls onto the list and drops them; returns whether the list
// accepted the drag.
bool DropUrls(QTreeWidget* list, const QList<QUrl>& urls) {
  QMimeData mime;
  mime.setUrls(urls);
  QPoint at = list->viewport()->rect().center();
  QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(list->viewport(), &enter);
  QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(list->viewport(), &drop);
  return enter.isAccepted();
}

TEST_F(WizardTest, CoverCommandStartsAtTheCoverPageAndItsChecksHold) {
  // No common template folder: nothing is offered, the cover page check is off limits.
  Run("cover;0;A#B;1#2", [&] {
    EXPECT_EQ(frmNew::Loaded(), nullptr);
    frmCover* cover = frmCover::Loaded();
    ASSERT_NE(cover, nullptr);
    EXPECT_EQ(cover->cbCover->currentText(), "Cover pages not found.");
    EXPECT_FALSE(cover->chkCover->isEnabled());
    Click(Button(cover, "cmdNext"));
    EXPECT_EQ(recorder.messages,
              std::vector<std::string>{"Pelorin: Please enter text in the Note and/or Subject field."});
    EXPECT_EQ(frmSend::Loaded(), nullptr);
    // "< Back" shows the recipients the command line gave; the same page
    // comes back, reading what was typed from the fax job.
    cover->txtSubject->setText("Kept across pages");
    Click(Button(cover, "cmdBack"));
    ASSERT_NE(frmNew::Loaded(), nullptr);
    EXPECT_EQ(frmNew::Loaded()->lvRecipients->topLevelItem(1)->text(1), "2");
    Click(Button(frmNew::Loaded(), "btnNext"));
    EXPECT_EQ(frmCover::Loaded(), cover);
    EXPECT_EQ(cover->txtSubject->text(), "Kept across pages");
    Click(Button(cover, "cmdNext"));
    ASSERT_NE(frmSend::Loaded(), nullptr);
  });
  EXPECT_EQ(FaxJob().FaxSubject, "Kept across pages");
  EXPECT_EQ(RegString(HKCU, "Software\\Microsoft\\Fax\\UserInfo", "CoverPageFile"), "");
}

TEST_F(WizardTest, CoverPageSwitchedOffNeedsAttachmentsAndClearsTheCoverFields) {
  MakeTemplates({"Generic.cov"});
  std::string personal = world.Root() + "/home/Personal/Fax";
  TestWorld::WriteFile(personal + "/Mine.cov", "<svg xmlns='http://www.w3.org/2000/svg'/>");
  TestWorld::WriteFile(personal + "/Mine.emf", "not a template");
  SetRegString(HKCU, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "Personal",
               world.Root() + "/home/Personal");
  SetRegString(HKCU, "Software\\Microsoft\\Fax\\Setup", "CoverPageDir", "Fax");
  Run("cover;0;A;1", [&] {
    frmCover* cover = frmCover::Loaded();
    ASSERT_NE(cover, nullptr);
    ASSERT_EQ(cover->cbCover->count(), 2);
    EXPECT_EQ(cover->cbCover->itemText(1), "Mine(Personal)");
    cover->txtSubject->setText("Subject");
    // The sender dialog beside the page, not modal; closing it leaves the
    // wizard running.
    Click(cover->cmdSender);
    ASSERT_NE(frmSender::Loaded(), nullptr);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(RegString(HKCU, kPelorin, "CoverPageSubject"), "Subject");  // stored before the dialog
    QTest::keyClick(frmSender::Loaded(), Qt::Key_Escape);
    EXPECT_EQ(frmCover::Loaded(), cover);
    ClickCheck(cover->chkCover);
    EXPECT_FALSE(cover->txtSubject->isEnabled());
    Click(Button(cover, "cmdNext"));
    EXPECT_EQ(recorder.messages, std::vector<std::string>{"Pelorin: Please add attachment."});

    // Only a list of files is taken, in its order.
    brevant::Run().SpoolPages = true;  // pages from the fax printer so far
    EXPECT_FALSE(
        DropUrls(cover->lstAttachments, {QUrl::fromLocalFile("/srv/a.pdf"), QUrl("https://x.org/")}));
    EXPECT_TRUE(brevant::Run().SpoolPages);
    EXPECT_TRUE(DropUrls(cover->lstAttachments,
                         {QUrl::fromLocalFile("/srv/a.pdf"), QUrl::fromLocalFile("/srv/b.tif")}));
    EXPECT_FALSE(brevant::Run().SpoolPages);  // the fax is built from the list now
    cover->lstAttachments->setCurrentItem(cover->lstAttachments->topLevelItem(0));
    Click(cover->cmdRemove);
    Click(Button(cover, "cmdNext"));
    ASSERT_NE(frmSend::Loaded(), nullptr);
    frmSend::Loaded()->close();  // the close box: the page unloads and the run ends, without Cancel
  });
  const std::string trace = TestWorld::ReadFile(TraceLogPath());
  EXPECT_EQ(trace.find("frmSend->btnCancel_Click"), std::string::npos) << trace;
  EXPECT_LT(trace.find("frmSend->Form_Unload"), trace.find("exitApp(0) - END")) << trace;
  const FaxJobRecord& job = FaxJob();
  EXPECT_FALSE(job.UseCover);
  EXPECT_EQ(job.FaxSubject, "");
  ASSERT_EQ(job.g_arrFiles.Count(), 1u);
  EXPECT_EQ(job.g_arrFiles[1], "/srv/b.tif");
  EXPECT_EQ(RegString(HKCU, kPelorin, "SetCoverPage"), "0");
  EXPECT_TRUE(ui::LoadedForms().empty());

  // "Add" offers the filters users know, each showing what it shows on the
  // desktop the wizard comes from: any case, "*.doc" also ".docx".
  const QString folder = QString::fromStdString(world.Root() + "/documents");
  for (const char* f :
       {"Letter.DOCX", "report.PDF", "notes.odt", "budget.xlsx", "scan.TIFF", "pic.Jpg", "photo.jpeg"})
    TestWorld::WriteFile(folder.toStdString() + "/" + f, "x");
  std::unique_ptr<QFileDialog> dialog(frmCover::AttachmentDialog(nullptr));
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setDirectory(folder);
  auto* files = dialog->findChild<QFileSystemModel*>();
  auto* types = dialog->findChild<QComboBox*>("fileTypeCombo");
  ASSERT_TRUE(files && types && types->count() == 3);
  auto listed = [&] {
    QStringList names;
    for (int r = 0; r < files->rowCount(files->index(folder)); ++r)
      names << files->fileName(files->index(r, 0, files->index(folder)));
    names.sort();
    return names.join(" ").toStdString();
  };
  const std::pair<const char*, const char*> shown[] = {
      {"Documents ( *.doc,  *.pdf, *.txt, *.rtf, *.xls, *.xlw)", "Letter.DOCX budget.xlsx report.PDF"},
      {"Images (*.bmp, *.jpg, *.gif, *.tif)", "pic.Jpg scan.TIFF"},
      {"All (*.*)", "Letter.DOCX budget.xlsx notes.odt photo.jpeg pic.Jpg report.PDF scan.TIFF"}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(types->itemText(i).toStdString(), shown[i].first);
    dialog->selectNameFilter(dialog->nameFilters()[i]);
    QTest::qWaitFor([&] { return listed() == shown[i].second; }, 5000);
    EXPECT_EQ(listed(), shown[i].second) << shown[i].first;
  }
}

TEST_F(WizardTest, SchedulePageOffersWhatTheDeliveryPathAndSystemAllow) {
  // Mail-fax path: only "Now", whatever the fax job held.
  Config().ProgramType = 1;
  FaxJob().FaxSchedule = 1;
  frmSend* send = frmSend::Load();
  send->show();
  EXPECT_TRUE(send->optSchNow->isChecked());
  EXPECT_FALSE(send->optSchTime->isEnabled() || send->optSchDiscount->isEnabled());
  EXPECT_EQ(FaxJob().FaxSchedule, 0);
  send->Unload();

  // Fax service on a system older than XP: priority fixed at Normal, no set time.
  SetRegString(HKLM, kVersion, "CurrentVersion", "5.0");
  Config().ProgramType = 0;
  FaxJob().FaxPriority = 2;
  send = frmSend::Load();
  send->show();
  EXPECT_FALSE(send->FramePriority->isEnabled());
  EXPECT_TRUE(send->optPriorityNormal->isChecked());
  EXPECT_FALSE(send->optSchTime->isEnabled());
  EXPECT_TRUE(send->optSchDiscount->isEnabled());
  send->Unload();

  // XP: the time is offered; the picker follows the choice, its value is kept.
  SetRegString(HKLM, kVersion, "CurrentVersion", "5.1");
  FaxJob().FaxPriority = 0;
  send = frmSend::Load();
  send->show();
  EXPECT_TRUE(send->optPriorityLow->isChecked());
  send->optSchTime->click();
  EXPECT_TRUE(send->dtFaxSend->isEnabled());
  QDateTime at(QDate::currentDate().addDays(1), QTime(14, 30, 15));
  send->dtFaxSend->setDateTime(at);
  send->optSchNow->click();
  EXPECT_FALSE(send->dtFaxSend->isEnabled());
  Click(Button(send, "btnNext"));
  EXPECT_EQ(FaxJob().FaxSchedule, 0);
  EXPECT_EQ(ToQt(FaxJob().DTFaxSend), at);
  ASSERT_NE(frmFinish::Loaded(), nullptr);
  EXPECT_EQ(frmFinish::Loaded()->lblSend->text(), "Now");
  // "< Back" shows the choices again; a set time tomorrow is shown with its
  // seconds after the day count.
  Click(Button(frmFinish::Loaded(), "btnBack"));
  send = frmSend::Loaded();
  ASSERT_NE(send, nullptr);
  EXPECT_EQ(send->dtFaxSend->dateTime(), at);
  send->optSchTime->click();
  Click(Button(send, "btnNext"));
  EXPECT_EQ(FaxJob().FaxSchedule, 1);
  EXPECT_EQ(ToQt(FaxJob().DTFaxSend), at);
  QString shown = frmFinish::Loaded()->lblSend->text();
  EXPECT_TRUE(shown.startsWith(QLocale().toString(QDate(1899, 12, 31), QLocale::ShortFormat) + " ") &&
              shown.contains("30:15"))
      << shown.toStdString();
}

TEST_F(WizardTest, FinishPagePreviewsOnceAndDeliversByTheConfiguredPath) {
  FaxJobRecord& job = FaxJob();
  job.g_arrFaxName.Append("Ann");
  job.g_arrFaxNumber.Append("5551234");
  job.g_arrFiles.Append("/srv/letter.pdf");
  // Preview, then Finish: the image is made once and the preview opened.
  frmFinish* finish = frmFinish::Load();
  finish->show();
  Click(finish->btnPreview);
  Click(Button(finish, "OKButton"));
  std::string preview = world.TempDir() + "/FaxPreview.tif";
  EXPECT_EQ(calls, (std::vector<std::string>{"preview", "open " + preview, "msfax"}));
  EXPECT_EQ(job.g_arrFiles[1], world.TempDir() + "/Fax.tif");
  EXPECT_EQ(frmFinish::Loaded(), nullptr);

  // Preview, "< Back", "Next >", Finish: the image is made again.
  calls.clear();
  job.PreviewFile.clear();
  finish = frmFinish::Load();
  finish->show();
  Click(finish->btnPreview);
  Click(Button(finish, "btnBack"));
  EXPECT_TRUE(job.PreviewFile.empty() && job.FaxImageFile.empty());
  Click(Button(frmSend::Loaded(), "btnNext"));
  Click(Button(frmFinish::Loaded(), "OKButton"));
  EXPECT_EQ(calls, (std::vector<std::string>{"preview", "open " + preview, "image", "msfax"}));

  // The gateway keeps the documents; other values go the fax service's way.
  for (auto [type, expected] :
       std::vector<std::pair<int, std::string>>{{2, "efax"}, {1, "mail"}, {7, "msfax"}}) {
    calls.clear();
    job.PreviewFile.clear();
    job.g_arrFiles.Clear();
    job.g_arrFiles.Append("/srv/letter.pdf");
    Config().ProgramType = std::int16_t(type);
    Config().EmailFax = "fax@example.org";
    frmFinish* f = frmFinish::Load();
    f->show();
    Click(Button(f, "OKButton"));
    EXPECT_EQ(calls, (std::vector<std::string>{"image", expected})) << type;
    EXPECT_EQ(job.g_arrFiles[1], type == 2 ? "/srv/letter.pdf" : world.TempDir() + "/Fax.tif") << type;
  }
}

}  // namespace
}  // namespace brevant::test
