// Import of the fax service's folders into the mail store: counting, the
// last-day choice, repeated, interrupted and cancelled imports, the command.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "common/ClientConfig.h"
#include "common/FaxJob.h"
#include "receive/FaxImport.h"
#include "tests/mail/FaxWorld.h"
#include "tests/mail/MailTestSupport.h"
#include "tests/support/RegValues.h"

namespace fs = std::filesystem;
using namespace brevant;
using brevant::test::FaxWorld;
using brevant::test::TestWorld;

namespace {

struct CountingProgress : ImportProgress {
  long steps = 0;
  long cancelAfter = -1;
  void Step() override { ++steps; }
  bool Cancelled() override { return cancelAfter >= 0 && steps >= cancelAfter; }
};

DateTime LocalTime(int y, int mo, int d, int h, int mi) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

// FaxID -> number of items carrying it.
std::map<std::string, int> FaxIds(const std::vector<mail::MailItem>& items) {
  std::map<std::string, int> ids;
  for (const auto& it : items)
    if (const auto* p = it.FindUserProperty("FaxID")) ++ids[p->value];
  return ids;
}

// The import's progress lines among a run's stderr.
std::vector<std::string> ProgressLines(const std::string& err) {
  std::vector<std::string> out;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("Importing faxes: ", 0) == 0) out.push_back(line);
  return out;
}

using Import = FaxWorld;

TEST(ImportDays, CountsCalendarDayBoundariesNotHours) {
  EXPECT_EQ(DayBoundaries(LocalTime(2026, 3, 1, 23, 59), LocalTime(2026, 3, 2, 0, 1)), 1);
  EXPECT_EQ(DayBoundaries(LocalTime(2026, 3, 2, 0, 1), LocalTime(2026, 3, 2, 23, 59)), 0);
  EXPECT_EQ(DayBoundaries(LocalTime(2026, 2, 28, 0, 0), LocalTime(2026, 3, 2, 23, 0)), 2);
  EXPECT_EQ(DayBoundaries(LocalTime(2026, 12, 31, 12, 0), LocalTime(2027, 1, 1, 12, 0)), 1);
  EXPECT_EQ(DayBoundaries(LocalTime(2026, 3, 3, 8, 0), LocalTime(2026, 3, 2, 8, 0)), -1);
}

TEST_F(Import, AllOrLastDayFilesEachFaxOnceAndCountsEveryFile) {
  // Sent archive: 2 recent, 1 old. Received store: 2 recent, 2 old.
  AddFax(Archive(), "s1.tif", "+1 1", "me", 1);
  AddFax(Archive(), "s2.tif", "+1 2", "me", 2);
  AddFax(Archive(), "s3.tif", "+1 3", "me", 24 * 5);
  AddFax(Store(), "r1.tif", "me", "+2 1", 0.5);
  AddFax(Store(), "r2.tif", "me", "+2 2", 3);
  AddFax(Store(), "r3.tif", "me", "+2 3", 24 * 3);
  AddFax(Store(), "r4.tif", "me", "+2 4", 24 * 10);
  fs::create_directories(Store() + "/subfolder");

  DateTime newest{};
  EXPECT_EQ(CountFaxes(newest), 7);
  auto age = std::chrono::system_clock::now() - newest;
  EXPECT_LT(age, std::chrono::minutes(40)) << "newest is r1's time";
  EXPECT_GT(age, std::chrono::minutes(20));

  CountingProgress p;
  ImportFaxes(true, &p, newest);
  EXPECT_EQ(p.steps, 7);
  EXPECT_EQ(FaxIds(Items(mail::olFolderSentMail)),
            (std::map<std::string, int>{{"s1.tif", 1}, {"s2.tif", 1}}));
  EXPECT_EQ(FaxIds(Items(mail::olFolderInbox)), (std::map<std::string, int>{{"r1.tif", 1}, {"r2.tif", 1}}));

  CountingProgress all;
  ImportFaxes(false, &all, DateTime{});
  ImportFaxes(false, nullptr, DateTime{});  // again: nothing filed twice
  EXPECT_EQ(all.steps, 7);
  EXPECT_EQ(FaxIds(Items(mail::olFolderSentMail)),
            (std::map<std::string, int>{{"s1.tif", 1}, {"s2.tif", 1}, {"s3.tif", 1}}));
  EXPECT_EQ(FaxIds(Items(mail::olFolderInbox)),
            (std::map<std::string, int>{{"r1.tif", 1}, {"r2.tif", 1}, {"r3.tif", 1}, {"r4.tif", 1}}));
}

TEST_F(Import, EmptyArchiveMakesNowTheReferenceAndMissingFoldersAreSkipped) {
  fs::remove_all(Archive());
  AddFax(Store(), "today.tif", "me", "x", 0);
  AddFax(Store(), "old.tif", "me", "x", 24 * 4);
  DateTime newest{};
  EXPECT_EQ(CountFaxes(newest), 2);
  EXPECT_LT(std::chrono::system_clock::now() - newest, std::chrono::seconds(5));
  ImportFaxes(true, nullptr, newest);
  EXPECT_EQ(FaxIds(Items(mail::olFolderInbox)), (std::map<std::string, int>{{"today.tif", 1}}));
}

TEST_F(Import, CancelStopsTheWalkBeforeTheNextFax) {
  for (int i = 0; i < 8; ++i) AddFax(Store(), "c" + std::to_string(i) + ".tif", "me", "x");
  CountingProgress p;
  p.cancelAfter = 3;
  ImportFaxes(false, &p, DateTime{});
  EXPECT_EQ(p.steps, 3);
  EXPECT_EQ(Items(mail::olFolderInbox).size(), 3u);
}

TEST_F(Import, ImportKilledAtAnyPointAndRunAgainFilesEveryFaxExactlyOnce) {
  const int n = 60;
  for (int i = 0; i < n; ++i)
    AddFax(i % 3 ? Store() : Archive(), "k" + std::to_string(i) + ".tif", "+1", "+2", i * 0.01);
  // Somebody's own mail in the Inbox stays as it is.
  mail::Folder inbox = Folder(mail::olFolderInbox);
  TestWorld::WriteFile(inbox.Path() + "/cur/1.own.host:2,S", "Subject: mine\r\n\r\nkeep me\r\n");

  for (int stopAt : {7, 23, 41}) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ImportFaxes(false, nullptr, DateTime{});
      ::_exit(0);
    }
    // Kill it once it has filed stopAt items in all.
    auto filed = [&] {
      std::ptrdiff_t count = 0;
      for (const auto& folder : {inbox.Path(), Folder(mail::olFolderSentMail).Path()})
        for (const char* sub : {"/cur", "/new"}) {
          std::error_code ec;
          count += std::distance(fs::directory_iterator(folder + sub, ec), fs::directory_iterator());
        }
      return count;
    };
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         filed() <= stopAt && std::chrono::steady_clock::now() < until;)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ::kill(child, SIGKILL);
    int st = 0;
    ::waitpid(child, &st, 0);
    auto ids = FaxIds(Items(mail::olFolderInbox));
    for (const auto& [id, count] : ids)
      EXPECT_EQ(count, 1) << id << " filed twice after a kill at " << stopAt;
  }
  ImportFaxes(false, nullptr, DateTime{});
  auto in = FaxIds(Items(mail::olFolderInbox));
  auto out = FaxIds(Items(mail::olFolderSentMail));
  EXPECT_EQ(in.size() + out.size(), static_cast<std::size_t>(n));
  for (const auto& [id, count] : in) EXPECT_EQ(count, 1) << id;
  for (const auto& [id, count] : out) EXPECT_EQ(count, 1) << id;
  EXPECT_EQ(TestWorld::ReadFile(inbox.Path() + "/cur/1.own.host:2,S"), "Subject: mine\r\n\r\nkeep me\r\n");
}

// Below 20 faxes every one is imported at once; from 20 on the last day is
// imported, every fax is walked, and progress comes as one line per 5% of
// them (or per second of a slow walk), the last one always, on stderr only.
TEST_F(Import, ImportCommandTellsWhenThereAreNoneAndProgressInFewLinesBeforeItsMessage) {
  // Every ending is the end of a run: a pending cover page request is reset
  // and the spool folder emptied.
  auto endOfRun = [&](const char* why) {
    EXPECT_EQ(test::RegString(test::HKCU, kPelorinKey, "SetCoverPage"), "0") << why;
    EXPECT_FALSE(std::filesystem::exists(world.SpoolDir() + "00000001.emf")) << why;
    test::SetRegString(test::HKCU, kPelorinKey, "SetCoverPage", "1");
    TestWorld::WriteFile(world.SpoolDir() + "00000001.emf", "page");
  };
  test::SetRegString(test::HKCU, kPelorinKey, "SetCoverPage", "1");
  TestWorld::WriteFile(world.SpoolDir() + "00000001.emf", "page");
  auto r = world.RunTool("brevant", "import");
  EXPECT_NE(r.err.find("You do not have faxes to import."), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Importing faxes"), std::string::npos) << r.err;
  endOfRun("no faxes");
  const std::string done = "Import from Fax Console has been successful.";
  for (int i = 0; i < 3; ++i) AddFax(Store(), "cmd" + std::to_string(i) + ".tif", "me", "x", 24 * 30);
  r = world.RunTool("brevant", "import");
  EXPECT_EQ(FaxIds(Items(mail::olFolderInbox)).size(), 3u);
  EXPECT_EQ(ProgressLines(r.err),
            (std::vector<std::string>{"Importing faxes: 1 of 3", "Importing faxes: 2 of 3",
                                      "Importing faxes: 3 of 3"}));
  EXPECT_LT(r.err.find("Importing faxes: 3 of 3"), r.err.find(done)) << r.err;
  EXPECT_NE(r.err.find(done), std::string::npos) << r.err;
  endOfRun("fewer than 20");

  for (int i = 3; i < 60; ++i)
    AddFax(i % 2 ? Store() : Archive(), "p" + std::to_string(i) + ".tif", "me", "x", i < 9 ? 1 : 24 * 9);
  auto start = std::chrono::steady_clock::now();
  r = world.RunTool("brevant", "import");
  auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_NE(r.err.find(done), std::string::npos) << r.err;
  endOfRun("the dialog's choice");
  EXPECT_EQ(r.out.find("Importing faxes"), std::string::npos) << "progress never goes to stdout";
  EXPECT_EQ(FaxIds(Items(mail::olFolderInbox)).size() + FaxIds(Items(mail::olFolderSentMail)).size(), 9u);
  auto lines = ProgressLines(r.err);
  ASSERT_FALSE(lines.empty()) << r.err;
  EXPECT_EQ(lines.back(), "Importing faxes: 60 of 60");
  EXPECT_GE(lines.size(), 20u);
  EXPECT_LE(lines.size(), 20u + std::size_t(seconds)) << r.err;
  long before = 0;
  for (const auto& l : lines) {
    long n = std::atol(l.c_str() + std::string("Importing faxes: ").size());
    EXPECT_GT(n, before) << l;
    before = n;
  }
}

}  // namespace
