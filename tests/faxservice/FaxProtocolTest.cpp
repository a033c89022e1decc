// The daemon's socket under bad and concurrent input.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "common/Errors.h"
#include "platform/faxservice/FaxService.h"
#include "tests/faxservice/FaxTestSupport.h"

namespace brevant {
namespace {

using faxsvc::Message;
using test::FaxDaemon;
using test::TestWorld;

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

}  // namespace
}  // namespace brevant
