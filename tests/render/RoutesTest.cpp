// The print routes' names, the PDF reader's window (told by its title) on a
// real X server, and the pipeline without a print scheduler.
#include <gtest/gtest.h>

#include "common/FaxJob.h"
#include "common/Logging.h"
#include "render/FaxQueue.h"
#include "render/PdfPrint.h"
#include "render/Pipeline.h"
#include "render/PrintRoutes.h"
#include "render/WindowSystem.h"
#include "tests/support/TestWorld.h"
#include "tests/support/XDesktop.h"

using namespace brevant;
using namespace brevant::render;
using brevant::test::TestWorld;
using brevant::test::XDesktop;

namespace {

class Routes : public ::testing::Test {
 protected:
  void SetUp() override {
    world_ = std::make_unique<TestWorld>();
    // No print queue of that name: the job count stays 0.
    ::setenv("BREVANT_FAX_PRINTER", "NoSuchFaxQueueHere", 1);
  }
  void TearDown() override {
    SetReaderPollLimit(30000);
    ::unsetenv("BREVANT_FAX_PRINTER");
    ::unsetenv("BREVANT_PDF_READER");
    world_.reset();
  }
  std::unique_ptr<TestWorld> world_;
};

}  // namespace

TEST_F(Routes, NamesDecideTheRoute) {
  // (Each kind of document is sent end to end in tests/arrival; here the
  // names that are easy to get wrong.)
  const std::pair<const char*, Route> routes[] = {
      {"report.DOC", Route::Word},
      {"archive.doc.zip", Route::Word},
      {"sheet.ods", Route::Excel},
      {"page.HTM", Route::WebPage},
      {"photo.jpeg", Route::Shell},
      {"x.pdf/scan.gif", Route::Image}};  // images win over a folder named like a document
  for (auto [name, route] : routes) EXPECT_EQ(RouteFor(std::string("/home/a/") + name), route) << name;
  EXPECT_TRUE(IsImageFile("a.Jpg") && IsImageFile("a.EMF") && !IsImageFile("a.jpeg") &&
              !IsImageFile("a.png"));
}

// The default reader ("lp") opens no window: a reader that fails ends the
// wait for its window at once. (A reader window of the Acrobat kind is
// looked for, hidden and closed on a real display below.)
TEST_F(Routes, ReaderThatFailsWithoutWindowEndsTheWaitEarly) {
  ::unsetenv("DISPLAY");
  ::setenv("BREVANT_PDF_READER", "false", 1);
  auto start = std::chrono::steady_clock::now();
  PrintPDF("/tmp/broken.pdf", 0, "NoSuchFaxQueueHere");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_NE(TestWorld::ReadFile(DebugLogPath()).find("ExitByReader: 1. Waiting creation of Acrobat window"),
            std::string::npos);
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
  XDesktop x;
  ASSERT_TRUE(x.Start()) << "Xvfb did not start";
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
