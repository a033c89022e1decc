// The update check against a real HTTP server on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Logging.h"
#include "maintenance/UpdateCheck.h"
#include "tests/maintenance/FakeShell.h"
#include "tests/maintenance/HttpServer.h"
#include "tests/support/RegValues.h"
#include "tests/support/TestWorld.h"
#include "tests/support/UiRecorder.h"

using namespace brevant;
using test::HttpServer;

namespace {

void SetSite(const std::string& site) {
  test::SetRegString(test::HKLM, kPelorinKey, "UpdateSite", site);
}

}  // namespace

TEST(UpdateCheck, TheAddressAndWhatTheUserSeesForEachAnswerPlainOrAsHtml) {
  test::TestWorld w;
  test::FakeShell shell(w);
  // The machine's site, the user's own over it, the maker's by default.
  EXPECT_EQ(UpdateServiceAddress(), "https://www.norvane.com/_check_update.asp");
  SetSite("http://updates.example.org/");
  EXPECT_EQ(UpdateServiceAddress(), "http://updates.example.org/_check_update.asp");
  test::SetRegString(test::HKCU, kPelorinKey, "UpdateSite", "http://mine.example.org");
  EXPECT_EQ(UpdateServiceAddress(), "http://mine.example.org/_check_update.asp");
  test::SetRegString(test::HKCU, kPelorinKey, "UpdateSite", "");

  const std::string none = "Update is not available.", download = "Download Update?",
                    failed = "Connect error. Check your connection settings.";
  struct Case {
    HttpServer::Reply reply;
    ui::Answer answer;
    std::string shown, opened;  // the message box, what the browser is asked to open
  } cases[] = {
      {{200, "0"}, ui::Answer::Ok, none, ""},
      {{200, "1\r\n"}, ui::Answer::Ok, "", ""},
      {{200, "  https://www.norvane.com/download/pelorin-1.1.tar.gz\n"},
       ui::Answer::Yes,
       download,
       "https://www.norvane.com/download/pelorin-1.1.tar.gz"},
      {{200, "http://dl.example.org/new"}, ui::Answer::No, download, ""},
      {{200,
        "<html><head><title>1</title></head><body>\n<script>var v = 2;</script><p>0</p>"
        "<STYLE>p { color: red }</STYLE>\n</body></html>",
        "text/html"},
       ui::Answer::Ok,
       none,
       ""},
      {{200, "<HTML><BODY><a href=\"x\">http://dl.example.org/a?x=1&amp;y=2</a></BODY></HTML>", "text/html"},
       ui::Answer::Yes,
       download,
       "http://dl.example.org/a?x=1&y=2"},
      // Whatever the page says and whatever its status, its text is the answer.
      {{404, "<html><body><h1>Not Found</h1></body></html>", "text/html"},
       ui::Answer::Yes,
       download,
       "Not Found"},
      {{500, "0"}, ui::Answer::Ok, none, ""},
      {{200, std::string(10 * 1024 * 1024, 'x')}, ui::Answer::Ok, failed, ""},  // a page too long
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply.body.substr(0, 80));
    std::filesystem::remove(w.Root() + "/shell.log");
    test::UiRecorder ui;
    ui.answer = c.answer;
    HttpServer s(c.reply);
    SetSite(s.Site());
    CheckForUpdate();
    EXPECT_EQ(s.Requests(), std::vector<std::string>{"GET /_check_update.asp?ver=1.0 HTTP/1.1"});
    EXPECT_EQ(ui.messages,
              c.shown.empty() ? std::vector<std::string>{} : std::vector<std::string>{"Pelorin: " + c.shown});
    EXPECT_EQ(ui.cursor, ui::Cursor::Default);
    EXPECT_EQ(shell.Opened(c.opened.empty() ? 300 : 5000), c.opened);
  }
  // A site that names a local file is refused, not read.
  test::UiRecorder ui;
  test::TestWorld::WriteFile(w.Root() + "/_check_update.asp", "0");
  SetSite("file://" + w.Root());
  CheckForUpdate();
  EXPECT_EQ(ui.messages, std::vector<std::string>{"Pelorin: " + failed});
}

TEST(UpdateCheck, AServiceThatNeverAnswersIsWaitedForUntilTheUserGivesUpOneThatIsDownSaysSo) {
  test::TestWorld w;
  test::UiRecorder ui;
  {
    // No time limit: still waiting after longer than any limit a test can
    // afford, and the window stays alive (messages run between polls).
    HttpServer s({200, "", "text/plain", true});  // never answers
    SetSite(s.Site());
    auto t0 = std::chrono::steady_clock::now();
    int polls = 0;
    CheckForUpdate([&] {
      ++polls;
      return std::chrono::steady_clock::now() - t0 > std::chrono::seconds(3);
    });
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    EXPECT_GT(polls, 10);
  }
  // Given up by its window: nothing more to say.
  EXPECT_EQ(ui.messages, std::vector<std::string>{});
  EXPECT_EQ(ui.cursor, ui::Cursor::Default);

  // The same port with nobody listening any more: said once, and no record.
  auto t0 = std::chrono::steady_clock::now();
  CheckForUpdate();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  EXPECT_EQ(ui.messages, std::vector<std::string>{"Pelorin: Connect error. Check your connection settings."});
  EXPECT_EQ(w.Errors(), "");
  EXPECT_EQ(test::TestWorld::ReadFile(TraceLogPath()), "");
}
