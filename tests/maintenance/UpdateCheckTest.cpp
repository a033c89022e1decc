// The update check against a real HTTP server on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

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

void SetSite(const std::string& site) { test::SetRegString(test::HKLM, kPelorinKey, "UpdateSite", site); }

UpdateResult Ask(HttpServer& s) { return QueryUpdateService(s.Site() + "/_check_update.asp", UpdateVersionText(), 3000); }

}  // namespace

TEST(UpdateCheck, TheAddressAndTheThreeAnswersPlainOrAsHtmlAndAnyOtherPageIsTheAddress) {
  test::TestWorld w;
  // The machine's site, the user's own over it, the maker's by default.
  EXPECT_EQ(UpdateServiceAddress(), "https://www.norvane.com/_check_update.asp");
  SetSite("http://updates.example.org/");
  EXPECT_EQ(UpdateServiceAddress(), "http://updates.example.org/_check_update.asp");
  test::SetRegString(test::HKCU, kPelorinKey, "UpdateSite", "http://mine.example.org");
  EXPECT_EQ(UpdateServiceAddress(), "http://mine.example.org/_check_update.asp");
  struct Case {
    HttpServer::Reply reply;
    UpdateAnswer answer;
    std::string text;
  } cases[] = {
      {{200, "0"}, UpdateAnswer::NoUpdate, ""},
      {{200, "1\r\n"}, UpdateAnswer::Nothing, ""},
      {{200, "  https://www.norvane.com/download/pelorin-1.1.tar.gz\n"}, UpdateAnswer::Download,
       "https://www.norvane.com/download/pelorin-1.1.tar.gz"},
      {{200,
        "<html><head><title>1</title></head><body>\n<script>var v = 2;</script><p>0</p>"
        "<STYLE>p { color: red }</STYLE>\n</body></html>",
        "text/html"},
       UpdateAnswer::NoUpdate, ""},
      {{200, "<HTML><BODY><a href=\"x\">http://dl.example.org/a?x=1&amp;y=2</a></BODY></HTML>", "text/html"},
       UpdateAnswer::Download, "http://dl.example.org/a?x=1&y=2"},
      // Whatever the page says and whatever its status, its text is the answer.
      {{404, "<html><body><h1>Not Found</h1></body></html>", "text/html"}, UpdateAnswer::Download, "Not Found"},
      {{500, "0"}, UpdateAnswer::NoUpdate, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply.body);
    HttpServer s(c.reply);
    UpdateResult r = Ask(s);
    EXPECT_EQ(r.answer, c.answer);
    if (c.answer == UpdateAnswer::Download) EXPECT_EQ(r.text, c.text);
    EXPECT_EQ(s.Requests(), std::vector<std::string>{"GET /_check_update.asp?ver=1.0 HTTP/1.1"});
  }

  // A site that names a local file is refused, not read; a page too long fails.
  test::TestWorld::WriteFile(w.Root() + "/_check_update.asp", "0");
  EXPECT_EQ(QueryUpdateService("file://" + w.Root() + "/_check_update.asp", "1.0").answer, UpdateAnswer::Failed);
  HttpServer s({200, std::string(10 * 1024 * 1024, 'x')});
  UpdateResult r = Ask(s);
  EXPECT_EQ(r.answer, UpdateAnswer::Failed);
  EXPECT_NE(r.error.find("64 KB"), std::string::npos) << r.error;
}

TEST(UpdateCheck, WhatTheUserSeesForEachAnswer) {
  test::TestWorld w;
  test::FakeShell shell(w);
  const std::vector<std::string> none, download{"Pelorin: Download Update?"};
  struct Case {
    std::string page;
    ui::Answer answer;
    std::vector<std::string> messages;
    std::string opened;  // what the browser is asked to open
  } cases[] = {{"0", ui::Answer::Ok, {"Pelorin: Update is not available."}, ""},
               {"1", ui::Answer::Ok, none, ""},
               {"http://dl.example.org/new", ui::Answer::No, download, ""},
               {"http://dl.example.org/new", ui::Answer::Yes, download, "http://dl.example.org/new"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page);
    test::UiRecorder ui;
    ui.answer = c.answer;
    HttpServer s({200, c.page});
    SetSite(s.Site());
    CheckForUpdate();
    EXPECT_EQ(s.Requests().size(), 1u);
    EXPECT_EQ(ui.messages, c.messages);
    EXPECT_EQ(ui.cursor, ui::Cursor::Default);
    EXPECT_EQ(shell.Opened(c.opened.empty() ? 300 : 5000), c.opened);
  }
}

TEST(UpdateCheck, AServiceThatNeverAnswersOrIsDownSaysSoAndLeavesARecord) {
  test::TestWorld w;
  test::UiRecorder ui;
  const std::vector<std::string> connectError{"Pelorin: Connect error. Check your connection settings."};
  {
    HttpServer s({200, "", "text/plain", true});  // never answers
    SetSite(s.Site());
    auto t0 = std::chrono::steady_clock::now();
    CheckForUpdate(1500);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(1400));
    EXPECT_LT(took, std::chrono::milliseconds(4000));
  }
  EXPECT_EQ(ui.messages, connectError);
  std::string trace = test::TestWorld::ReadFile(TraceLogPath());
  EXPECT_NE(trace.find("did not answer within 1.5 s: timed out."), std::string::npos) << trace;

  // The same port with nobody listening any more.
  ui.messages.clear();
  std::remove(ErrorLogPath().c_str());
  auto t0 = std::chrono::steady_clock::now();
  CheckForUpdate();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  EXPECT_EQ(ui.messages, connectError);
  std::string errors = test::TestWorld::ReadFile(ErrorLogPath());
  EXPECT_NE(errors.find("frmUpdate.CheckForUpdate"), std::string::npos) << errors;
}
