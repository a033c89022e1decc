// Fax items in the mail store from real fax TIFFs: what the mail program
// shows, the "FaxID" rule, the page picture, and failures.
#include <filesystem>

#include "common/ClientConfig.h"
#include "common/FaxJob.h"
#include "delivery/CFax.h"
#include "delivery/OutlookFax.h"
#include "tests/mail/FaxWorld.h"
#include "tests/mail/MailTestSupport.h"

namespace fs = std::filesystem;
using namespace brevant;
using brevant::test::FaxWorld;
using brevant::test::TestWorld;

namespace {

const mail::Attachment* Find(const mail::MailItem& item, const std::string& display) {
  for (const auto& a : item.Attachments)
    if (a.displayName == display) return &a;
  return nullptr;
}

using FaxItems = FaxWorld;

TEST_F(FaxItems, ReceivedFaxIsFiledOnceWithPictureTiffAndFaxAddresses) {
  std::string a = AddFax(Store(), "rcv0001.tif", "+49 30 111", "Ökobau +49 89 7");
  std::string b = AddFax(Store(), "rcv0002.tif", "+49 30 111", "+1 555 0100");
  Config().InboxPath = world.Root() + "/copies";
  ASSERT_TRUE(GenerateOutlookInboxFax(a));
  ASSERT_TRUE(GenerateOutlookInboxFax(b));
  ASSERT_TRUE(GenerateOutlookInboxFax(a)) << "a fax already filed is skipped without complaint";

  auto items = Items(mail::olFolderInbox);
  ASSERT_EQ(items.size(), 2u);
  const mail::MailItem* first = &items[items[0].FindUserProperty("FaxID")->value == "rcv0001.tif" ? 0 : 1];
  ASSERT_EQ(first->FindUserProperty("FaxID")->value, "rcv0001.tif");
  EXPECT_EQ(first->Subject + "|" + first->To, "Fax|Fiona Fax");
  EXPECT_TRUE(first->UnRead);
  // What the mail program shows: who sent it, by fax, to whom, and the icon.
  std::string props;
  for (auto tag : {mail::tag::SenderName, mail::tag::SenderEmail, mail::tag::SenderAddrType,
                   mail::tag::ReceivedByEmail, mail::tag::ReceivedRepresentingName, mail::tag::IconIndex})
    props += first->GetProp(tag) + "|";
  EXPECT_EQ(props, "Ökobau +49 89 7|Ökobau +49 89 7|Fax|+49 30 999|Fiona Fax|1545|");
  EXPECT_FALSE(first->GetProp(mail::tag::MessageDeliveryTime).empty());
  const mail::Attachment* tiff = Find(*first, "FaxImage");
  ASSERT_NE(tiff, nullptr);
  EXPECT_EQ(tiff->data, TestWorld::ReadFile(a));
  EXPECT_EQ(tiff->fileName, "+49 30 111.tiff") << "the temporary copy is named after the CSID";
  const mail::Attachment* page = Find(*first, "Page");
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->contentId + page->data.substr(0, 2), "Page\xFF\xD8") << "a JPEG picture shown inline";
  EXPECT_EQ(first->HTMLBody, kPageHtml);
  // The user's own copies, once per fax, and no temporary copy left behind.
  EXPECT_EQ(TestWorld::ReadFile(world.Root() + "/copies/rcv0001.tif.tiff"), TestWorld::ReadFile(a));
  EXPECT_FALSE(fs::exists(world.PrivateTempDir() + "/+49 30 111.tiff"));
  EXPECT_FALSE(fs::exists(world.PrivateTempDir() + "/Quortmp"));
}

TEST_F(FaxItems, SentFaxGoesToSentItemsAsReadWithItsRecipientLine) {
  std::string s = AddFax(Archive(), "snt0001.tif", "+44 20 7946", "Fiona");
  Config().SentPath = Archive() + "/";  // the service's own folder, named differently
  Config().MSSentPath = Archive() + "/";
  ASSERT_TRUE(GenerateOutlookSentFax(s));
  ASSERT_TRUE(GenerateOutlookSentFax(s));
  auto sent = Items(mail::olFolderSentMail);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(Items(mail::olFolderInbox).empty());
  EXPECT_EQ(sent[0].Subject + "|" + sent[0].To, "snt0001.tif|+44 20 7946[Fax:+44 20 7946]");
  EXPECT_FALSE(sent[0].UnRead);
  EXPECT_EQ(sent[0].Importance, 1);
  // Sent by the user; no received-by on a sent fax.
  EXPECT_EQ(sent[0].GetProp(mail::tag::SenderName) + "|" + sent[0].GetProp(mail::tag::SentRepresentingEmail) +
                "|" + sent[0].GetProp(mail::tag::ReceivedByName),
            "Fiona Fax|+49 30 999|");
  ASSERT_NE(Find(sent[0], "FaxImage"), nullptr);
  EXPECT_EQ(fs::directory_iterator(Archive())->path().filename(), "snt0001.tif")
      << "no copy into the service's own folder";
}

TEST_F(FaxItems, TiffThatCannotBeConvertedIsStillFiledWithoutPicture) {
  std::string bad = Store() + "/broken.tif";
  TestWorld::WriteFile(bad, "II*\0this is not a fax image");
  ASSERT_TRUE(GenerateOutlookInboxFax(bad));
  auto items = Items(mail::olFolderInbox);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].FindUserProperty("FaxID")->value, "broken.tif");
  ASSERT_NE(Find(items[0], "FaxImage"), nullptr);
  EXPECT_EQ(Find(items[0], "Page"), nullptr);
  EXPECT_TRUE(items[0].HTMLBody.empty());

  mail::MailItem item;
  EXPECT_FALSE(GenerateFaxMessage(world.Root() + "/missing.tif", item));
  EXPECT_NE(world.Errors().find("File not found:" + world.Root() + "/missing.tif"), std::string::npos);
  EXPECT_NE(world.Errors().find("mMailFuncs.generateFaxMessage"), std::string::npos);

  // A console tool that is not there: no picture, one record, no hang.
  ::setenv("BREVANT_QUORRENDER", (world.Root() + "/no-such-tool").c_str(), 1);
  std::string good = AddFax(Store(), "good.tif", "1", "2");
  mail::MailItem plain;
  EXPECT_TRUE(GenerateFaxMessage(good, plain));
  EXPECT_TRUE(plain.Attachments.empty());
  EXPECT_NE(world.Errors().find("mMailFuncs.SuperShell"), std::string::npos);
}

TEST_F(FaxItems, StoreThatCannotBeOpenedLogsAndFilesNothing) {
  std::string notADir = world.Root() + "/plainfile";
  TestWorld::WriteFile(notADir, "x");
  ::setenv("BREVANT_MAILDIR", notADir.c_str(), 1);
  EXPECT_FALSE(GenerateOutlookInboxFax(AddFax(Store(), "f.tif", "1", "2")));
  EXPECT_NE(world.Errors().find("Cannot Init Outlook:"), std::string::npos);
  EXPECT_NE(world.Errors().find("mSend.GenerateOutlookInboxFax"), std::string::npos);
  EXPECT_EQ(TestWorld::ReadFile(notADir), "x");
}

TEST_F(FaxItems, ForwardIsTheItemItselfFiledInSentItemsAndTheIconComesLast) {
  test::SmtpServer smtp(world.Root() + "/smtp");
  ASSERT_TRUE(smtp.Use()) << smtp.Why();
  std::string marker = "fwd" + std::to_string(::getpid());
  Config().ForwardEmail = marker + "@example.org";
  ASSERT_TRUE(GenerateOutlookInboxFax(AddFax(Store(), "fwd.tif", "+1 2", "+3 4")));
  auto got = smtp.ReceivedWith(marker);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].rcptTo + got[0].item.Subject, "<" + marker + "@example.org>FW: Fax");
  EXPECT_TRUE(Find(got[0].item, "FaxImage") && Find(got[0].item, "Page"));
  EXPECT_EQ(got[0].raw.find("X-Brevant-"), std::string::npos) << "the store's headers stay home";

  auto inbox = Items(mail::olFolderInbox);
  auto sent = Items(mail::olFolderSentMail);
  ASSERT_EQ(inbox.size(), 1u);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(inbox[0].GetProp(mail::tag::IconIndex), "1545");
  EXPECT_EQ(sent[0].Subject + "|" + sent[0].To, "FW: Fax|" + marker + "@example.org");
  ASSERT_NE(sent[0].FindUserProperty("FaxID"), nullptr);
  EXPECT_EQ(sent[0].FindUserProperty("FaxID")->value + "|" + sent[0].GetProp(mail::tag::SenderName),
            "fwd.tif|+3 4");
  EXPECT_EQ(sent[0].GetProp(mail::tag::IconIndex), "") << "forwarded before the icon is written";

  // A forward the server refuses: the fax is filed, but stops before its icon.
  Config().ForwardEmail = "refuse-" + marker + "@example.org";
  ASSERT_FALSE(GenerateOutlookInboxFax(AddFax(Store(), "fwd2.tif", "+1 2", "+3 4")));
  EXPECT_NE(world.Errors().find("mSend.GenerateOutlookInboxFax"), std::string::npos);
  EXPECT_EQ(Items(mail::olFolderSentMail).size(), 1u);
  for (const auto& item : Items(mail::olFolderInbox))
    if (item.FindUserProperty("FaxID")->value == "fwd2.tif") {
      EXPECT_EQ(item.GetProp(mail::tag::IconIndex), "");
    }
}

TEST_F(FaxItems, MapiTimesAddTheTimeZoneBiasAndAStoredSentFaxHasTheZeroDate) {
  ::setenv("TZ", "BRV-3", 1);  // three hours east of UTC: a bias of -180 minutes (the world undoes it)
  ::tzset();
  ASSERT_EQ(TimeZoneBias(), -180);
  ASSERT_TRUE(GenerateOutlookInboxFax(AddFax(Store(), "tz.tif", "1", "2", 5)));
  ASSERT_TRUE(GenerateOutlookSentFax(AddFax(Archive(), "tzsent.tif", "1", "2", 5)));

  auto inbox = Items(mail::olFolderInbox);
  ASSERT_EQ(inbox.size(), 1u);
  mail::MailItem probe;  // the time as the store writes MAPI times
  probe.SetProp(mail::tag::ClientSubmitTime, inbox[0].CreationTime - std::chrono::minutes(180));
  const std::string expected = probe.GetProp(mail::tag::ClientSubmitTime);
  EXPECT_EQ(inbox[0].GetProp(mail::tag::ClientSubmitTime), expected);
  EXPECT_EQ(inbox[0].GetProp(mail::tag::MessageDeliveryTime), expected);
  auto sent = Items(mail::olFolderSentMail);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].GetProp(mail::tag::ClientSubmitTime), "1969-12-31 21:00:00")
      << "a stored file knows no sending time";
  EXPECT_NE(world.Errors().find("CFax.TimeSent"), std::string::npos);
}

}  // namespace
