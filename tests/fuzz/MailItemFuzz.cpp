// Fuzzes the reading of stored mail items (MIME as the mail store keeps
// them, from Brevant or any other mail program): any text either is refused
// with a MailError or gives an item that is written and read back with the
// same subject, user properties and attachments.

#include "platform/mail/MailError.h"
#include "platform/mail/MailStore.h"
#include "tests/fuzz/FuzzWorld.h"

using namespace brevant;

FUZZ_WORLD_SETUP

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = fuzz::Text(data, size);
  mail::MailItem item;
  try {
    item = mail::FromMime(text);
  } catch (const mail::MailError&) {
    return 0;
  }
  // Written by Brevant, read again: what it wrote reads back (from the
  // second pass on, once what MIME cannot carry is gone).
  mail::MailItem once = mail::FromMime(mail::ToMime(item));
  mail::MailItem twice = mail::FromMime(mail::ToMime(once));
  FUZZ_CHECK(twice.Subject == once.Subject);
  FUZZ_CHECK(twice.UserProperties.size() == once.UserProperties.size());
  FUZZ_CHECK(twice.Attachments.size() == once.Attachments.size());
  for (std::size_t i = 0; i < once.Attachments.size(); ++i)
    FUZZ_CHECK(twice.Attachments[i].data == once.Attachments[i].data);
  return 0;
}
