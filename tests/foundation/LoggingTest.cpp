// The three logs: record formats, concurrent appends, unwritable files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <sstream>

#include "Version.h"
#include "common/Errors.h"
#include "common/Logging.h"
#include "tests/support/LockHolder.h"
#include "tests/support/TestWorld.h"

using namespace brevant;

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t cut; (cut = text.find("\r\n", start)) != std::string::npos; start = cut + 2)
    out.push_back(text.substr(start, cut - start));
  EXPECT_EQ(start, text.size()) << "every record ends with CR LF";
  return out;
}

const std::string kDate = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})";
// The version the build gives the program, as a pattern ("1\.0\.0").
const std::string kVersion = std::regex_replace(BREVANT_VERSION_TEXT, std::regex("\\."), "\\.");

}  // namespace

TEST(Logging, RecordFormats) {
  test::TestWorld w;
  WriteTraceLog("frmSend->btnNext_Click", "");
  WriteTraceLog("Main", "CommandLine = new;0;");
  WriteErrorLog(5, "x", "m.p");
  WriteDebugLog("PrintPDF", "Acrobat \"window\" found");

  // The test executable is not "brevant": errors go to Errors.log only.
  const std::pair<const char*, std::vector<std::string>> logs[] = {
      {"/foundation_tests.log",
       {"\"" + kDate + ", frmSend->btnNext_Click\"", "\"" + kDate + ", Main - CommandLine = new;0;\""}},
      {"/Errors.log",
       {"5,\"x\",\"foundation_tests:m.p\",\"ver\",\"" + kVersion + "\",\"str:\",0,#" + kDate + "#"}},
      {"/Debug.log",
       {"#" + kDate + "#,\"ver\",\"" + kVersion + "\",\"PrintPDF\",\"Acrobat \"window\" found\""}}};
  for (const auto& [file, patterns] : logs) {
    auto lines = Lines(test::TestWorld::ReadFile(w.ProgramDir() + file));
    ASSERT_EQ(lines.size(), patterns.size()) << file;
    for (std::size_t i = 0; i < lines.size(); ++i)
      EXPECT_TRUE(std::regex_match(lines[i], std::regex(patterns[i]))) << lines[i];
  }
}

TEST(Logging, ConcurrentWritersNeverInterleaveOrLoseARecord) {
  test::TestWorld w;
  const int kProcs = 4, kEach = 400;
  std::string payload(300, 'p');  // long records make torn writes likely if they could happen
  for (int p = 0; p < kProcs; ++p) {
    if (fork() == 0) {
      for (int i = 0; i < kEach; ++i) {
        WriteTraceLog("proc" + std::to_string(p), std::to_string(i) + payload);
        WriteErrorLog(i, payload, "proc" + std::to_string(p));
      }
      _exit(0);
    }
  }
  for (int p = 0; p < kProcs; ++p) wait(nullptr);
  auto trace = Lines(test::TestWorld::ReadFile(w.ProgramDir() + "/foundation_tests.log"));
  auto errors = Lines(w.Errors());
  ASSERT_EQ(trace.size(), std::size_t(kProcs * kEach));
  ASSERT_EQ(errors.size(), std::size_t(kProcs * kEach));
  std::regex traceRe("\"" + kDate + ", proc\\d - \\d+" + payload + "\"");
  for (const auto& l : trace) ASSERT_TRUE(std::regex_match(l, traceRe)) << l.substr(0, 80);
}

// A log another process keeps locked (or one planted as a symlink) cannot
// stop a run: the record is written after two seconds without the lock, and
// a symlink is not written through.
TEST(Logging, ALockedOrPlantedLogNeverHangsOrMisleadsARun) {
  test::TestWorld w;
  const std::string log = w.ProgramDir() + "/Errors.log";
  std::chrono::steady_clock::duration waited;
  {
    test::LockHolder holder(log);
    ASSERT_TRUE(holder.held);
    auto t0 = std::chrono::steady_clock::now();
    WriteErrorLog(7, "written while locked", "m.p");
    waited = std::chrono::steady_clock::now() - t0;
  }
  EXPECT_LT(waited, std::chrono::seconds(4));
  EXPECT_NE(test::TestWorld::ReadFile(log).find("written while locked"), std::string::npos);

  const std::string target = w.Root() + "/target";
  test::TestWorld::WriteFile(target, "untouched");
  ::unlink(log.c_str());
  ASSERT_EQ(::symlink(target.c_str(), log.c_str()), 0);
  testing::internal::CaptureStderr();
  WriteErrorLog(8, "not through a symlink", "m.p");
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(test::TestWorld::ReadFile(target), "untouched");
}

TEST(Logging, UnwritableLogRaisesForTraceButNotForErrors) {
  test::TestWorld w;
  // A program folder under a plain file cannot hold logs, even for root.
  test::TestWorld::WriteFile(w.Root() + "/file", "x");
  setenv("BREVANT_PROGRAM_DIR", (w.Root() + "/file/prog").c_str(), 1);
  try {
    WriteTraceLog("Main", "x");
    FAIL() << "no error raised";
  } catch (const VbError& e) {
    EXPECT_EQ(e.Number(), 75);
    EXPECT_NE(std::string(e.what()).find("foundation_tests.log"), std::string::npos);
  }
  EXPECT_THROW(WriteDebugLog("p", "m"), VbError);
  testing::internal::CaptureStderr();
  WriteErrorLog(1, "still reported", "m.p");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("still reported"), std::string::npos);
}
