// Imported faxes as a mail reader shows them: the user's Maildir served
// over IMAP by dovecot on 127.0.0.1 and read there by mutt, and read in
// place by neomutt, both in batch mode (a display filter copies what the
// reader shows to a file).
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <regex>

#include "common/FaxJob.h"
#include "faxservice/protocol/FaxTiff.h"
#include "receive/FaxImport.h"
#include "tests/mail/FaxWorld.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestUser.h"

namespace fs = std::filesystem;
using namespace brevant;
using brevant::test::TestUser;
using brevant::test::TestWorld;

namespace {

int FreePort() {
  int port = 0;
  ::close(test::ListenLoopback(&port));
  return port;
}

// dovecot serving one user's ~/Maildir over IMAP on 127.0.0.1 (password
// "pw"), from a folder of its own that its login processes may enter.
class Dovecot {
 public:
  explicit Dovecot(const TestUser& user) : port_(FreePort()) {
    char tmpl[] = "/tmp/brevant-dovecot-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    TestWorld::WriteFile(dir_ + "/passwd", user.Name() + ":{PLAIN}pw\n");
    std::string conf = R"(base_dir = @DIR@/run
state_dir = @DIR@/state
log_path = @DIR@/dovecot.log
protocols = imap
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
mail_location = maildir:~/Maildir
passdb {
  driver = passwd-file
  args = scheme=PLAIN @DIR@/passwd
}
userdb {
  driver = static
  args = uid=@UID@ gid=@GID@ home=@HOME@
}
service imap-login {
  inet_listener imap {
    address = 127.0.0.1
    port = @PORT@
  }
  inet_listener imaps {
    port = 0
  }
}
service anvil {
  chroot =
}
)";
    for (auto [key, value] : {std::pair<std::string, std::string>{"@DIR@", dir_},
                              {"@UID@", std::to_string(user.Uid())},
                              {"@GID@", std::to_string(user.Gid())},
                              {"@HOME@", user.Home()},
                              {"@PORT@", std::to_string(port_)}})
      for (std::size_t p; (p = conf.find(key)) != std::string::npos;) conf.replace(p, key.size(), value);
    TestWorld::WriteFile(dir_ + "/dovecot.conf", conf);
    started_ = std::system(("/usr/sbin/dovecot -c " + dir_ + "/dovecot.conf").c_str()) == 0;
  }
  ~Dovecot() {
    if (started_)
      std::system(("/usr/sbin/dovecot -c " + dir_ + "/dovecot.conf stop >/dev/null 2>&1").c_str());
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  bool Started() const { return started_; }
  int Port() const { return port_; }
  std::string Log() const { return TestWorld::ReadFile(dir_ + "/dovecot.log"); }

 private:
  std::string dir_;
  int port_;
  bool started_ = false;
};

// What a reader shows of the first message of a folder (headers it shows,
// the body part it picks, its attachment lines), run on a terminal of its
// own as mutt and neomutt need one.
std::string Read(const std::string& reader, const std::string& folder, const std::string& settings,
                 const std::string& scratch) {
  const std::string shown = scratch + "/shown.txt";
  fs::create_directories(scratch + "/home");
  fs::remove(shown);
  const std::string line = "HOME=" + scratch + "/home TERM=xterm " + reader + " -n -F /dev/null -e 'set " +
                           settings + " record= postponed= wait_key=no quit=yes display_filter=\"tee " +
                           shown + "\"' -e 'push <display-message><exit><quit>' -f '" + folder + "'";
  std::system(("timeout 30 script -qc \"" + std::regex_replace(line, std::regex("\""), "\\\"") +
               "\" /dev/null >/dev/null 2>&1")
                  .c_str());
  return TestWorld::ReadFile(shown);
}

// A photo as the fax printer makes one: smooth greys (a radial gradient)
// as an ordered dither, whose screen a full-resolution JPEG keeps dot for
// dot.
std::string AddPhotoFax(const std::string& path, const std::string& description) {
  static const int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
  faxsvc::FaxPage page = faxsvc::BlankPage();
  for (int y = 0; y < page.height; ++y)
    for (int x = 0; x < page.width; ++x) {
      const double dx = x - page.width / 3.0, dy = y - page.height / 2.0;
      const int grey = static_cast<int>(std::min(15.0, std::sqrt(dx * dx + dy * dy) / 90.0));
      page.pixels[std::size_t(y) * std::size_t(page.width) + std::size_t(x)] =
          kBayer[y % 4][x % 4] >= grey ? 1 : 0;
    }
  std::string why;
  EXPECT_TRUE(faxsvc::WriteFaxTiff(path, {page}, description, &why)) << why;
  return path;
}

std::string UtcDate(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[40];
  std::strftime(buf, sizeof buf, "%d %b %Y %H:%M", &tm);
  return buf;
}

using MailReader = brevant::test::FaxWorld;

TEST_F(MailReader, ImportedFaxesReadAsMailWithSendersRecipientsDatesTextAndNamedFiles) {
  TestUser user("mr");
  ASSERT_TRUE(user.Made()) << user.Problem();
  const std::string maildir = user.Home() + "/Maildir";
  ::setenv("BREVANT_MAILDIR", maildir.c_str(), 1);
  // A photo received a month ago from station "+49 89 7", and a one-page
  // fax sent to station "+44 20 7946".
  const std::string received =
      AddPhotoFax(Store() + "/20261107-101500-3.tif", "CSID=+49 30 999\nTSID=+49 89 7");
  SetModified(received, 24 * 30);
  struct stat st {};
  ASSERT_EQ(::stat(received.c_str(), &st), 0);
  const std::time_t receivedAt = st.st_mtime;
  AddFax(Archive(), "20261207-144615-15.tif", "+44 20 7946", "+49 30 999");
  ImportFaxes(false, nullptr, DateTime{});
  ASSERT_EQ(std::system(("chown -R " + user.Name() + ": " + maildir).c_str()), 0);

  Dovecot dovecot(user);
  ASSERT_TRUE(dovecot.Started()) << dovecot.Log();
  const std::string imap = "folder=imap://127.0.0.1:" + std::to_string(dovecot.Port()) +
                           "/ spoolfile=+INBOX imap_user=" + user.Name() +
                           " imap_pass=pw ssl_starttls=no ssl_force_tls=no";
  const std::string scratch = world.Root() + "/reader";
  std::string inbox = Read("mutt", "=INBOX", imap, scratch);
  std::string sent = Read("mutt", "=Sent Items", imap, scratch);
  // Over IMAP: who sent it to whom and when, the text a reader without
  // HTML shows, and the attachments by their file names.
  EXPECT_NE(inbox.find("From: +49 89 7 <+49897@fax.invalid>\n"), std::string::npos) << inbox << dovecot.Log();
  EXPECT_NE(inbox.find("To: Fiona Fax <+4930999@fax.invalid>\n"), std::string::npos) << inbox;
  EXPECT_NE(inbox.find("Subject: Fax\n"), std::string::npos) << inbox;
  EXPECT_NE(inbox.find(UtcDate(receivedAt)), std::string::npos) << "the reception time, not the import's\n"
                                                                << inbox;
  EXPECT_NE(inbox.find("Fax from +49 89 7\nPages: 1\nReceived: "), std::string::npos) << inbox;
  EXPECT_EQ(inbox.find("<HTML>"), std::string::npos) << inbox;
  EXPECT_NE(inbox.find("[-- Attachment #2: Fax.jpg --]"), std::string::npos) << inbox;
  EXPECT_NE(inbox.find(": +49 30 999.tiff --]"), std::string::npos) << inbox;
  EXPECT_EQ(inbox.find("FaxImage"), std::string::npos) << inbox;
  EXPECT_NE(sent.find("From: Fiona Fax <+4930999@fax.invalid>\n"), std::string::npos) << sent;
  EXPECT_NE(sent.find("To: +44 20 7946 <+44207946@fax.invalid>\n"), std::string::npos) << sent;
  EXPECT_NE(sent.find("Fax to +44 20 7946\nPages: 1\n"), std::string::npos) << sent;

  // In the Maildir itself: LF line ends, nothing a reader shows as "^M".
  std::string local = Read("neomutt", maildir + "/.Sent Items", "folder=" + maildir, scratch);
  EXPECT_NE(local.find("From: Fiona Fax"), std::string::npos) << local;
  EXPECT_EQ(local.find('\r'), std::string::npos) << local;

  // A photo fax stays small: the picture is a preview, not the page at
  // full resolution.
  for (const auto& e : fs::directory_iterator(maildir + "/cur")) {
    EXPECT_LT(fs::file_size(e.path()), 4 * fs::file_size(received) / 3 + 150 * 1024) << e.path();
  }
}

}  // namespace
