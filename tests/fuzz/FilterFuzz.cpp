// Fuzzes the mail store's filter expressions: any text either is refused
// with a parse error (MailError 13) or gives a filter that evaluates on an
// item without trouble, however long or deeply nested the text.
#include <optional>

#include "platform/mail/Filter.h"
#include "platform/mail/MailError.h"
#include "tests/fuzz/FuzzWorld.h"

using namespace brevant;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = fuzz::Text(data, size);
  try {
    mail::Filter f = mail::Filter::Parse(text);
    auto item = [](const std::string& field) -> std::optional<std::string> {
      if (field == "MessageClass") return "IPM.Note";
      if (field == "FaxID") return "20240101-7";
      if (field.size() % 3 == 0) return std::nullopt;
      return field;
    };
    bool once = f.Matches(item);
    FUZZ_CHECK(f.Matches(item) == once);
    for (const auto& field : f.Fields()) FUZZ_CHECK(text.find(field) != std::string::npos);
  } catch (const mail::MailError& e) {
    FUZZ_CHECK(e.Code() == 13);
  }
  return 0;
}
