// Fuzzes the fax service's wire format: any frame body either is refused or
// decodes into fields that encode back to a body decoding to the same
// fields.

#include "faxservice/protocol/Protocol.h"
#include "tests/fuzz/FuzzWorld.h"

using brevant::faxsvc::Message;
namespace fuzz = brevant::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string body = fuzz::Text(data, size);
  Message m;
  if (!Message::Decode(body, &m)) return 0;
  const std::string again = m.Encode();
  Message back;
  FUZZ_CHECK(Message::Decode(again, &back));
  FUZZ_CHECK(back.Fields() == m.Fields());
  FUZZ_CHECK(back.Encode() == again);
  // Lookups of the first field find its first value.
  if (!m.Fields().empty()) FUZZ_CHECK(m.Has(m.Fields().front().first));
  return 0;
}
