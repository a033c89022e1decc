// GoogleTest's main for every test program, with one rule: a skip whose
// message does not begin with a reason tests/skip-allowed.txt lists fails
// its test, so a broken set-up never passes for a missing one.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

class SkipGuard : public testing::EmptyTestEventListener {
  // No result may be added while one is reported: a refused skip becomes
  // a failure when its test ends, before the result is printed.
  void OnTestPartResult(const testing::TestPartResult& r) override {
    if (!r.skipped()) return;
    for (const auto& reason : allowed_)
      if (std::string(r.message()).rfind(reason, 0) == 0) return;
    refused_.push_back(r);
  }
  void OnTestEnd(const testing::TestInfo&) override {
    for (const auto& r : refused_)
      ADD_FAILURE_AT(r.file_name() ? r.file_name() : "?", r.line_number())
          << "skipped for a reason tests/skip-allowed.txt does not allow: " << r.message();
    refused_.clear();
  }
  std::vector<std::string> allowed_ = [] {
    std::vector<std::string> lines;
    std::ifstream in(BREVANT_SOURCE_DIR "/tests/skip-allowed.txt");
    for (std::string line; std::getline(in, line);)
      if (!line.empty() && line[0] != '#') lines.push_back(line);
    return lines;
  }();
  std::vector<testing::TestPartResult> refused_;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new SkipGuard);
  return RUN_ALL_TESTS();
}
