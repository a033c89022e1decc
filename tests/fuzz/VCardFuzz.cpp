// Fuzzes the vCard reader: any text gives cards (possibly none) and
// problems, never a crash; there are never more cards than BEGIN lines, and
// no card holds more text than the file.
#include <strings.h>

#include <vector>

#include "platform/mail/VCard.h"
#include "tests/fuzz/FuzzWorld.h"

using namespace brevant;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = fuzz::Text(data, size);
  std::vector<std::string> problems;
  std::vector<mail::Contact> cards = mail::ParseVCards(text, &problems);
  std::size_t begins = 0;
  for (std::size_t p = 0; p + 5 <= text.size(); ++p)
    if (strncasecmp(text.c_str() + p, "BEGIN", 5) == 0) ++begins;
  FUZZ_CHECK(cards.size() <= begins);
  for (const auto& c : cards) {
    // "N" parts are joined with blanks: at most one more byte per part.
    FUZZ_CHECK(c.name.size() <= 2 * text.size());
    FUZZ_CHECK(c.email.size() <= text.size() && c.businessFax.size() <= text.size());
  }
  return 0;
}
