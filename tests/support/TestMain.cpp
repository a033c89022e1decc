// The main of every test program: GoogleTest's, with one rule added. A
// test may skip only for a reason tests/skip-allowed.txt lists (one a
// machine may legitimately lack); any other skip would hide a broken
// set-up (a service that did not start, a package CI installs gone
// missing), so it fails the test with its message.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

// The reasons allowed: each line that is not empty and not a comment
// ("#") begins a skip message that may stand.
std::vector<std::string> AllowedSkips() {
  std::vector<std::string> reasons;
  std::ifstream in(BREVANT_SOURCE_DIR "/tests/skip-allowed.txt");
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') reasons.push_back(line);
  return reasons;
}

class SkipGuard : public testing::EmptyTestEventListener {
 public:
  // A result cannot be added while one is being reported: the skip is
  // kept and turned into a failure when its test ends, before the result
  // is printed.
  void OnTestPartResult(const testing::TestPartResult& result) override {
    if (!result.skipped()) return;
    for (const auto& reason : allowed_)
      if (std::string(result.message()).rfind(reason, 0) == 0) return;
    refused_.push_back(result);
  }
  void OnTestEnd(const testing::TestInfo&) override {
    for (const auto& r : refused_)
      ADD_FAILURE_AT(r.file_name() ? r.file_name() : "?", r.line_number())
          << "skipped for a reason tests/skip-allowed.txt does not allow: " << r.message();
    refused_.clear();
  }

 private:
  const std::vector<std::string> allowed_ = AllowedSkips();
  std::vector<testing::TestPartResult> refused_;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new SkipGuard);
  return RUN_ALL_TESTS();
}
