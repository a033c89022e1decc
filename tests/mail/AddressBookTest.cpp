// The address book over vCard files, and the mail sessions.
#include <gtest/gtest.h>

#include <chrono>

#include "common/MailAccount.h"
#include "common/MailSessions.h"
#include "delivery/AddressBook.h"
#include "platform/mail/MailStore.h"
#include "platform/mail/VCard.h"
#include "tests/mail/MailTestSupport.h"
#include "tests/support/RegValues.h"
#include "tests/support/TestWorld.h"

using namespace brevant;
using brevant::test::TestWorld;

namespace {

class AddressBook : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = world.Root() + "/contacts";
    ::setenv("BREVANT_CONTACTS_DIR", dir.c_str(), 1);
    TestWorld::WriteFile(dir + "/ann.vcf",
                         "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:ann-1\r\nFN:Ann Ærø\r\n"
                         "TEL;TYPE=VOICE,WORK:+49 30 1\r\nTEL;TYPE=HOME,FAX:+49 30 2\r\n"
                         "TEL;TYPE=FAX,WORK:+49 30 3\r\nEMAIL:ann@example.org\r\nEND:VCARD\r\n");
    // 2.1 with a quoted-printable name over a soft line break, a fax of no kind.
    TestWorld::WriteFile(
        dir + "/bob.vcf",
        "BEGIN:VCARD\nVERSION:2.1\nUID:bob-2\nN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:M=C3=BC=\nller;Bob\n"
        "TEL;FAX:0711 555\nEND:VCARD\n");
    // 4.0 with a folded line, a value-type uri, and a card without a fax number.
    TestWorld::WriteFile(
        dir + "/more.vcf",
        "BEGIN:VCARD\r\nVERSION:4.0\r\nUID:urn:uuid:cara-3\r\nFN:Cara\r\n  Long\r\n"
        "TEL;VALUE=uri;TYPE=\"fax,home\":tel:+1-555-0100\r\nEND:VCARD\r\n"
        "BEGIN:VCARD\r\nVERSION:4.0\r\nUID:dan-4\r\nFN:Dan Smith\r\nEMAIL:dan@example.org\r\nEND:VCARD\r\n"
        "BEGIN:VCARD\r\nVERSION:4.0\r\nUID:office-5\r\nFN:Office Fax\r\nEMAIL:fax@+49 89 "
        "4711\r\nEND:VCARD\r\n");
    TestWorld::WriteFile(
        dir + "/team.vcf",
        "BEGIN:VCARD\r\nVERSION:4.0\r\nKIND:group\r\nUID:team-9\r\nFN:Team\r\n"
        "MEMBER:urn:uuid:ann-1\r\nMEMBER:urn:uuid:dan-4\r\nMEMBER:urn:uuid:cara-3\r\n"
        "MEMBER:urn:uuid:team-9\r\nMEMBER:urn:uuid:nobody\r\nMEMBER:mailto:ann@example.org\r\n"
        "MEMBER:urn:uuid:office-5\r\nEND:VCARD\r\n");
    TestWorld::WriteFile(dir + "/broken.vcf",
                         "BEGIN:VCARD\r\nthis line is broken\r\nFN:Eve\r\nTEL;TYPE=fax:+33 1 2\r\n");
    TestWorld::WriteFile(dir + "/notes.txt", "BEGIN:VCARD\r\nFN:Ignored\r\nTEL;TYPE=FAX:1\r\nEND:VCARD\r\n");
  }
  TestWorld world;
  std::string dir;
};

TEST_F(AddressBook, ReadsEveryVersionAndReportsBrokenLines) {
  std::vector<mail::Contact> book = ReadAddressBook();
  ASSERT_EQ(book.size(), 7u);
  // Name and business, home and other fax; a card without END still counts.
  std::vector<std::string> read;
  for (const auto& c : book)
    read.push_back(c.name + "|" + c.businessFax + "|" + c.homeFax + "|" + c.otherFax);
  EXPECT_EQ(std::vector<std::string>(read.begin(), read.begin() + 4),
            (std::vector<std::string>{"Ann Ærø|+49 30 3|+49 30 2|", "Bob Müller|||0711 555", "Eve|||+33 1 2",
                                      "Cara Long||+1-555-0100|"}));
  EXPECT_TRUE(book[6].isGroup);
  std::string errors = world.Errors();
  EXPECT_NE(errors.find("broken.vcf: line 2 has no value"), std::string::npos) << errors;
  EXPECT_NE(errors.find("frmNew.cmdAddress"), std::string::npos);
  // No folder at all: an empty book and a record.
  ::setenv("BREVANT_CONTACTS_DIR", (world.Root() + "/none").c_str(), 1);
  EXPECT_TRUE(ReadAddressBook().empty());
  EXPECT_NE(world.Errors().find("cannot open the contacts folder"), std::string::npos);
}

TEST_F(AddressBook, ListsResolveTheirMembersAllTheWayDown) {
  // A list of lists: "All" holds the team (which holds itself) and Bob.
  TestWorld::WriteFile(
      dir + "/all.vcf",
      "BEGIN:VCARD\r\nVERSION:4.0\r\nKIND:group\r\nUID:all-10\r\nFN:All\r\n"
      "MEMBER:urn:uuid:team-9\r\nMEMBER:bob-2\r\nMEMBER:mailto:zoe@example.org\r\nEND:VCARD\r\n");
  std::vector<mail::Contact> book = ReadAddressBook();
  const mail::Contact* all = nullptr;
  for (const auto& c : book)
    if (c.name == "All") all = &c;
  ASSERT_NE(all, nullptr);
  AddressEntry e = EntryOf(*all, book);
  ASSERT_EQ(e.members.size(), 3u);
  const AddressEntry& team = e.members[0];
  EXPECT_EQ(team.name, "Team");
  // Members by UID (with and without "urn:uuid:") and by "mailto:"; the
  // team inside itself and an unknown UID are left out.
  std::vector<std::string> names;
  for (const auto& m : team.members) names.push_back(m.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Ann Ærø", "Dan Smith", "Cara Long", "Ann Ærø", "Office Fax"}));
  EXPECT_EQ(team.members[0].faxNumbers, (std::vector<std::string>{"+49 30 3", "+49 30 2"}))
      << "business first";
  EXPECT_EQ(team.members[4].address, "fax@+49 89 4711");
  EXPECT_TRUE(team.members[1].faxNumbers.empty());
  EXPECT_EQ(e.members[1].faxNumbers, std::vector<std::string>{"0711 555"});
  // An address without a card is an entry of its own.
  EXPECT_EQ(e.members[2].name + "|" + e.members[2].address, "zoe@example.org|zoe@example.org");
}

std::string DefaultMail() {
  return test::RegString(test::HKLM, mCommon::kMailClientsKey, "");
}

TEST(MailSessions, SendingSessionMakesThisTheDefaultMailClientUntilDispose) {
  TestWorld world;
  ::setenv("BREVANT_MAILDIR", (world.Root() + "/Maildir").c_str(), 1);
  test::SetRegString(test::HKLM, mCommon::kMailClientsKey, "", "Thunderbird");
  mCommon::SetCDOSession();  // not registered: nothing switches
  EXPECT_EQ(DefaultMail(), "Thunderbird");
  mCommon::Dispose();
  EXPECT_EQ(DefaultMail(), "Thunderbird");
  test::SetRegString(test::HKLM, std::string(mCommon::kMailClientsKey) + "\\" + mCommon::kMailClientName, "",
                     "Brevant");
  ASSERT_NE(mCommon::SetCDOSession(), nullptr);
  EXPECT_EQ(DefaultMail(), mCommon::kMailClientName);
  mCommon::SetCDOSession();  // once per process: the first previous default is kept
  mCommon::Dispose();
  EXPECT_EQ(DefaultMail(), "Thunderbird");
  mCommon::Dispose();
  EXPECT_EQ(DefaultMail(), "Thunderbird");
}

TEST(MailSessions, TheSendingSessionLogsOnAndAFailedLogonIsRecordedOnce) {
  TestWorld world;
  test::SmtpServer smtp(world.Root() + "/smtp");
  auto log = [&] { return world.Errors(); };
  auto logonErrors = [&] {
    std::string text = log();
    std::size_t n = 0;
    for (auto at = text.find("Logon CDO error:"); at != std::string::npos;
         at = text.find("Logon CDO error:", at + 1))
      ++n;
    return n;
  };
  ASSERT_TRUE(smtp.Use("brevant", "secret")) << smtp.Why();
  ASSERT_NE(mCommon::SetCDOSession(), nullptr);
  EXPECT_EQ(logonErrors(), 0u);
  mCommon::Dispose();
  // A wrong password: recorded once, and the session kept for the run.
  smtp.Use("brevant", "wrong");
  const mail::Account* session = mCommon::SetCDOSession();
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(mCommon::SetCDOSession(), session);
  EXPECT_EQ(logonErrors(), 1u);
  EXPECT_NE(log().find("rejected the login"), std::string::npos) << log();
  mCommon::Dispose();
  // Nobody listens: told within the short logon time, not the account's.
  mail::Account gone;
  gone.server = "127.0.0.1";
  gone.port = 9;
  gone.timeoutSeconds = 60;
  mail::SaveAccount(gone);
  auto started = std::chrono::steady_clock::now();
  mCommon::SetCDOSession();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(logonErrors(), 2u);
  mCommon::Dispose();
}

}  // namespace
