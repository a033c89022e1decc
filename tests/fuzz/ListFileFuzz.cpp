// Fuzzes "@" list files of the command line: any content gives one entry
// per line (LF, CR LF or a lone CR), trimmed of blanks, and the list file
// stays unless named with "@@".
#include <unistd.h>

#include "app/mMisc.h"
#include "common/Errors.h"
#include "tests/fuzz/FuzzWorld.h"

using namespace brevant;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = fuzz::Text(data, size), file = fuzz::Dir() + "/list.txt";
  fuzz::Put(file, text);
  std::size_t lines = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    if (text[i] == '\r' || text[i] == '\n' || i + 1 == text.size()) ++lines;
  }
  StringList got = ParseFilesArg(" first.pdf #@" + file);
  FUZZ_CHECK(got.size() == lines + 1);
  FUZZ_CHECK(got.front() == "first.pdf");
  for (const auto& entry : got) {
    FUZZ_CHECK(entry.find_first_of("\r\n") == std::string::npos);
    FUZZ_CHECK(entry.empty() || (entry.front() != ' ' && entry.back() != ' '));
  }
  FUZZ_CHECK(::access(file.c_str(), F_OK) == 0);
  return 0;
}
