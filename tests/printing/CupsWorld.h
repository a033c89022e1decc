#pragma once
// A private printing world on the real CUPS scheduler: a private HOME (the
// user's default printer), the build's backend under a scheme of its own,
// queues with unique names, all removed afterwards.
#include <string>
#include <vector>

#include "tests/support/TestWorld.h"

// Ends a test whose world cannot print, with the reason.
#define REQUIRE_CUPS(cw) \
  if (!(cw).Problem().empty()) GTEST_FAIL() << (cw).Problem()

namespace brevant::test {

class CupsWorld {
 public:
  CupsWorld();
  ~CupsWorld();
  CupsWorld(const CupsWorld&) = delete;
  CupsWorld& operator=(const CupsWorld&) = delete;

  // Empty when the world is usable; else why not (no root, no scheduler).
  const std::string& Problem() const { return problem_; }
  TestWorld& World() { return world_; }

  // A fax printer queue rendering into spool; ppd "" = vestrel.ppd; query
  // goes after "?" in the device URI.
  std::string AddQueue(const std::string& spool, bool createSpool = true, const std::string& ppd = "",
                       const std::string& query = "");

  // Submits a file as `user` ("" = root), who must read it; the job id or 0.
  int Print(const std::string& queue, const std::string& file, const std::string& title,
            const std::string& user = "", int copies = 1);
  // The job's final IPP state (7 canceled, 8 aborted, 9 completed), 0 on time-out.
  int WaitJobDone(int jobId, int timeoutMs = 60000);
  // "completed", "aborted: " + the job's message, "canceled", "not accepted" or "timed out".
  std::string PrintDone(const std::string& queue, const std::string& file, const std::string& title,
                        const std::string& user = "", int copies = 1);
  int JobState(int jobId);
  std::string JobMessage(int jobId);

  static int Sh(const std::string& command);
  // Page files ("NNNNNNNN.emf") in a folder, sorted; `all` lists every file.
  static std::vector<std::string> Pages(const std::string& folder, bool all = false);
  // A PDF of `pages` A4 pages, page n marked with n squares (Marks.h).
  std::string MakePdf(int pages, const std::string& name = "doc.pdf");

  std::string Scheme() const { return scheme_; }

 private:
  TestWorld world_;
  std::string problem_;
  std::string scheme_;
  std::string backendCopy_;
  std::vector<std::string> queues_;
};

}  // namespace brevant::test
