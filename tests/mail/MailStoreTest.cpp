// The Maildir store: an item's file read back by another process, Restrict
// over fax ids as the import uses it, files of other programs, and the SMTP
// account's password.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "common/MailAccount.h"
#include "platform/mail/MailError.h"
#include "platform/mail/MailStore.h"
#include "platform/registry/Registry.h"
#include "tests/mail/MailTestSupport.h"
#include "tests/support/TestWorld.h"

namespace fs = std::filesystem;
using namespace brevant;
using brevant::test::TestWorld;

namespace {

long ErrorNumberOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const mail::MailError& e) {
    return e.Code();
  }
  return 0;
}

class MailStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("BREVANT_MAILDIR", (world.Root() + "/Maildir").c_str(), 1); }
  TestWorld world;
};

// An item as another process reads it back from its file: a binary
// attachment byte for byte, lines ended by LF as Maildir files are on
// Linux, the seen flag, and a second save replacing the file.
TEST_F(MailStoreTest, ItemSurvivesARoundTripThroughItsFile) {
  mail::Store store;
  mail::Folder sent = store.GetDefaultFolder(mail::olFolderSentMail);
  EXPECT_EQ(sent.Path(), world.Root() + "/Maildir/.Sent Items");
  EXPECT_EQ(ErrorNumberOf([&] { store.GetDefaultFolder(99); }), 5);
  std::string binary;
  for (int i = 0; i < 600; ++i) binary += static_cast<char>(i * 7 % 256);
  TestWorld::WriteFile(world.Root() + "/in.tif", binary + std::string("\r\n\n\r\0end", 9));
  mail::MailItem item = mail::Store::CreateItem(mail::olMailItem);
  item.Subject = "Fax für Jürgen Ødegård";
  item.UnRead = false;
  item.AddAttachmentFile(world.Root() + "/in.tif", "FaxImage");
  sent.Save(item);
  EXPECT_NE(item.FilePath().find("/cur/"), std::string::npos);
  EXPECT_NE(item.FilePath().find(":2,S"), std::string::npos) << "a read item carries the seen flag";
  EXPECT_EQ(TestWorld::ReadFile(item.FilePath()).find('\r'), std::string::npos) << "a CR in the Maildir file";
  auto items = test::ItemsOf(mail::Store().GetDefaultFolder(mail::olFolderSentMail));
  ASSERT_EQ(items.size(), 1u);
  ASSERT_EQ(items[0].Attachments.size(), 1u);
  EXPECT_EQ(items[0].Subject, item.Subject);
  EXPECT_EQ(items[0].Attachments[0].data, TestWorld::ReadFile(world.Root() + "/in.tif"));
  items[0].UnRead = true;
  sent.Save(items[0]);
  EXPECT_FALSE(fs::exists(item.FilePath()));
  items = test::ItemsOf(sent);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_TRUE(items[0].UnRead);
}

// The filters the fax writers and the import make: one fax id (any case,
// quotes doubled), or every printable one.
TEST_F(MailStoreTest, RestrictFindsFaxIdsAndSeesOtherProcessesChanges) {
  mail::Store store;
  mail::Folder inbox = store.GetDefaultFolder(mail::olFolderInbox);
  EXPECT_EQ(ErrorNumberOf([&] { inbox.Restrict("[MessageClass] = 'IPM.Note' And [FaxID] = 'a'"); }), 13)
      << "a folder without the field refuses the filter";
  inbox.AddUserField("FaxID", mail::olText);
  auto add = [&](const std::string& id, const std::string& cls, const std::string& subject) {
    mail::MailItem it;
    it.MessageClass = cls;
    it.Subject = subject;
    if (!id.empty()) it.AddUserProperty("FaxID", mail::olText).value = id;
    inbox.Save(it);
  };
  add("fax1.tif", "IPM.Note", "Fax");
  add("FAX2.TIF", "IPM.Note", "Fax");
  add("it's", "IPM.Note", "O'Neil");
  add("fax3.tif", "IPM.Post", "Fax");
  add("", "IPM.Note", "plain mail");
  add("\x7e\x7e", "IPM.Note", "above z");
  auto count = [&](const std::string& f) { return inbox.Restrict(f).Count(); };
  const std::pair<const char*, std::size_t> cases[] = {
      {"[MessageClass] = 'IPM.Note' And [FaxID] = 'fax2.tif'", 1},
      {"[MessageClass] = 'IPM.Note' And [FaxID] = 'fax3.tif'", 0},
      {"[MessageClass] = 'IPM.Note' And [FaxID] >= ' ' And [FaxID] <= 'z'", 3},
      {"[FaxID] = 'it''s'", 1},
      {"[Subject]='O''Neil'", 1}};
  for (const auto& [filter, n] : cases) EXPECT_EQ(count(filter), n) << filter;
  for (const char* bad : {"[FaxID] = 'x", "[FaxID] == 'x'", "([FaxID] = 'x'", "[Nope] = 'x'"})
    EXPECT_EQ(ErrorNumberOf([&] { inbox.Restrict(bad); }), 13) << bad;

  // Another process removes one file and adds an item: the next Restrict
  // sees both.
  ASSERT_EQ(::unlink((inbox.Path() + "/" + inbox.Restrict("[FaxID] = 'fax1.tif'").File(1)).c_str()), 0);
  mail::MailItem nine;
  nine.AddUserProperty("FaxID", mail::olText).value = "fax9.tif";
  mail::Store().GetDefaultFolder(mail::olFolderInbox).Save(nine);
  EXPECT_EQ(count("[FaxID] = 'fax1.tif'"), 0u);
  EXPECT_EQ(count("[FaxID] = 'fax9.tif'"), 1u);
  mail::SaveBatch batch;  // as the import files faxes: a re-save (read, so renamed) replaces its item
  mail::MailItem b;
  b.AddUserProperty("FaxID", mail::olText).value = "batch1.tif";
  inbox.Save(b);
  b.UnRead = false;
  inbox.Save(b);
  EXPECT_EQ(count("[FaxID] = 'batch1.tif'"), 1u);
}

TEST_F(MailStoreTest, ForeignAndMalformedFilesAreReadOrSkippedAndNeverTouched) {
  mail::Store store;
  mail::Folder inbox = store.GetDefaultFolder(mail::olFolderInbox);
  inbox.AddUserField("FaxID", mail::olText);
  std::string foreign =
      "From: Ann <ann@example.org>\r\nTo: bob@example.org\r\nSubject: =?utf-8?q?Gr=C3=BC=C3=9Fe?=\r\n"
      "Date: Mon, 1 Jun 2026 10:00:00 +0000\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; "
      "charset=iso-8859-1\r\n"
      "Content-Transfer-Encoding: 8bit\r\n\r\nHallo J\xFCrgen\r\n";
  TestWorld::WriteFile(inbox.Path() + "/new/1000.foreign.host", foreign);
  TestWorld::WriteFile(inbox.Path() + "/cur/1001.garbage.host:2,S", std::string("\0\1\2\3", 4));
  TestWorld::WriteFile(inbox.Path() + "/cur/1002.empty.host:2,", "");
  TestWorld::WriteFile(
      inbox.Path() + "/cur/1003.fake.host:2,",
      "X-Brevant-UserProperty: broken\r\nX-Brevant-Prop: zz\r\nSubject: fake\r\n\r\nbody\r\n");
  std::string read;
  for (const auto& m : test::ItemsOf(inbox))
    read +=
        m.Subject + (m.Subject == "Grüße" ? "=" + m.To + ":" + m.Body + std::to_string(m.UnRead) : "") + "|";
  EXPECT_NE(read.find("Grüße=bob@example.org:Hallo Jürgen\n1|"), std::string::npos) << read;
  EXPECT_NE(read.find("fake|"), std::string::npos) << read;
  EXPECT_EQ(inbox.Restrict("[FaxID] >= ' ' And [FaxID] <= 'z'").Count(), 0u);
  mail::MailItem fax;
  fax.AddUserProperty("FaxID", mail::olText).value = "f.tif";
  inbox.Save(fax);
  EXPECT_EQ(inbox.Restrict("[FaxID] >= ' ' And [FaxID] <= 'z'").Count(), 1u);
  EXPECT_EQ(TestWorld::ReadFile(inbox.Path() + "/new/1000.foreign.host"), foreign);
  EXPECT_TRUE(fs::exists(inbox.Path() + "/cur/1001.garbage.host:2,S"));
  EXPECT_EQ(ErrorNumberOf([] { mail::FromMime(""); }), 13) << "an empty file is not a message";
}

// The index is a summary written beside the items; a line of it that no
// longer describes its file (the item was saved again, and another
// process's rewrite of the index put the older line back) must not hide the
// item's fax id: an import would file the fax a second time.
TEST_F(MailStoreTest, AStaleIndexLineNeverHidesAFaxId) {
  mail::Store store;
  mail::Folder sent = store.GetDefaultFolder(mail::olFolderSentMail);
  sent.AddUserField("FaxID", mail::olText);
  // Saved first without its fax id, as the fax item writers do.
  mail::MailItem item;
  item.Subject = "Fax";
  sent.Save(item);
  const std::string index = sent.Path() + "/brevant-index";
  const std::string before = TestWorld::ReadFile(index);
  ASSERT_EQ(sent.Restrict("[FaxID] = '20260601-7'").Count(), 0u);
  item.AddUserProperty("FaxID", mail::olText).value = "20260601-7";
  sent.Save(item);
  TestWorld::WriteFile(index, before);
  EXPECT_EQ(sent.Restrict("[FaxID] = '20260601-7'").Count(), 1u);
  EXPECT_EQ(sent.AllItems().Count(), 1u);
  // Read once, the index describes the file again.
  EXPECT_NE(TestWorld::ReadFile(index).find("U:FaxID=20260601-7"), std::string::npos);
}

// The SMTP password never rests in the registry store, which any program
// of the user and a bug report read: it goes to the user-only secrets file
// where no secret service runs (as here), a clear value left in the
// registry moves there on first use (and leaves no copy in the store's
// files), and brevant-reg shows it masked.
TEST(MailAccount, ThePasswordIsKeptOutOfTheRegistryAndNeverShown) {
  TestWorld w;
  auto inStore = [&](const std::string& text) {
    std::string bytes;
    for (const char* f : {"/HKEY_CURRENT_USER.db", "/HKEY_CURRENT_USER.db-wal"})
      bytes += TestWorld::ReadFile(w.RegistryDir() + f);
    return bytes.find(text) != std::string::npos;
  };
  const std::string key = std::string("HKCU\\") + mail::kAccountKey;
  mail::Account a;
  a.user = "ann";
  a.password = "first-pw-4711";
  mail::SaveAccount(a);
  EXPECT_FALSE(inStore("first-pw-4711")) << "saved in the clear (a later read would move it out)";
  EXPECT_EQ(mail::LoadAccount().password, "first-pw-4711");
  const std::string file = w.RegistryDir() + "/secrets";
  EXPECT_EQ(TestWorld::Owner(file), std::to_string(::geteuid()) + " 600");
  EXPECT_NE(TestWorld::ReadFile(file).find("first-pw-4711"), std::string::npos);

  // A clear password an older Brevant (or a hand) left in the registry.
  reg::HKEY k = 0;
  ASSERT_EQ(reg::CreateKey(reg::kCurrentUser, mail::kAccountKey, reg::kKeyAllAccess, &k), reg::kOk);
  const std::string clear = "clear-pw-0815";
  ASSERT_EQ(reg::SetValue(k, "SmtpPassword", reg::REG_SZ, clear.c_str(), std::uint32_t(clear.size() + 1)),
            reg::kOk);
  reg::CloseKey(k);
  auto q = w.RunTool("brevant-reg", "query '" + key + "' -v SmtpPassword");
  EXPECT_NE(q.out.find("SmtpPassword    REG_SZ    ********"), std::string::npos) << q.out;
  EXPECT_EQ(q.out.find(clear), std::string::npos);
  auto x = w.RunTool("brevant-reg", "export '" + key + "' -");
  EXPECT_NE(x.out.find("\"SmtpPassword\"=\"********\""), std::string::npos) << x.out;
  EXPECT_EQ(x.out.find(clear), std::string::npos);
  EXPECT_EQ(mail::LoadAccount().password, clear);
  EXPECT_FALSE(inStore(clear)) << "the registry's files keep no copy of the moved password";
  EXPECT_NE(w.RunTool("brevant-reg", "query '" + key + "' -v SmtpPassword").exitCode, 0);

  // Set or imported with brevant-reg, it goes straight to the secrets file.
  auto r = w.RunTool("brevant-reg", "add '" + key + "' -v SmtpPassword -d typed-pw-42");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("SmtpPassword is kept in the secret store."), std::string::npos) << r.out;
  EXPECT_EQ(mail::LoadAccount().password, "typed-pw-42");
  TestWorld::WriteFile(w.Root() + "/in.reg", "Windows Registry Editor Version 5.00\r\n\r\n[" + key +
                                                 "]\r\n\"SmtpPassword\"=\"imported-pw-9\"\r\n");
  EXPECT_EQ(w.RunTool("brevant-reg", "import " + w.Root() + "/in.reg").exitCode, 0);
  EXPECT_FALSE(inStore("imported-pw-9"));
  EXPECT_FALSE(inStore("typed-pw-42"));
  EXPECT_EQ(mail::LoadAccount().password, "imported-pw-9");
  // An exported file brought back in does not make the mask a password.
  TestWorld::WriteFile(w.Root() + "/back.reg", x.out);
  EXPECT_EQ(w.RunTool("brevant-reg", "import " + w.Root() + "/back.reg").exitCode, 0);
  EXPECT_EQ(mail::LoadAccount().password, "imported-pw-9");
}

// With a secret service on the session bus (a real one: gnome-keyring), the
// password goes there and no file holds it.
TEST(MailAccount, WithASecretServiceThePasswordGoesThere) {
  TestWorld w;
  if (std::system("command -v gnome-keyring-daemon >/dev/null && command -v dbus-run-session >/dev/null && "
                  "command -v secret-tool >/dev/null") != 0)
    GTEST_FAIL() << "gnome-keyring, dbus and libsecret-tools are needed (scripts/deps.d/mail.list)";
  const std::string home = w.Root() + "/home";
  fs::create_directories(home);
  const std::string key = std::string("HKCU\\") + mail::kAccountKey;
  const std::string script = w.Root() + "/session.sh";
  TestWorld::WriteFile(script,
                       "set -e\n"
                       "printf pw | gnome-keyring-daemon --unlock --components=secrets >/dev/null\n"
                       "'" +
                           test::BinDir() + "/brevant-reg' add '" + key +
                           "' -v SmtpPassword -d keyring-pw-77 >/dev/null\n"
                           "secret-tool lookup store '" +
                           w.RegistryDir() +
                           "' name 'HKEY_CURRENT_USER\\software\\norvane\\pelorin\\mail\\smtppassword'\n");
  const std::string out = w.Root() + "/lookup.txt";
  int rc = std::system(("HOME='" + home + "' XDG_RUNTIME_DIR='" + home +
                        "' timeout 60 dbus-run-session -- sh '" + script + "' >'" + out + "' 2>/dev/null")
                           .c_str());
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(TestWorld::ReadFile(out), "keyring-pw-77");
  EXPECT_FALSE(fs::exists(w.RegistryDir() + "/secrets"));
}

}  // namespace
