// The mail delivery paths against the local SMTP server: what arrives, what
// is filed in Sent Items, and what a failure leaves behind.
#include <unistd.h>

#include <filesystem>

#include "common/ClientConfig.h"
#include "common/FaxJob.h"
#include "common/Folders.h"
#include "common/MailAccount.h"
#include "common/MailSessions.h"
#include "delivery/Delivery.h"
#include "delivery/MailTransport.h"
#include "faxjob/CXmlFax.h"
#include "tests/mail/FaxWorld.h"
#include "tests/mail/MailTestSupport.h"
#include "tests/support/RegValues.h"

namespace fs = std::filesystem;
using namespace brevant;
using brevant::test::FaxWorld;
using brevant::test::TestWorld;

namespace {

// Each attachment as "display name:file name:bytes|", in order.
std::string Attached(const mail::MailItem& item) {
  std::string out;
  for (const auto& a : item.Attachments) out += a.displayName + ":" + a.fileName + ":" + a.data + "|";
  return out;
}

class MailTransport : public FaxWorld {
 protected:
  void SetUp() override {
    FaxWorld::SetUp();
    ASSERT_TRUE(smtp.Use()) << smtp.Why();
    marker = "t" + std::to_string(::getpid());
    spool = GetSpoolFolder();
    fs::create_directories(spool);
    ClearFaxJob();
    FaxJobRecord& j = FaxJob();
    j.FaxSubject = "Quarterly figures";
    j.g_arrFaxName.Append("Ann Ærø");
    j.g_arrFaxNumber.Append("+4 (2) 7");
    j.g_arrFaxName.Append("Bob");
    j.g_arrFaxNumber.Append("5.1");
    image = AddFax(spool, "Fax.tif", "", "");
    j.FaxImageFile = image;
    j.g_arrFiles.Append(image);
    cover = world.Root() + "/covers/standard.cov";
    TestWorld::WriteFile(cover, "cover template bytes");
    j.CoverPages.Append(cover);
    j.CoverIndex = 1;
    j.UseCover = true;
    j.CoverInImage = false;
    AddFax(spool, "FaxPreview.tif", "", "");
  }

  test::SmtpServer smtp{world.Root() + "/smtp"};
  std::string marker, spool, image, cover;
};

TEST_F(MailTransport, MailFaxServiceGetsOneMailWithJobXmlImageAndCoverAndTheFaxIsRecorded) {
  ::setenv("TZ", "BRV-3", 1);  // the mail client's times are UTC minus 180 minutes here
  ::tzset();
  Config().EmailFax = marker + "@talvane.test";
  Config().SentPath = world.Root() + "/my sent faxes";
  Config().MSSentPath = Archive();
  SetModified(spool + "FaxPreview.tif", 5);  // made long before it is recorded
  SendFaxMail();
  auto got = smtp.ReceivedWith(marker);
  ASSERT_EQ(got.size(), 1u) << world.Errors();
  EXPECT_EQ(got[0].raw.find("X-Brevant-"), std::string::npos);
  EXPECT_EQ(got[0].rcptTo, "<" + marker + "@talvane.test>");
  EXPECT_EQ(got[0].item.Subject, "Talvane");
  EXPECT_EQ(got[0].item.HTMLBody, GetFaxJobXml());  // the job as the fax service reads it
  EXPECT_NE(got[0].item.HTMLBody.find("<RecipientName1>Ann Ærø</RecipientName1>"), std::string::npos);
  EXPECT_NE(got[0].item.HTMLBody.find("<RecipientNumber2>5.1</RecipientNumber2>"), std::string::npos);
  // The cover added last, at position 1.
  EXPECT_EQ(Attached(got[0].item),
            "FaxCover:Fax.Cov:cover template bytes|FaxImage:Fax.tif:" + TestWorld::ReadFile(image) + "|");

  // Sent Items: the mail as sent, and the fax record with its pages.
  auto sent = Items(mail::olFolderSentMail);
  ASSERT_EQ(sent.size(), 2u);
  const mail::MailItem* record = sent[0].Subject == "Talvane" ? &sent[1] : &sent[0];
  const mail::MailItem* mailCopy = sent[0].Subject == "Talvane" ? &sent[0] : &sent[1];
  EXPECT_EQ(mailCopy->To, marker + "@talvane.test");
  EXPECT_EQ(record->Subject + "|" + record->To, "Quarterly figures|Ann Ærø[Fax:+4 (2) 7];Bob[Fax:5.1];");
  ASSERT_NE(record->FindUserProperty("FaxID"), nullptr);
  EXPECT_EQ(record->FindUserProperty("FaxID")->value.size(), 19u) << "the preview's time as date text";
  EXPECT_EQ(record->GetProp(mail::tag::DisplayTo) + "|" + record->GetProp(mail::tag::IconIndex),
            "Fiona Fax|1545");
  const std::string attached = Attached(*record);  // the page picture, then the preview as the fax image
  EXPECT_EQ(attached.rfind("Page:", 0), 0u);
  EXPECT_NE(attached.find("|FaxImage:FaxPreview.tif:" + TestWorld::ReadFile(spool + "FaxPreview.tif") + "|"),
            std::string::npos);
  // Its times are the item's own creation, not the preview's, with the
  // zone's bias added.
  auto created = record->CreationTime;
  EXPECT_LT(std::chrono::system_clock::now() - created, std::chrono::minutes(2));
  mail::MailItem expected;
  expected.SetProp(mail::tag::ClientSubmitTime, created - std::chrono::minutes(180));
  EXPECT_EQ(record->GetProp(mail::tag::ClientSubmitTime), expected.GetProp(mail::tag::ClientSubmitTime));
  // The user's copy in SentPath, named after the fax id.
  std::string faxId = record->FindUserProperty("FaxID")->value;
  EXPECT_EQ(TestWorld::ReadFile(Config().SentPath + "/" + faxId + ".tiff"),
            TestWorld::ReadFile(spool + "FaxPreview.tif"));

  // Recording the same fax again replaces its record.
  EXPECT_TRUE(GenerateMailSentFax(spool + "FaxPreview.tif"));
  EXPECT_EQ(Items(mail::olFolderSentMail).size(), 2u);
  EXPECT_TRUE(Items(mail::olFolderInbox).empty());
}

TEST_F(MailTransport, CoverAlreadyInTheImageAndNoDocumentsAttachNothingButTheXmlStillListsRecipients) {
  Config().EmailFax = marker + "@talvane.test";
  FaxJob().CoverInImage = true;
  FaxJob().g_arrFiles.Clear();
  SendFaxMail();
  auto got = smtp.ReceivedWith(marker);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].item.Attachments.empty());
  EXPECT_NE(got[0].item.HTMLBody.find("<RecipientsNumber>2</RecipientsNumber>"), std::string::npos);
}

TEST_F(MailTransport, GatewayGetsOneAddressPerCleanedNumberAndEveryDocument) {
  EXPECT_EQ(CleanFaxNumber("+1 (2) 3-4"), "1234");
  EXPECT_EQ(CleanFaxNumber("9w5p1"), "951");
  EXPECT_EQ(CleanFaxNumber("0049/30.1,2dD P"), "00493012");
  test::SetRegString(test::HKCU, kPelorinKey, "EFaxDomain", marker + ".gateway.test");
  std::string doc2 = world.Root() + "/letter.pdf";
  TestWorld::WriteFile(doc2, "%PDF-1.4 letter");
  FaxJob().g_arrFiles.Append(doc2);
  TestWorld::WriteFile(spool + "FaxCover.Tif", "cover image");
  SendFaxEFax();
  auto got = smtp.ReceivedWith(marker);
  ASSERT_EQ(got.size(), 1u) << world.Errors();
  EXPECT_EQ(got[0].rcptTo, "<427@" + marker + ".gateway.test>, <51@" + marker + ".gateway.test>");
  EXPECT_EQ(got[0].item.Subject + got[0].item.HTMLBody, "");
  EXPECT_EQ(Attached(got[0].item), "FaxImage:letter.pdf:%PDF-1.4 letter|FaxImage:Fax.tif:" +
                                       TestWorld::ReadFile(image) + "|FaxCover:FaxCover.Tif:cover image|");

  auto sent = Items(mail::olFolderSentMail);
  ASSERT_EQ(sent.size(), 2u);
  const mail::MailItem* gatewayMail = sent[0].FindUserProperty("FaxToEFax") ? &sent[0] : &sent[1];
  ASSERT_NE(gatewayMail->FindUserProperty("FaxToEFax"), nullptr);
  EXPECT_EQ(gatewayMail->FindUserProperty("FaxToEFax")->value, "");
  EXPECT_EQ(gatewayMail->To, "427@" + marker + ".gateway.test;51@" + marker + ".gateway.test;");
}

TEST_F(MailTransport, DisconnectMailGoesOutAndIsFiledInSentItems) {
  ASSERT_TRUE(SendDisconnectMail(marker + "@talvane.test"));
  auto got = smtp.ReceivedWith(marker);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(
      got[0].item.Subject + "|" + got[0].item.Body.substr(0, got[0].item.Body.find_last_not_of("\r\n") + 1),
      "Pelorin Disconnect|Disconnect");
  auto sent = Items(mail::olFolderSentMail);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].Subject + "|" + sent[0].To, "Pelorin Disconnect|" + marker + "@talvane.test");

  EXPECT_FALSE(SendDisconnectMail("refuse-" + marker + "@talvane.test"));
  EXPECT_NE(world.Errors().find("frmConfigure.DisconnectFromServer"), std::string::npos);
  EXPECT_EQ(Items(mail::olFolderSentMail).size(), 1u);
}

TEST_F(MailTransport, FailureToHandOverLogsOnceAndRecordsNothing) {
  Config().EmailFax = marker + "@talvane.test";
  mail::Account a = mail::LoadAccount();
  a.port = 1;
  a.timeoutSeconds = 2;
  mail::SaveAccount(a);
  SendFaxMail();
  EXPECT_NE(world.Errors().find("msendFaxMail.SendFaxMail"), std::string::npos);
  EXPECT_NE(world.Errors().find("127.0.0.1:1"), std::string::npos);
  EXPECT_TRUE(Items(mail::olFolderSentMail).empty());

  smtp.Use();
  mCommon::Dispose();                  // the sending session is read once per run
  fs::remove(spool + "FaxCover.Tif");  // the gateway's cover image is missing
  SendFaxEFax();
  EXPECT_NE(world.Errors().find("msendFaxMail.SendFaxEFax"), std::string::npos);
  EXPECT_TRUE(Items(mail::olFolderSentMail).empty());

  // Handed over, but no preview to record: one 567 record.
  FaxJob().UseCover = false;
  fs::remove(spool + "FaxPreview.tif");
  SendFaxEFax();
  EXPECT_NE(world.Errors().find("File not found: " + spool + "FaxPreview.tif"), std::string::npos);
  EXPECT_EQ(Items(mail::olFolderSentMail).size(), 1u) << "only the sent mail";
}

}  // namespace
