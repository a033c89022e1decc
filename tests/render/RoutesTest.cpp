// The print routes' small services and the PDF reader's waiting phases,
// against a scripted window system (no desktop here) and a real file
// system and registry store.
#include <gtest/gtest.h>
#include <sys/file.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "common/CWinReg.h"
#include "common/FaxJob.h"
#include "render/FaxQueue.h"
#include "render/Pipeline.h"
#include "common/Logging.h"
#include "render/PdfPrint.h"
#include "render/PrintRoutes.h"
#include "render/WindowSystem.h"
#include "tests/render/XTestServer.h"
#include "tests/support/TestWorld.h"

namespace fs = std::filesystem;
using namespace brevant;
using namespace brevant::render;
using brevant::test::TestWorld;
using brevant::test::XTestServer;

namespace {

// Windows whose titles follow a script: each title read advances the
// window's clock, so a "reader" can load and unload a document.
class ScriptedWindows : public WindowSystem {
 public:
  struct Win {
    std::vector<std::string> titles;  // title at read n (last one stays)
    int reads = 0;
    bool hidden = false, minimised = false, closesOnRequest = true, gone = false;
    int closeRequests = 0;
  };
  std::map<Handle, Win> wins;

  std::vector<Handle> TopLevelWindows() override {
    std::vector<Handle> out;
    for (auto& [h, w] : wins)
      if (!w.gone) out.push_back(h);
    return out;
  }
  std::string Title(Handle h) override {
    auto it = wins.find(h);
    if (it == wins.end() || it->second.gone) return "";
    Win& w = it->second;
    std::size_t i = std::min<std::size_t>(std::size_t(w.reads++), w.titles.size() - 1);
    return w.titles[i];
  }
  void Hide(Handle h) override { wins[h].hidden = true; }
  void Minimise(Handle h) override { wins[h].minimised = true; }
  void PostClose(Handle h) override {
    ++wins[h].closeRequests;
    if (wins[h].closesOnRequest) wins[h].gone = true;
  }
};

class Routes : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* t = std::getenv("TMPDIR");
    saved_ = t ? t : "";
    world_ = std::make_unique<TestWorld>();
    // No print queue of that name: the job count stays 0.
    ::setenv("BREVANT_FAX_PRINTER", "NoSuchFaxQueueHere", 1);
  }
  void TearDown() override {
    SetWindowSystem(nullptr);
    SetReaderPollLimit(30000);
    ::unsetenv("BREVANT_FAX_PRINTER");
    ::unsetenv("BREVANT_PDF_READER");
    world_.reset();
    if (saved_.empty()) ::unsetenv("TMPDIR");
    else ::setenv("TMPDIR", saved_.c_str(), 1);
  }
  std::string DebugLog() const { return TestWorld::ReadFile(DebugLogPath()); }
  std::unique_ptr<TestWorld> world_;
  std::string saved_;
};

}  // namespace

TEST_F(Routes, EachDocumentTakesTheFirstMatchingRoute) {
  EXPECT_EQ(RouteFor("/home/a/report.DOC"), Route::Word);
  EXPECT_EQ(RouteFor("/home/a/archive.doc.zip"), Route::Word);
  EXPECT_EQ(RouteFor("/home/a/notes.docx"), Route::Word);
  EXPECT_EQ(RouteFor("/home/a/letter.odt"), Route::Word);
  EXPECT_EQ(RouteFor("/home/a/letter.rtf"), Route::Word);
  EXPECT_EQ(RouteFor("/home/a/sheet.xlsx"), Route::Excel);
  EXPECT_EQ(RouteFor("/home/a/sheet.ods"), Route::Excel);
  EXPECT_EQ(RouteFor("/home/a/page.html"), Route::WebPage);
  EXPECT_EQ(RouteFor("/home/a/page.HTM"), Route::WebPage);
  EXPECT_EQ(RouteFor("/home/a/a.pdf"), Route::Pdf);
  EXPECT_EQ(RouteFor("/home/a/photo.tiff"), Route::Tiff);
  EXPECT_EQ(RouteFor("/home/a/photo.jpg"), Route::Image);
  EXPECT_EQ(RouteFor("/home/a/photo.jpeg"), Route::Shell);  // not ".jpg"
  EXPECT_EQ(RouteFor("/home/a/readme.txt"), Route::Shell);
  // Images win over everything: a picture in a folder named like a document.
  EXPECT_EQ(RouteFor("/home/a/x.pdf/scan.gif"), Route::Image);
  for (const char* p : {"a.EMF", "a.rle", "a.wmf", "a.bmp", "a.ico", "a.gif", "a.Jpg"}) EXPECT_TRUE(IsImageFile(p)) << p;
  for (const char* p : {"a.png", "a.jpeg", "a.tif", "a.pdf"}) EXPECT_FALSE(IsImageFile(p)) << p;
}

TEST_F(Routes, FileIsOpenWhenLockedOrTheOfficeSuiteHasIt) {
  const std::string dir = world_->Root() + "/docs/";
  TestWorld::WriteFile(dir + "free.odt", "x");
  TestWorld::WriteFile(dir + "locked.doc", "x");
  TestWorld::WriteFile(dir + "edited.odt", "x");
  TestWorld::WriteFile(dir + ".~lock.edited.odt#", ",ann,host,2026;");
  EXPECT_FALSE(IsFileOpen(dir + "free.odt"));
  EXPECT_FALSE(IsFileOpen(dir + "missing.doc"));
  EXPECT_TRUE(IsFileOpen(dir + "edited.odt"));
  // Another holder of an exclusive lock: a child process, so the lock is
  // really someone else's.
  pid_t pid = ::fork();
  if (pid == 0) {
    int fd = ::open((dir + "locked.doc").c_str(), O_RDWR);
    ::flock(fd, LOCK_EX);
    ::sleep(5);
    ::_exit(0);
  }
  bool seen = false;
  for (int i = 0; i < 100 && !seen; ++i) {
    seen = IsFileOpen(dir + "locked.doc");
    if (!seen) ::usleep(20000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  EXPECT_TRUE(seen);
  EXPECT_FALSE(IsFileOpen(dir + "locked.doc"));
}

TEST_F(Routes, ReaderWindowIsKnownByItsTitle) {
  std::string version, doc;
  EXPECT_TRUE(ParseReaderTitle("Acrobat Reader", &version, &doc));
  EXPECT_EQ(doc, "");
  EXPECT_TRUE(ParseReaderTitle("Acrobat Reader 7.0 - [report.pdf]", &version, &doc));
  EXPECT_EQ(version, "7.0");
  EXPECT_EQ(doc, "report.pdf");
  // The document part follows the last " - ": a name with " - " in it
  // leaves an unbracketed tail.
  EXPECT_FALSE(ParseReaderTitle("Acrobat Reader - [a - b.pdf]"));
  EXPECT_FALSE(ParseReaderTitle("Acrobat Reader - report.pdf"));
  EXPECT_FALSE(ParseReaderTitle("acrobat reader"));
  EXPECT_FALSE(ParseReaderTitle("Adobe Acrobat Reader - [x.pdf]"));
}

TEST_F(Routes, OpenReaderIsReusedAndWatchedThroughLoadAndUnload) {
  ScriptedWindows ws;
  ws.wins[7].titles = {"Editor"};
  // Idle, then loading the document, then idle again.
  ws.wins[42].titles = {"Acrobat Reader", "Acrobat Reader", "Acrobat Reader", "Acrobat Reader - [invoice.pdf]",
                        "Acrobat Reader - [invoice.pdf]", "Acrobat Reader"};
  SetWindowSystem(&ws);
  ::setenv("BREVANT_PDF_READER", "true", 1);
  PrintPDF(world_->Root() + "/invoice.pdf", 0, "NoSuchFaxQueueHere");
  EXPECT_TRUE(ws.wins[42].hidden);
  const std::string log = DebugLog();
  auto at = [&](const char* s) { return log.find(s); };
  EXPECT_NE(at("1. Waiting creation of Acrobat window"), std::string::npos);
  EXPECT_NE(at("1Hiding acrobat window"), std::string::npos);
  EXPECT_LT(at("2. Waiting of loading printing document"), at("2Hiding acrobat window"));
  EXPECT_LT(at("2Hiding acrobat window"), at("3. Waiting of unloading printed document"));
  EXPECT_EQ(at("ExitBy"), std::string::npos) << log;
  EXPECT_EQ(at("No Acrobat Window"), std::string::npos);
}

TEST_F(Routes, ReaderThatNeverLoadsTimesOutAndOneThatVanishesEndsTheWait) {
  ScriptedWindows ws;
  ws.wins[5].titles = {"Acrobat Reader"};
  ws.wins[5].closesOnRequest = false;
  SetWindowSystem(&ws);
  SetReaderPollLimit(40);
  ::setenv("BREVANT_PDF_READER", "true", 1);
  testing::internal::CaptureStderr();
  PrintPDF("/tmp/never.pdf", 0, "NoSuchFaxQueueHere");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(DebugLog().find("ExitByTimeOut: 2. Waiting of loading printing document in the Acrobat"), std::string::npos);
  EXPECT_TRUE(ws.wins[5].minimised);
  EXPECT_NE(err.find("To continue you must close Acrobat Reader"), std::string::npos);

  // Closing: a reader that ignores the request is asked 50 times, then minimised.
  ws.wins[5].minimised = false;
  CloseAcrobatWindow();
  EXPECT_EQ(ws.wins[5].closeRequests, 50);
  EXPECT_TRUE(ws.wins[5].minimised);
  EXPECT_NE(DebugLog().find("Close Acrobat Window: exit by timeout"), std::string::npos);

  // A reader whose window goes away while loading.
  ScriptedWindows ws2;
  ws2.wins[9].titles = {"Acrobat Reader", ""};
  SetWindowSystem(&ws2);
  PrintPDF("/tmp/gone.pdf", 0, "NoSuchFaxQueueHere");
  EXPECT_NE(DebugLog().find("2. Waiting of loading printing document in the Acrobat- [No Acrobat Window]"),
            std::string::npos);
}

TEST_F(Routes, ReaderThatFailsWithoutWindowEndsPhaseOneEarly) {
  ScriptedWindows none;
  SetWindowSystem(&none);
  ::setenv("BREVANT_PDF_READER", "false", 1);
  auto start = std::chrono::steady_clock::now();
  PrintPDF("/tmp/broken.pdf", 0, "NoSuchFaxQueueHere");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_NE(DebugLog().find("ExitByReader: 1. Waiting creation of Acrobat window"), std::string::npos);
  EXPECT_NE(TestWorld::ReadFile(ErrorLogPath()).find("The PDF reader could not print /tmp/broken.pdf"),
            std::string::npos);
}

TEST_F(Routes, PipelineWithoutAPrintSchedulerEndsPromptlyAndSaysSo) {
  // No scheduler at this address: every CUPS call fails at once.
  ::setenv("CUPS_SERVER", (world_->Root() + "/no-cupsd.sock").c_str(), 1);
  EXPECT_EQ(QueueJobCount("NoSuchFaxQueueHere"), -1);
  EXPECT_FALSE(WaitQueueEmpty("NoSuchFaxQueueHere", "test", 60'000));
  ClearFaxJob();
  FaxJob().UseCover = false;
  const std::string doc = world_->Root() + "/letter.txt";
  TestWorld::WriteFile(doc, "Dear Ann,\nthe fax.\n");
  FaxJob().g_arrFiles.Append(doc);
  FaxJob().g_arrFiles.Append(world_->Root() + "/report.pdf");
  TestWorld::WriteFile(world_->Root() + "/report.pdf", "%PDF-1.4 not really");
  SetReaderPollLimit(200);
  testing::internal::CaptureStderr();
  auto start = std::chrono::steady_clock::now();
  printToPreview(0, false);
  std::string err = testing::internal::GetCapturedStderr();
  ::unsetenv("CUPS_SERVER");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  // Nothing can be printed: the run says so before printing anything.
  EXPECT_NE(
      err.find("The print system does not answer, so the fax printer \"NoSuchFaxQueueHere\" cannot be used. "
               "Cannot make fax."),
      std::string::npos)
      << err;
  EXPECT_TRUE(FaxJob().FaxImageFile.empty());
}

// The reader's window on a real X server (Xvfb): found by its title,
// hidden, and asked to close the way a close button does.
TEST_F(Routes, ReaderWindowOnAnXServerIsFoundHiddenAndAskedToClose) {
  XTestServer x;
  if (!x.Start()) GTEST_SKIP() << "no Xvfb to run windows on";
  x.MakeWindow("Acrobat Reader - report.pdf");  // not bracketed: not the reader
  unsigned long reader = x.MakeWindow("Acrobat Reader 9 - [invoice.pdf]");
  ::setenv("DISPLAY", x.Display().c_str(), 1);
  WindowSystem::Handle found = FindReaderWindow();
  ::unsetenv("DISPLAY");
  EXPECT_EQ(found, reader);
  EXPECT_EQ(Windows().Title(found), "Acrobat Reader 9 - [invoice.pdf]");
  Windows().Hide(found);
  Windows().PostClose(found);
  bool unmapped = false, closeAsked = false;
  x.Watch(reader, &unmapped, &closeAsked, 2000);
  EXPECT_TRUE(unmapped);
  EXPECT_TRUE(closeAsked);
}

TEST_F(Routes, PreviewEntryShowsTheDebugMessageOnlyWhenAskedTo) {
  ClearFaxJob();
  FaxJob().UseCover = false;
  testing::internal::CaptureStderr();
  PrintPreview(0, false);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find("before print preview"), std::string::npos);
  EXPECT_NE(err.find("Generate fax image error."), std::string::npos) << err;  // nothing to make a fax of
  CWinReg r;
  ASSERT_TRUE(r.InitForWrite(CWinReg::HKEY_CURRENT_USER, "Software\\Norvane\\Pelorin", true));
  r.SetDword("Debug", 1);
  testing::internal::CaptureStderr();
  PrintPreview(0, false);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("before print preview"), std::string::npos) << err;
  EXPECT_LT(err.find("Generate fax image error."), err.find("before print preview"));
}
