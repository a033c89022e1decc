// Faxes through the real daemon over its loopback line: what the far end
// stored, the sent archive and its reports, retries, resending, restarts.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/FaxJob.h"
#include "common/Logging.h"
#include "delivery/Delivery.h"
#include "delivery/FaxTransport.h"
#include "faxservice/client/FaxService.h"
#include "render/cover/CoverDraw.h"
#include "tests/faxservice/FaxTestSupport.h"
#include "tests/support/RegValues.h"

namespace brevant {
namespace {

namespace fs = std::filesystem;
using faxsvc::Message;
using test::FaxDaemon;
using test::TestWorld;

class FaxTransmission : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetFaxServerForTests();
    ClearFaxJob();
    ASSERT_TRUE(daemon.Start());
    ASSERT_TRUE(CWinReg().InitForWrite(CWinReg::HKEY_CURRENT_USER, kPelorinKey, true));
    fax = test::MakeFaxTiff(world.TempDir() + "/Fax.tif", 3);
    ASSERT_FALSE(fax.empty());
  }
  void TearDown() override { ResetFaxServerForTests(); }

  void AddRecipient(const std::string& name, const std::string& number) {
    FaxJob().g_arrFaxName.Append(name);
    FaxJob().g_arrFaxNumber.Append(number);
  }
  Message Jobs() { return daemon.Call(Message("jobs").Set("queue", "out").Set("all", "1")); }
  Message FarEnd() { return daemon.Call(Message("farend")); }
  Message Submit(const std::string& number) {
    return daemon.Call(Message("submit").Set("file", fax).Set("number", number));
  }
  // No job of the outgoing queue waiting or on the line.
  bool QueueSettled(double seconds = 30) {
    return test::WaitFor(
        [&] {
          Message r = Jobs();
          for (int i = 1; i <= r.GetInt("count"); ++i) {
            long long s = r.Item(i).GetInt("status");
            if (s == faxsvc::kJobPending || s == faxsvc::kJobInProgress || s == faxsvc::kJobRetrying)
              return false;
          }
          return true;
        },
        seconds);
  }
  std::string ErrorLog() { return TestWorld::ReadFile(ErrorLogPath()); }

  TestWorld world;
  FaxDaemon daemon{world};
  std::string fax;
};

TEST_F(FaxTransmission, OneFaxPerRecipientArrivesIntactWithItsReport) {
  FaxJob().g_arrFiles.Append(fax);
  AddRecipient("Anna Berg", "+49 (30) 555-0101");
  AddRecipient("Bo Lind", "0301234567");
  AddRecipient("Cara Nuñez", "555 0199");
  FaxJob().FaxSubject = "Quarterly figures";
  FaxJob().SenderFullName = "Dana Sender";
  FaxJob().SenderCompany = "";
  FaxJob().SenderfaxNumber = "555 0100";
  SendFaxMSFax();

  ASSERT_TRUE(QueueSettled());
  Message jobs = Jobs();
  ASSERT_EQ(jobs.GetInt("count"), 3);
  std::vector<std::string> numbers;
  for (int i = 1; i <= 3; ++i) {
    Message j = jobs.Item(i);
    EXPECT_EQ(j.GetInt("status"), faxsvc::kJobCompleted) << j.Get("error");
    EXPECT_EQ(j.GetInt("attempts"), 1);
    numbers.push_back(j.Get("number"));
    Message props;
    ASSERT_TRUE(Message::Decode(j.Get("props"), &props));
    EXPECT_EQ(props.Get("sender_name") + "|" + props.Get("sender_fax") + "|" + props.Get("sender_company") +
                  "|" + props.Get("subject"),
              "Dana Sender|555 0100||Quarterly figures");
  }
  EXPECT_EQ(numbers, (std::vector<std::string>{"+49 (30) 555-0101", "0301234567", "555 0199"}));

  // The far end received each fax once, page for page as sent.
  auto sent = test::ReadPages(fax);
  Message far = FarEnd();
  ASSERT_EQ(far.GetInt("count"), 3);
  for (int i = 1; i <= 3; ++i) {
    auto got = test::ReadPages(far.Item(i).Get("path"));
    ASSERT_EQ(got.size(), sent.size());
    for (std::size_t p = 0; p < got.size(); ++p) EXPECT_LT(faxsvc::PixelDifference(sent[p], got[p]), 0.01);
  }

  // The sent archive's file in the registry's folder, and its report.
  Message arch = daemon.Archive("out");
  ASSERT_EQ(arch.GetInt("count"), 3);
  Message first = arch.Item(1);
  EXPECT_EQ(first.Get("pages") + " " + first.Get("bitrate") + " " + first.Get("result"), "3 14400 OK");
  EXPECT_GT(first.GetReal("duration"), 20.0);  // seconds of line time for 3 pages
  EXPECT_EQ(fs::path(first.Get("path")).parent_path(), daemon.ArchiveDir());
  EXPECT_EQ(test::ReadPages(first.Get("path")).size(), 3u);
  faxsvc::FaxTiff tiff;
  tiff.SetImage(first.Get("path"));
  EXPECT_EQ(tiff.CSID() + "|" + tiff.RecipientName(), "+49 (30) 555-0101|Anna Berg");

  EXPECT_EQ(test::RegString(test::HKCU, kPelorinKey, "SetCoverPage"), "0") << "the cover request is reset";
}

TEST_F(FaxTransmission, BadRecipientsAreRefusedWithoutLosingEarlierOnes) {
  FaxJob().g_arrFiles.Append(fax);
  AddRecipient("Good", "555 0101");
  AddRecipient("Letters", "555-CALL-NOW");
  AddRecipient("After", "555 0102");
  SendFaxMSFax();
  // The loop ends at the refused recipient; the one before it is kept.
  Message jobs = Jobs();
  ASSERT_EQ(jobs.GetInt("count"), 1);
  EXPECT_EQ(jobs.Item(1).Get("number"), "555 0101");
  EXPECT_NE(ErrorLog().find("msend.GenerateFax"), std::string::npos);
  EXPECT_NE(ErrorLog().find("Invalid fax number \"555-CALL-NOW\""), std::string::npos);

  ClearFaxJob();
  FaxJob().g_arrFiles.Append(fax);
  AddRecipient("Long", std::string(200, '7'));
  SendFaxMSFax();
  EXPECT_NE(ErrorLog().find("it has 200 digits"), std::string::npos);
  // (A document that is no fax image is refused before the service: the
  // arrival suite's bad documents judge it end to end.)
  EXPECT_EQ(Jobs().GetInt("count"), 1);
}

TEST_F(FaxTransmission, NoDocumentSendsTheBlankStandInPageWithTheServiceCoverOnlyWhenAsked) {
  auto black = [](const faxsvc::FaxPage& p) {
    std::size_t n = 0;
    for (auto px : p.pixels) n += px;
    return n;
  };
  // A cover page of the user's own: the service adds no cover sheet of its
  // own (its common ones are in "Common AppData" + "ServerCoverPageDir").
  test::SetRegString(test::HKLM, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                     "Common AppData", world.TempDir());
  test::SetRegString(test::HKLM, "Software\\Microsoft\\Fax\\Setup", "ServerCoverPageDir",
                     "Common Coverpages");
  AddRecipient("Cover only", "555 0110");
  FaxJob().UseCover = true;
  FaxJob().CoverPages.Append(world.TempDir() + "/fax.cov");
  FaxJob().CoverIndex = 1;
  SendFaxMSFax();
  ASSERT_TRUE(QueueSettled());
  Message props;
  Message::Decode(Jobs().Item(1).Get("props"), &props);
  EXPECT_EQ(props.Get("cover") + "|" + props.Get("server_cover"), world.TempDir() + "/fax.cov|0");
  EXPECT_EQ(TestWorld::ReadFile(world.ProgramDir() + "/.txt"), " ");
  auto got = test::ReadPages(FarEnd().Item(1).Get("path"));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(black(got[0]), 0u);

  // A common cover page: the service's cover sheet before the blank page,
  // the program's built-in cover page: its title and "To:" row (the top
  // 400 rows) as drawn here with the recipient's name.
  FaxJob().CoverPages[1] = world.TempDir() + "/Common Coverpages/fax.cov";
  SendFaxMSFax();
  ASSERT_TRUE(QueueSettled());
  got = test::ReadPages(FarEnd().Item(2).Get("path"));
  ASSERT_EQ(got.size(), 2u);
  emf::Page drawn;
  ASSERT_TRUE(cover::RenderPage("", {{"RecName", "Cover only"}}, &drawn, nullptr));
  faxsvc::FaxPage sheet = got[0], expected;
  sheet.height = expected.height = 400;
  sheet.pixels.resize(std::size_t(sheet.width) * 400);
  expected.width = drawn.width;
  for (int y = 0; y < 400; ++y)
    for (int x = 0; x < drawn.width; ++x) expected.pixels.push_back(drawn.Black(x, y) ? 1 : 0);
  EXPECT_LT(faxsvc::PixelDifference(sheet, expected), 0.001);
  EXPECT_GT(black(expected), 5000u);
  EXPECT_EQ(black(got[1]), 0u);
}

TEST_F(FaxTransmission, BusyLineAndHangUpAreRetriedThenReportedAndResent) {
  daemon.Call(Message("line_set").Set("busy_count", "2").Set("retries", "3").Set("retry_interval", "0"));
  ASSERT_EQ(Submit("555 0120").Get("ok"), "1");
  ASSERT_TRUE(QueueSettled());
  Message j = Jobs().Item(1);
  EXPECT_EQ(j.GetInt("status"), faxsvc::kJobCompleted);
  EXPECT_EQ(j.GetInt("attempts"), 3);  // busy, busy, through

  // The far end hangs up after the first page, every time.
  daemon.Call(Message("line_set").Set("hangup_after", "1").Set("retries", "1"));
  const std::string id = Submit("555 0121").Get("id");
  ASSERT_TRUE(QueueSettled());
  Message failed = daemon.Job(id);
  EXPECT_EQ(failed.GetInt("status"), faxsvc::kJobRetriesExceeded);
  EXPECT_EQ(failed.GetInt("attempts"), 2);
  EXPECT_NE(failed.Get("error").find("hung up after page 1"), std::string::npos) << failed.Get("error");
  EXPECT_TRUE(failed.GetInt("ops") & faxsvc::kOpRestart);

  // One action sends it again once the line is good.
  daemon.Call(Message("line_set").Set("hangup_after", "0"));
  Message again = daemon.Call(Message("job_op").Set("id", id).Set("action", "restart"));
  ASSERT_EQ(again.Get("ok"), "1") << again.Get("error");
  ASSERT_TRUE(QueueSettled());
  EXPECT_EQ(daemon.Job(id).GetInt("status"), faxsvc::kJobCompleted);
  // What each call brought: page 1 twice cut off, then the whole fax.
  std::vector<std::string> calls;
  for (const Message& f : FarEnd().Items())
    if (f.Get("job_id") == id) calls.push_back(f.Get("pages") + "/" + f.Get("complete"));
  EXPECT_EQ(calls, (std::vector<std::string>{"1/0", "1/0", "3/1"}));

  // A finished fax is resent from the archive as a new job.
  Message arch = daemon.Archive("out");
  ASSERT_EQ(arch.GetInt("count"), 2);
  Message resent = daemon.Call(Message("resend").Set("id", arch.Item(1).Get("id")));
  ASSERT_EQ(resent.Get("ok"), "1") << resent.Get("error");
  ASSERT_TRUE(QueueSettled());
  EXPECT_EQ(daemon.Archive("out").GetInt("count"), 3);
}

TEST_F(FaxTransmission, ADaemonKilledDuringACallNeverSendsAConfirmedPageAgain) {
  // Paced to twice real time, the far end's last confirmation comes a while
  // before the call ends. Killed then, the fax is filed as sent at the next
  // start and not sent again (a kill after page 1: ServiceLine tests).
  daemon.Call(Message("line_set").Set("pace", "2"));
  std::string id = Submit("555 0130").Get("id");
  bool inWindow = test::WaitFor(
      [&] {
        Message j = daemon.Job(id);
        return j.GetInt("pages_sent") == 3 && j.GetInt("status") == faxsvc::kJobInProgress;
      },
      60);
  daemon.Kill();
  ASSERT_TRUE(inWindow);
  ASSERT_TRUE(daemon.Start());
  EXPECT_EQ(daemon.Job(id).GetInt("status"), faxsvc::kJobCompleted);
  EXPECT_EQ(daemon.Job(id).GetInt("attempts"), 1);
  Message arch = daemon.Archive("out");
  ASSERT_EQ(arch.GetInt("count"), 1);
  EXPECT_NE(arch.Item(1).Get("result").find("confirmed every page before the fax service stopped"),
            std::string::npos);
  EXPECT_EQ(test::ReadPages(arch.Item(1).Get("path")).size(), 3u);
  std::vector<std::string> calls;
  for (const Message& f : FarEnd().Items()) calls.push_back(f.Get("job_id") + ":" + f.Get("pages"));
  EXPECT_EQ(calls, std::vector<std::string>{id + ":3"});
}

TEST_F(FaxTransmission, StateSurvivesARestart) {
  daemon.Call(Message("queue_set").Set("paused", "1"));
  daemon.Call(Message("device_set").Set("id", 1).Set("receive_mode", 0).Set("rings", 7));
  daemon.Call(Message("line_set").Set("retries", "5"));
  std::string id =
      daemon.Call(Message("submit").Set("file", fax).Set("number", "555 0150").Set("name", "Kept")).Get("id");
  daemon.Stop();
  // The sender's own file gone: the queue has its copy.
  fs::remove(fax);
  ASSERT_TRUE(daemon.Start());
  EXPECT_EQ(daemon.Call(Message("queue_get")).Get("paused"), "1");
  Message dev = daemon.Call(Message("devices")).Item(1);
  EXPECT_EQ(dev.Get("receive_mode") + " " + dev.Get("rings"), "0 7");
  EXPECT_EQ(daemon.Call(Message("line_get")).Get("retries"), "5");
  EXPECT_EQ(daemon.Job(id).Get("name"), "Kept");
  EXPECT_EQ(daemon.Job(id).GetInt("status"), faxsvc::kJobPending);
  daemon.Call(Message("queue_set").Set("paused", "0"));
  ASSERT_TRUE(daemon.WaitJob(id, faxsvc::kJobCompleted));
  EXPECT_EQ(test::ReadPages(FarEnd().Item(1).Get("path")).size(), 3u);
}

TEST_F(FaxTransmission, DiscountRateFaxWaitsForTheCheapHours) {
  // Cheap rates start two hours from now: the fax waits.
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  int start = (localtime_r(&now, &tm)->tm_hour + 2) % 24;
  daemon.Call(Message("line_set").Set("discount_start", start).Set("discount_end", (start + 1) % 24));
  std::string id =
      daemon.Call(Message("submit").Set("file", fax).Set("number", "555 0160").Set("discount", "1"))
          .Get("id");
  EXPECT_NEAR(daemon.Job(id).GetReal("next_attempt") - static_cast<double>(now), 2 * 3600.0, 3600.0);
  ASSERT_TRUE(daemon.WaitForLineRound(fax));
  EXPECT_EQ(daemon.Job(id).GetInt("status"), faxsvc::kJobPending);
}

TEST(FaxServiceFolders, WithoutRegisteredFoldersTheServiceNamesItsOwnAndImportFindsThemWhileItIsStopped) {
  TestWorld world;
  FaxDaemon daemon(world);
  for (bool incoming : {true, false}) {
    faxsvc::RegisterFaxFolder(incoming, "");
    ASSERT_EQ(faxsvc::RegisteredFaxFolder(incoming), "");
  }
  ASSERT_TRUE(daemon.Start());
  EXPECT_EQ(faxsvc::RegisteredFaxFolder(true), daemon.StateDir() + "/Received");
  EXPECT_EQ(faxsvc::RegisteredFaxFolder(false), daemon.StateDir() + "/Sent");
  std::string fax = test::MakeFaxTiff(world.TempDir() + "/f.tif", 1);
  std::string out = daemon.Call(Message("submit").Set("file", fax).Set("number", "555 0175")).Get("id");
  std::string in = daemon.Call(Message("call").Set("file", fax).Set("from", "555 0176")).Get("id");
  daemon.Call(Message("answer").Set("id", 1));
  for (const std::string& id : {out, in}) ASSERT_TRUE(daemon.WaitJob(id, faxsvc::kJobCompleted, 20)) << id;
  EXPECT_EQ(fs::path(daemon.Archive("in").Item(1).Get("path")).parent_path(),
            daemon.StateDir() + "/Received");
  EXPECT_EQ(fs::path(daemon.Archive("out").Item(1).Get("path")).parent_path(), daemon.StateDir() + "/Sent");
  daemon.Stop();

  // Stopped, the service's folders are read by the import as files.
  ::setenv("BREVANT_MAILDIR", (world.Root() + "/Maildir").c_str(), 1);
  auto r = world.RunTool("brevant", "import");
  ::unsetenv("BREVANT_MAILDIR");
  EXPECT_NE(r.err.find("Importing faxes: 2 of 2"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Import from Fax Console has been successful."), std::string::npos) << r.err;
}

TEST(FaxServiceDown, DeliveryTellsTheUserAtOnceAndStillResetsTheCoverRequest) {
  TestWorld world;
  ResetFaxServerForTests();
  ClearFaxJob();
  test::SetRegString(test::HKCU, kPelorinKey, "SetCoverPage", "1");
  FaxJob().g_arrFaxName.Append("Nobody");
  FaxJob().g_arrFaxNumber.Append("555");
  testing::internal::CaptureStderr();
  auto t0 = std::chrono::steady_clock::now();
  SendFaxMSFax();
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_LT(took, 2.0);
  // The fixed text, then why on its second line.
  EXPECT_NE(err.find("Error connect to fax. Please reinstall fax server.\nthe fax service is not running (" +
                     world.RuntimeDir() + "/faxd.sock: No such file or directory)"),
            std::string::npos)
      << err;
  EXPECT_EQ(test::RegString(test::HKCU, kPelorinKey, "SetCoverPage"), "0");
  EXPECT_EQ(GetFaxName(), "");
  EXPECT_NE(TestWorld::ReadFile(ErrorLogPath()).find("mCommon.GetFaxName"), std::string::npos);
  ResetFaxServerForTests();
}

}  // namespace
}  // namespace brevant
