// The daemon's socket under bad and concurrent input, the message format,
// and CFax over the service's record of a sent fax.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <thread>

#include "common/Errors.h"
#include "delivery/CFax.h"
#include "delivery/FaxTransport.h"
#include "platform/faxservice/FaxService.h"
#include "tests/faxservice/FaxTestSupport.h"

namespace brevant {
namespace {

using faxsvc::Message;
using test::FaxDaemon;
using test::TestWorld;

TEST(FaxMessageFormat, RoundTripsAwkwardTextAndRejectsBrokenBodies) {
  Message m("submit");
  m.Set("note", "line one\nline two \\ backslash = equals").Set("empty", "");
  m.AddItem(2, Message().Set("x", "1"));
  Message back;
  ASSERT_TRUE(Message::Decode(m.Encode(), &back));
  EXPECT_EQ(back.Get("note"), "line one\nline two \\ backslash = equals");
  EXPECT_TRUE(back.Has("empty"));
  EXPECT_EQ(back.Item(2).Get("x"), "1");
  // No final newline, no "=", an unknown escape, no key, a key twice.
  for (const char* bad : {"op=x", "novalue\n", "a=bad\\q\n", "=x\n", "a=1\na=2\n"})
    EXPECT_FALSE(Message::Decode(bad, &back)) << bad;
  EXPECT_FALSE(Message::Decode("a=1\nb=2\n", &back, 1));  // more fields than allowed
  // Fields are found by key in any number (a search per field would take
  // minutes for 170,000 of them).
  Message wide;
  for (int i = 0; i < 170000; ++i) wide.Set(std::to_string(i), "v");
  ASSERT_TRUE(Message::Decode(wide.Encode(), &back));
  EXPECT_EQ(back.Set("5", "w").Get("5"), "w");
  EXPECT_EQ(back.Size(), 170000u);  // "5" replaced, not added twice
}

class FaxSocket : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(daemon.Start()); }
  int Connect() {
    std::string err;
    int fd = faxsvc::ConnectSocket(daemon.Socket(), &err);
    EXPECT_GE(fd, 0) << err;
    return fd;
  }
  Message ReadReply(int fd) {
    std::string body;
    Message m;
    if (faxsvc::ReadFrame(fd, &body, 5000) == faxsvc::FrameResult::Ok) Message::Decode(body, &m);
    return m;
  }
  TestWorld world;
  FaxDaemon daemon{world};
};

TEST_F(FaxSocket, TruncatedOversizedAndMalformedMessagesAreRefusedCleanly) {
  // Raw bytes on a connection of their own, the writer closing or not:
  // the reply as "ok:error".
  auto raw = [&](const std::string& bytes, bool closeWrite) {
    int fd = Connect();
    EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    if (closeWrite) ::shutdown(fd, SHUT_WR);
    Message r = ReadReply(fd);
    ::close(fd);
    return r.Get("ok") + ":" + r.Get("error");
  };
  // A header announcing 100 bytes, 10 sent, then the writer closes.
  EXPECT_EQ(raw(std::string("\0\0\0\x64op=hello\nx", 14), true), "0:truncated message");
  // A header announcing 64 MiB: refused before any of it is read.
  EXPECT_EQ(raw(std::string("\x04\0\0\0", 4), false).rfind("0:message too large", 0), 0u);

  // A body that is no list of fields: refused, the connection stays usable.
  int fd = Connect();
  ASSERT_TRUE(faxsvc::WriteFrame(fd, "garbage without equals\n"));
  EXPECT_EQ(ReadReply(fd).Get("error").rfind("malformed message", 0), 0u);
  ASSERT_TRUE(faxsvc::WriteFrame(fd, Message("hello").Encode()));
  EXPECT_EQ(ReadReply(fd).Get("ok"), "1");
  ASSERT_TRUE(faxsvc::WriteFrame(fd, Message("frobnicate").Encode()));
  EXPECT_NE(ReadReply(fd).Get("error").find("unknown request"), std::string::npos);
  ::close(fd);

  // The client library refuses to send what the daemon would refuse.
  faxsvc::FaxServer server;
  server.Connect("");
  Message huge("hello");
  huge.Set("pad", std::string(faxsvc::kMaxBody + 1, 'x'));
  EXPECT_THROW(server.Call(huge), VbError);
  EXPECT_EQ(server.Call(Message("hello")).Get("ok"), "1");
}

TEST_F(FaxSocket, FourClientsQueueThirtyTwoFaxesAndEachIsSentOnce) {
  std::string fax = test::MakeFaxTiff(world.TempDir() + "/one.tif", 1);
  std::vector<std::thread> clients;
  std::vector<std::vector<long>> ids(4);
  for (int c = 0; c < 4; ++c)
    clients.emplace_back([&, c] {
      faxsvc::FaxServer server;
      server.Connect("");
      for (int i = 0; i < 8; ++i) {
        auto doc = server.CreateDocument(fax);
        doc->FaxNumber = "555 " + std::to_string(c * 100 + i);
        ids[c].push_back(doc->Send());
      }
    });
  for (auto& t : clients) t.join();
  std::set<long> all;
  for (auto& v : ids) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), 32u);
  ASSERT_TRUE(test::WaitFor([&] { return daemon.Archive("out").GetInt("count") >= 32; }, 200));
  Message far = daemon.Call(Message("farend"));
  EXPECT_EQ(far.GetInt("count"), 32);
  std::set<std::string> numbers;
  for (int i = 1; i <= far.GetInt("count"); ++i) numbers.insert(far.Item(i).Get("number"));
  EXPECT_EQ(numbers.size(), 32u);  // none twice, none lost
}

// A sent fax as the mail items are made from it: the service's record read
// through CFax (a stored file on its own is read in the mail tests).
TEST_F(FaxSocket, CFaxReadsTheServicesRecordOfASentFax) {
  std::string fax = test::MakeFaxTiff(world.TempDir() + "/c.tif", 2);
  faxsvc::FaxServer server;
  server.Connect("");
  auto doc = server.CreateDocument(fax);
  doc->RecipientName = "Eva Ek";
  doc->FaxNumber = "555 0400";
  doc->CoverpageSubject = "Contract";
  doc->SenderName = "Sam";
  doc->SenderFax = "555 0001";
  doc->Priority = 2;
  doc->Send();
  ASSERT_TRUE(test::WaitFor([&] { return daemon.Archive("out").GetInt("count") == 1; }, 20));
  auto messages = server.Folders().OutgoingArchive.GetMessages();
  ASSERT_EQ(messages.Count(), 1);
  CFax sent;
  sent.Init(std::make_shared<faxsvc::FaxMessage>(messages.Item(1)));
  EXPECT_EQ(sent.MailItemTo(), "Eva Ek[Fax:555 0400]");
  EXPECT_EQ(sent.Subject() + "|" + sent.SenderName() + "|" + sent.SenderFaxNumber() + "|" + sent.CSID(),
            "Contract|Sam|555 0001|555 0400");
  EXPECT_EQ(sent.Importance(), 2);
  EXPECT_LT(std::chrono::abs(sent.TimeSent() - std::chrono::system_clock::now()), std::chrono::seconds(60));
  // The end of transmission carries the time-zone bias: three hours east
  // of UTC, 180 minutes earlier.
  const char* tz = std::getenv("TZ");
  std::string oldTz = tz ? tz : "";
  ::setenv("TZ", "BRV-3", 1);
  ::tzset();
  DateTime received = sent.TimeReceived();
  tz ? ::setenv("TZ", oldTz.c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
  EXPECT_EQ(received, DateTime(messages.Item(1).TransmissionEnd()) - std::chrono::minutes(180));
  std::string copy = world.TempDir() + "/copy.tif";
  ASSERT_TRUE(sent.CopyTiff(copy));
  EXPECT_EQ(test::ReadPages(copy).size(), 2u);
}

}  // namespace
}  // namespace brevant
