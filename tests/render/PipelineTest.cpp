// The fax image pipeline against a CUPS queue of its own: printer switching,
// hanging helpers, empty files, cancel, progress, the page list edition.
// What arrives at the far end is checked in tests/arrival.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/FaxJob.h"
#include "faxjob/CXmlGroups.h"
#include "platform/events/NamedEvent.h"
#include "render/FaxQueue.h"
#include "render/Pipeline.h"
#include "tests/arrival/Marks.h"
#include "tests/printing/CupsWorld.h"
#include "tests/render/TiffCheck.h"
#include "tests/support/QtApp.h"
#include "tests/support/TestWorld.h"
#include "wizard/QtUi.h"

namespace fs = std::filesystem;
using namespace brevant;
using brevant::test::ReadBilevel;
using brevant::test::SourceDir;
using brevant::test::TestWorld;

namespace {

class Pipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureWidgetApplication();  // before a picture makes a plain GUI one
    cups_ = std::make_unique<test::CupsWorld>();
    REQUIRE_CUPS(*cups_);
    world_ = &cups_->World();
    spool_ = world_->SpoolDir();
    queue_ = cups_->AddQueue(spool_);
    ASSERT_FALSE(queue_.empty());
    ::setenv("BREVANT_FAX_PRINTER", queue_.c_str(), 1);
    ClearFaxJob();
    FaxJob().UseCover = false;
    FaxJob().CoverPages.Clear();
    FaxJob().CoverIndex = 0;
    Config().ProgramType = 1;
    brevant::Run() = RunState();
  }
  void TearDown() override {
    for (const char* v :
         {"BREVANT_FAX_PRINTER", "BREVANT_SOFFICE", "BREVANT_CHROMIUM", "BREVANT_OFFICE_TIMEOUT_MS",
          "BREVANT_BROWSER_TIMEOUT_MS", "BREVANT_PDF_READER", "BREVANT_PRINT_STRATEGY"})
      ::unsetenv(v);
    SetPipelineExitHandler(nullptr);
    cups_.reset();
  }

  std::vector<test::TiffPageInfo> Make(const std::vector<std::string>& docs, bool expectImage = true) {
    FaxJob().g_arrFiles.Clear();
    for (const auto& d : docs) FaxJob().g_arrFiles.Append(d);
    printToPreview(0, false);
    if (expectImage) {
      EXPECT_EQ(FaxJob().FaxImageFile, spool_ + "Fax.tif");
      EXPECT_EQ(FaxJob().PreviewFile, spool_ + "FaxPreview.tif");
    }
    return ReadBilevel(spool_ + "Fax.tif");
  }

  static void ExpectFaxPages(const std::vector<test::TiffPageInfo>& pages, std::size_t count) {
    ASSERT_EQ(pages.size(), count);
    for (std::size_t i = 0; i < pages.size(); ++i) {
      EXPECT_EQ(pages[i].width, 1728u) << "page " << i;
      EXPECT_EQ(pages[i].compression, 4) << "page " << i;  // CCITT Group 4
      EXPECT_GT(pages[i].black, 2000) << "page " << i << " is blank";
    }
  }

  std::string Sample(const char* name) const { return SourceDir() + "/samples/" + name; }

  std::unique_ptr<test::CupsWorld> cups_;
  TestWorld* world_ = nullptr;
  std::string queue_, spool_;
};

}  // namespace

TEST_F(Pipeline, PdfAndTextBecomeFaxImagesWithTheFaxPrinterDefaultOnlyWhilePrinting) {
  // The reader records, while it prints, the default printer and whether
  // "FaxPrinter" is held.
  const std::string seen = world_->Root() + "/seen.txt";
  const std::string reader = world_->Root() + "/reader.sh";
  TestWorld::WriteFile(reader, "#!/bin/sh\nlpstat -d > " + seen + "\nif flock -n -x " +
                                   platform::NamedEvent::RuntimeDir() +
                                   "/FaxPrinter.event true; then echo free >> " + seen +
                                   "; else echo held >> " + seen + "; fi\nexec lp \"$@\"\n");
  ::chmod(reader.c_str(), 0755);
  ::setenv("BREVANT_PDF_READER", reader.c_str(), 1);
  // No default of the user's own: afterwards there is none again.
  const std::string schedulerDefault = render::GetDefaultPrinter();

  ExpectFaxPages(Make({Sample("letter.pdf")}), 2);
  std::string s = TestWorld::ReadFile(seen);
  EXPECT_NE(s.find(queue_), std::string::npos) << s;
  EXPECT_NE(s.find("held"), std::string::npos) << s;
  EXPECT_EQ(render::GetDefaultPrinter(), schedulerDefault);
  EXPECT_FALSE(platform::NamedEvent::Exists("FaxPrinter"));

  // A default printer of the user's own is the default again afterwards,
  // with the user's settings for it.
  const std::string other = cups_->AddQueue(world_->Root() + "/other/");
  const std::string lpoptions = world_->Root() + "/.cups/lpoptions";
  TestWorld::WriteFile(lpoptions, "Default " + other + " copies=2\n");
  ExpectFaxPages(Make({Sample("letter.txt"), Sample("letter.pdf")}), 3);
  EXPECT_EQ(render::GetDefaultPrinter(), other);
  EXPECT_NE(TestWorld::ReadFile(lpoptions).find("Default " + other + " copies=2\n"), std::string::npos)
      << TestWorld::ReadFile(lpoptions);
  EXPECT_EQ(FaxJob().FaxName, "letter.pdf");
}

TEST_F(Pipeline, HelpersThatHangAreEnded) {
  // A hanging office suite and browser: ended in time, every process of theirs.
  const std::string pids = world_->Root() + "/pids";
  const std::string hang = world_->Root() + "/hang.sh";
  TestWorld::WriteFile(hang,
                       "#!/bin/sh\necho $$ >> " + pids + "\nsleep 300 &\necho $! >> " + pids + "\nwait\n");
  ::chmod(hang.c_str(), 0755);
  ::setenv("BREVANT_SOFFICE", hang.c_str(), 1);
  ::setenv("BREVANT_CHROMIUM", hang.c_str(), 1);
  ::setenv("BREVANT_OFFICE_TIMEOUT_MS", "1500", 1);
  ::setenv("BREVANT_BROWSER_TIMEOUT_MS", "1500", 1);
  const std::string doc = world_->Root() + "/report.docx", page = world_->Root() + "/page.htm";
  TestWorld::WriteFile(doc, "PK not really");
  TestWorld::WriteFile(page, "<p>x</p>");
  testing::internal::CaptureStderr();
  auto start = std::chrono::steady_clock::now();
  Make({doc, page}, false);
  testing::internal::GetCapturedStderr();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_NE(world_->Errors().find("the office suite did not finish"), std::string::npos);
  EXPECT_NE(world_->Errors().find("the browser did not print"), std::string::npos);
  std::ifstream in(pids);
  int pid = 0, n = 0;
  for (std::string state; in >> pid; ++n) {
    // Gone, or a zombie waiting for this container's init to reap it.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    stat >> state >> state >> state;
    EXPECT_TRUE(!stat || state == "Z") << "helper " << pid << " still runs (" << state << ")";
  }
  EXPECT_EQ(n, 4);
}

TEST_F(Pipeline, EmptyLastDocumentWithoutCoverEndsTheRunAndACancelStopsIt) {
  static int exitCode = -1;
  SetPipelineExitHandler([](int code) { exitCode = code; });
  const std::string empty = world_->Root() + "/empty.txt";
  TestWorld::WriteFile(empty, "");
  FaxJob().g_arrFiles.Append(empty);
  testing::internal::CaptureStderr();
  printToPreview(0, false);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("The attachment's file is empty and cover page not exist. Cannot make fax."),
            std::string::npos);
  EXPECT_EQ(exitCode, 0);
  EXPECT_TRUE(FaxJob().FaxImageFile.empty());

  // An empty first document with a non-empty last one is no reason to stop.
  exitCode = -1;
  ExpectFaxPages(Make({empty, Sample("letter.txt")}), 1);
  EXPECT_EQ(exitCode, -1);

  // The progress window asked to cancel: nothing is printed or converted.
  CWinReg r;
  ASSERT_TRUE(r.InitForWrite(CWinReg::HKEY_CURRENT_USER, "Software\\Norvane\\Pelorin\\ProgressBar", true));
  r.SetDword("Abort", 1);
  FaxJob().g_arrFiles.Clear();
  FaxJob().g_arrFiles.Append(Sample("letter.txt"));
  printToPreview(0, false);
  EXPECT_TRUE(FaxJob().FaxImageFile.empty());
  EXPECT_TRUE(FaxJob().PreviewFile.empty());
  EXPECT_FALSE(fs::exists(spool_ + "00000001.emf"));
  EXPECT_EQ(r.GetDword("Abort"), 0);
}

TEST_F(Pipeline, SendNowPrintsEveryNamedDocumentAndSaysWhichIsMissing) {
  Config().ProgramType = 0;
  CXmlGroups().WriteCfgProps();
  CWinReg reg;
  ASSERT_TRUE(reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, kPelorinKey, true));
  reg.SetString("SetCoverPage", "0");
  // Each document is printed, one whose double quotes are its own under
  // that name; a missing one is reported, never silently left out.
  const std::string quoted = world_->Root() + "/say \"hi\".txt";
  fs::copy_file(Sample("letter.txt"), quoted);
  auto r = world_->RunTool("brevant", "'sendnow;0;Ann#;5550100#;" + Sample("letter.txt") + "#\"" + quoted +
                                          "\"#" + world_->Root() + "/gone.txt#'");
  const std::string trace = TestWorld::ReadFile(world_->ProgramDir() + "/brevant.log");
  EXPECT_NE(trace.find("route shell: " + Sample("letter.txt")), std::string::npos) << trace;
  EXPECT_NE(trace.find("route shell: " + quoted), std::string::npos) << trace;
  EXPECT_NE(
      r.err.find("The file \"" + world_->Root() + "/gone.txt\" cannot be found and is not part of the fax."),
      std::string::npos)
      << r.err;
  EXPECT_NE(world_->Errors().find("53,\"File not found: " + world_->Root() +
                                  "/gone.txt\",\"brevant:Init.SendNow\""),
            std::string::npos)
      << world_->Errors();
  EXPECT_EQ(world_->Errors().find("File not exist"), std::string::npos) << world_->Errors();
  EXPECT_NE(trace.find("exitApp(0)"), std::string::npos);
  EXPECT_EQ(r.out.find("Preparing fax"), std::string::npos) << "progress never goes to stdout";
}

TEST_F(Pipeline, EachPrintedDocumentIsAStepOnStderrUnattendedAndOnTheStatusWindowsBar) {
  FaxJob().UseCover = true;
  FaxJob().CoverPages.Append(test::MarkedPicture(world_->Root() + "/cover.bmp", 1));
  FaxJob().CoverIndex = 1;
  const std::string second = world_->Root() + "/second.txt";
  fs::copy_file(Sample("letter.txt"), second);
  testing::internal::CaptureStderr();
  ExpectFaxPages(Make({Sample("letter.txt"), second}), 3);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Preparing fax: printing letter.txt (1 of 3)\n"
                     "Preparing fax: printing second.txt (2 of 3)\n"
                     "Preparing fax: printing cover.bmp (3 of 3)\n"
                     "Preparing fax: converting the pages\n"),
            std::string::npos)
      << err;

  // Attended: the status window shows each document and a bar, not stderr.
  struct Attended {
    Attended() { ::unsetenv("BREVANT_UNATTENDED"); }
    ~Attended() {
      ui::SetBackend(nullptr);
      ::setenv("BREVANT_UNATTENDED", "1", 1);
    }
  } attended;
  ASSERT_TRUE(wizard::EnsureQtUi());
  FaxJob().UseCover = false;
  QWidget owner;
  owner.show();
  std::string texts, boxes;  // each text the label showed, each message box, one a line
  std::vector<int> values;   // the bar's values as they changed
  int barMax = -1;
  auto status = [] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == "frmStatus" && w->isVisible()) return w;
    return static_cast<QWidget*>(nullptr);
  };
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      boxes += box->text().toStdString() + "\n";
      box->done(QMessageBox::Ok);  // it would wait for a click
    }
    QWidget* w = status();
    auto* label = w ? w->findChild<QLabel*>("lblStatus") : nullptr;
    auto* bar = w ? w->findChild<QProgressBar*>("progress") : nullptr;
    if (label && !texts.ends_with(label->text().toStdString() + "\n"))
      texts += label->text().toStdString() + "\n";
    if (!bar || !bar->isVisible()) return;
    barMax = bar->maximum();
    if (values.empty() || values.back() != bar->value()) values.push_back(bar->value());
  });
  watch.start(0);
  testing::internal::CaptureStderr();
  FaxJob().g_arrFiles.Clear();
  FaxJob().g_arrFiles.Append(Sample("letter.txt"));
  FaxJob().g_arrFiles.Append(second);
  printToPreview(ui::WindowHandle(owner.winId()), false);
  err = testing::internal::GetCapturedStderr();
  watch.stop();
  EXPECT_EQ(boxes, "");
  EXPECT_EQ(FaxJob().FaxImageFile, spool_ + "Fax.tif");
  EXPECT_NE(texts.find("Printing letter.txt...\nPrinting second.txt...\n"), std::string::npos) << texts;
  EXPECT_EQ(barMax, 2);
  EXPECT_EQ(values, (std::vector<int>{0, 1, 2})) << "one step per document, the last one fills the bar";
  EXPECT_EQ(err.find("Preparing fax"), std::string::npos) << err;
  EXPECT_EQ(status(), nullptr) << "the status window closes when the documents are printed";
}

TEST_F(Pipeline, PageListEditionKeepsThePagesAndListsThem) {
  ::setenv("BREVANT_PRINT_STRATEGY", "2", 1);
  FaxJob().UseCover = true;
  FaxJob().CoverPages.Append(test::MarkedPicture(world_->Root() + "/cover.bmp", 1));
  FaxJob().CoverIndex = 1;
  FaxJob().g_arrFiles.Append(Sample("letter.txt"));
  FaxJob().g_arrFiles.Append(Sample("letter.txt"));
  printToPreview(0, true);
  // Two one-page documents and the cover page, renumbered to page 0.
  for (const char* f : {"00000000.emf", "00000001.emf", "00000002.emf"})
    EXPECT_TRUE(fs::exists(spool_ + f)) << f;
  EXPECT_FALSE(fs::exists(spool_ + "00000003.emf"));
  EXPECT_EQ(FaxJob().FaxImageFile, spool_ + "spool.pnx");
  EXPECT_EQ(TestWorld::ReadFile(spool_ + "spool.pnx"), spool_ + "00000001.emf\r\n" + spool_ + "00000002.emf");
  EXPECT_FALSE(FaxJob().CoverInImage);
  EXPECT_EQ(FaxJob().PreviewFile, spool_ + "FaxPreview.tif");
  EXPECT_EQ(ReadBilevel(spool_ + "FaxPreview.tif").size(), 3u);
}
