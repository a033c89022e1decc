// The daemon's socket under bad and concurrent input.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "common/Errors.h"
#include "faxservice/client/FaxService.h"
#include "tests/faxservice/FaxTestSupport.h"

namespace brevant {
namespace {

using faxsvc::Message;
using test::FaxDaemon;
using test::TestWorld;

class FaxSocket : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(daemon.Start()); }
  TestWorld world;
  FaxDaemon daemon{world};
};

// Raw bytes on a connection of their own: a header announcing 100 bytes with
// 10 sent before the writer closes, one announcing 64 MiB (refused before any
// of it is read), and a body that is no list of fields. The service answers
// each and goes on serving.
TEST_F(FaxSocket, TruncatedOversizedAndMalformedMessagesAreRefusedCleanly) {
  auto raw = [&](const std::string& bytes, bool closeWrite) {
    std::string err, body;
    int fd = faxsvc::ConnectSocket(daemon.Socket(), &err);
    EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size())) << err;
    if (closeWrite) ::shutdown(fd, SHUT_WR);
    Message r;
    if (faxsvc::ReadFrame(fd, &body, 5000) == faxsvc::FrameResult::Ok) Message::Decode(body, &r);
    ::close(fd);
    return r.Get("ok") + ":" + r.Get("error");
  };
  EXPECT_EQ(raw(std::string("\0\0\0\x64op=hello\nx", 14), true), "0:truncated message");
  EXPECT_EQ(raw(std::string("\x04\0\0\0", 4), false).rfind("0:message too large", 0), 0u);
  EXPECT_EQ(raw(std::string("\0\0\0\x17garbage without equals\n", 27), false).rfind("0:malformed message", 0),
            0u);
  EXPECT_EQ(daemon.Call(Message("hello")).Get("ok"), "1");
  // The client library refuses to send what the daemon would refuse.
  faxsvc::FaxServer server;
  server.Connect("");
  EXPECT_THROW(server.Call(Message("hello").Set("pad", std::string(faxsvc::kMaxBody + 1, 'x'))),
               faxsvc::FaxError);
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
