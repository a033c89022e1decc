// brevant-faxd's SIP lines at a real provider (Kamailio on 127.0.0.1): one
// service with three lines, each its own SIP account, faxes from one line
// to another's number. What the far end received is compared pixel for
// pixel with what was sent; the transmission reports and the lines' status
// say how each fax travelled.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "faxservice/client/FaxService.h"
#include "tests/faxservice/FaxTestSupport.h"
#include "tests/modem/ModemTestSupport.h"
#include "tests/support/SipWorld.h"

using brevant::faxsvc::Message;
using namespace brevant;
using namespace brevant::test;

namespace {

// carol's line takes no T.38: a call offering only T.38 is refused (488).
const std::vector<SipUser> kUsers = {
    {"alice", "secretA", {"5551001"}}, {"bob", "secretB", {"5552002"}}, {"carol", "secretC", {"5553003"}}};

// A UDP socket bound to address:port; -1 when the port is taken.
int BoundUdp(const char* address, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = inet_addr(address);
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  close(fd);
  return -1;
}

// The media of calls dialled behind SipWorld::kRelayMedia: the provider
// points each end at 127.0.0.2 on the other's port; the relay takes a
// datagram from 127.0.0.1:Q to 127.0.0.2:P and passes it on from
// 127.0.0.2:Q to 127.0.0.1:P, losing each with the probability `loss`
// (seeded, so a run can be repeated). It stops after `seconds` at most.
class LossyRelay {
 public:
  LossyRelay(int first, int last, unsigned seed, double seconds) : random_(seed) {
    for (int port = first; port <= last; ++port)
      if (int fd = BoundUdp("127.0.0.2", port); fd >= 0) fds_[port] = fd;
    thread_ = std::thread([this, seconds] { Run(seconds); });
  }
  ~LossyRelay() {
    stop_ = true;
    thread_.join();
    for (auto [port, fd] : fds_) close(fd);
  }
  bool Bound(int ports) const { return static_cast<int>(fds_.size()) == ports; }
  std::atomic<double> loss{0};
  std::atomic<long> passed{0}, lost{0};

 private:
  void Run(double seconds) {
    std::vector<pollfd> polls;
    std::vector<int> ports;
    for (auto [port, fd] : fds_) polls.push_back({fd, POLLIN, 0}), ports.push_back(port);
    std::uniform_real_distribution<double> dice(0, 1);
    char buf[2048];
    for (auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
         !stop_ && std::chrono::steady_clock::now() < end;) {
      if (poll(polls.data(), polls.size(), 50) <= 0) continue;
      for (std::size_t i = 0; i < polls.size(); ++i) {
        if (!(polls[i].revents & POLLIN)) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(polls[i].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        auto out = fds_.find(ntohs(from.sin_port));
        if (n <= 0 || out == fds_.end()) continue;
        if (dice(random_) < loss) {
          ++lost;
          continue;
        }
        from.sin_port = htons(static_cast<uint16_t>(ports[i]));
        from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(out->second, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
        ++passed;
      }
    }
  }
  std::map<int, int> fds_;  // port on 127.0.0.2 -> its socket
  std::mt19937 random_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class SipLines : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(provider_.Running()) << provider_.Log();
    ASSERT_TRUE(daemon_.Start());
    ASSERT_EQ(daemon_.Call(Message("line_remove").Set("id", 1)).Get("ok"), "1");
    daemon_.Call(Message("line_set").Set("retry_interval", "0").Set("retries", "1").Set("ring_seconds", "1"));
  }
  // A SIP line of the user; its id once it registered.
  std::string AddLine(const SipUser& u, Message extra = Message("line_add")) {
    // Each line its own media ports, away from other tests running now.
    static int next = 30000 + (getpid() % 300) * 60;
    next += 20;
    extra.Set("kind", "sip")
        .Set("registrar", provider_.Registrar())
        .Set("user", u.user)
        .Set("password", u.password)
        .Set("number", u.numbers[0])
        .Set("sip_port", "0")
        .Set("local_address", "127.0.0.1")
        .Set("pace", "8")
        .Set("rings", "1");
    if (!extra.Has("ports")) {
      extra.Set("ports", std::to_string(next) + "-" + std::to_string(next + 19));
      ports_ = {ports_.first ? ports_.first : next, next + 19};
    }
    Message r = daemon_.Call(extra);
    EXPECT_EQ(r.Get("ok"), "1") << r.Get("error");
    return r.Get("id");
  }
  Message LineOf(const std::string& id) {
    for (const Message& line : daemon_.Call(Message("lines")).Items())
      if (line.Get("id") == id) return line;
    return Message();
  }
  bool Registered(const std::string& id) {
    return WaitFor([&] { return LineOf(id).Get("status").rfind("ready: registered", 0) == 0; }, 15);
  }
  // Only `line` places calls.
  void SendOn(const std::vector<std::string>& lines, const std::string& line) {
    for (const std::string& l : lines)
      daemon_.Call(Message("line_update").Set("id", l).Set("send_enabled", l == line ? "1" : "0"));
  }
  Message Job(const std::string& id) { return daemon_.Call(Message("job").Set("id", id)).Item(1); }
  std::string Submit(const std::vector<faxsvc::FaxPage>& pages, const std::string& number) {
    std::string path = world_.Root() + "/doc-" + number + ".tif", why;
    EXPECT_TRUE(faxsvc::WriteFaxTiff(path, pages, "", &why)) << why;
    return daemon_.Call(Message("submit").Set("file", path).Set("number", number).Set("name", "Test"))
        .Get("id");
  }
  // The job once done or failed for good.
  Message Settled(const std::string& id) {
    Message job;
    WaitFor(
        [&] {
          const long long s = (job = Job(id)).GetInt("status");
          return s == faxsvc::kJobCompleted || s == faxsvc::kJobFailed || s == faxsvc::kJobRetriesExceeded;
        },
        settleSeconds_);
    return job;
  }
  // Sends the pages to the number: the fax is sent, its report says how it
  // travelled ("T.38", "G.711"), and the pages the far end stored are the
  // pages sent.
  void ExpectSent(const std::vector<faxsvc::FaxPage>& pages, const std::string& number,
                  const std::string& how) {
    ExpectArrived(Settled(Submit(pages, number)), pages, how);
  }
  void ExpectArrived(const Message& job, const std::vector<faxsvc::FaxPage>& pages, const std::string& how) {
    ASSERT_EQ(job.GetInt("status"), faxsvc::kJobCompleted) << job.Get("error") << Events();
    const Message sent = daemon_.Archive("out").Items().back();
    EXPECT_EQ(sent.GetInt("pages"), static_cast<long long>(pages.size()));
    EXPECT_NE(sent.Get("modem").find("(" + how), std::string::npos) << sent.Get("modem");
    std::vector<Message> in;
    ASSERT_TRUE(WaitFor([&] { return (in = daemon_.Archive("in").Items()).size() > received_; }, 20));
    received_ = in.size();
    EXPECT_TRUE(SamePages(pages, ReadPages(in.back().Get("path"))));
  }
  std::string Events() {
    std::string all;
    for (const Message& e : daemon_.Call(Message("events")).Items()) all += e.Get("text") + "\n";
    return all;
  }
  // How often the event history says `text`.
  int Said(const std::string& text) {
    const std::string all = Events();
    int n = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
  }

  // A T.38 fax of `count` pages from alice to bob through a relay that
  // loses 10 % of the datagrams each way, while the provider refreshes the
  // session every 2 s: every page confirmed and arriving whole.
  void LossyT38Fax(int count) {
    const std::string a = AddLine(kUsers[0]), b = AddLine(kUsers[1]);
    for (const std::string& l : {a, b}) ASSERT_TRUE(Registered(l)) << LineOf(l).Get("status");
    SendOn({a, b}, a);
    auto relay = Relay(0.10);
    const auto start = std::chrono::steady_clock::now();
    ExpectSent(TestPages(count, false), std::string(SipWorld::kRelayMedia) + "5552002", "T.38");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double share = static_cast<double>(relay->lost) / static_cast<double>(relay->lost + relay->passed);
    EXPECT_GT(share, 0.07);
    EXPECT_LT(share, 0.13);
    EXPECT_NE(provider_.Log().find("session refresh: UPDATE"), std::string::npos);
    std::printf("%d pages over T.38, %ld of %ld datagrams lost (%.1f %%): %.1f s\n", count,
                relay->lost.load(), relay->lost + relay->passed, 100 * share, seconds);
  }
  // A relay that carries the media of every line added, losing `loss`.
  std::unique_ptr<LossyRelay> Relay(double loss, unsigned seed = 30) {
    auto relay = std::make_unique<LossyRelay>(ports_.first, ports_.second, seed, 300);
    EXPECT_TRUE(relay->Bound(ports_.second - ports_.first + 1));
    relay->loss = loss;
    return relay;
  }

  TestWorld world_;
  // Every call's session is refreshed (UPDATE) every 2 s.
  SipWorld provider_{world_.Root(), kUsers, {.sessionSeconds = 4}};
  FaxDaemon daemon_{world_};
  std::size_t received_ = 0;
  double settleSeconds_ = 120;
  std::pair<int, int> ports_{0, 0};  // the media ports of the lines added
};

}  // namespace

TEST_F(SipLines, FaxesGoAsT38BothWaysAndAsG711WhereT38IsRefusedAndTheNextCallStartsThatWay) {
  // bob's line first has a wrong password: the registrar's reason is its
  // status, and the password is in no reply and not in the database.
  const std::string a = AddLine(kUsers[0]), b = AddLine({"bob", "not-bobs", {"5552002"}});
  const std::string c = AddLine(kUsers[2], Message("line_add").Set("t38", "off"));
  EXPECT_TRUE(WaitFor(
      [&] { return LineOf(b).Get("status").find("failed: 401 Unauthorized") != std::string::npos; }, 15))
      << LineOf(b).Get("status");
  const Message lines = daemon_.Call(Message("lines"));
  EXPECT_EQ(lines.Encode().find("not-bobs"), std::string::npos);
  EXPECT_EQ(LineOf(b).Get("password"), "set");
  EXPECT_EQ(TestWorld::ReadFile(daemon_.StateDir() + "/faxd.db").find("not-bobs"), std::string::npos);
  const std::string secret = daemon_.StateDir() + "/secrets/line-" + b;
  struct stat st {};
  ASSERT_EQ(::stat(secret.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  daemon_.Call(Message("line_update").Set("id", b).Set("password", "secretB"));
  for (const std::string& l : {a, b, c}) ASSERT_TRUE(Registered(l)) << LineOf(l).Get("status");

  const auto pages = TestPages(2, false);
  SendOn({a, b, c}, a);
  ExpectSent(pages, "5552002", "T.38");
  SendOn({a, b, c}, b);
  ExpectSent(pages, "5551001", "T.38");
  // carol refuses T.38: the fax goes as G.711, and so does the next one,
  // without asking for T.38 first.
  SendOn({a, b, c}, a);
  ExpectSent(pages, "5553003", "G.711");
  EXPECT_EQ(LineOf(a).Get("t38_memory"), "5551001 T.38, 5552002 T.38, 5553003 G.711");
  EXPECT_EQ(daemon_.Call(Message("devices")).Get("1.t38_memory"), LineOf(a).Get("t38_memory"));
  ExpectSent(pages, "5553003", "G.711");
  EXPECT_EQ(Said("5553003 did not fax over T.38 before: calling it with G.711 audio"), 1) << Events();
  // Once carol takes T.38, she asks for it on the caller's fax tones: the
  // audio call moves to T.38 and the number is T.38 again.
  const int before = Said("line " + c + ": ready: registered");
  daemon_.Call(Message("line_update").Set("id", c).Set("t38", "on"));
  ASSERT_TRUE(WaitFor([&] { return Said("line " + c + ": ready: registered") > before; }, 15)) << Events();
  ExpectSent(pages, "5553003", "T.38");
  EXPECT_NE(LineOf(a).Get("t38_memory").find("5553003 T.38"), std::string::npos);

  // A provider that answers 503: tried again as the retry rules say, then
  // failed with the provider's answer, and nothing arrived.
  Message job = Settled(Submit(pages, "5550503"));
  EXPECT_EQ(job.GetInt("status"), faxsvc::kJobRetriesExceeded);
  EXPECT_EQ(job.Get("error"), "provider: 503 Service Unavailable");
  EXPECT_EQ(daemon_.Archive("in").Items().size(), received_);
  // A line removed takes its password with it.
  daemon_.Call(Message("line_remove").Set("id", b));
  EXPECT_NE(::stat(secret.c_str(), &st), 0);
}

TEST_F(SipLines, AFarEndThatHangsUpMidFaxIsAFailedAttemptThatNamesTheConfirmedPages) {
  const std::string a = AddLine(kUsers[0]), b = AddLine(kUsers[1]);
  for (const std::string& l : {a, b}) ASSERT_TRUE(Registered(l)) << LineOf(l).Get("status");
  SendOn({a, b}, a);
  const auto pages = TestPages(3, false);
  const std::string id = Submit(pages, "5552002");
  // bob's side hangs up (its call cancelled) once alice's has page 1 confirmed.
  ASSERT_TRUE(WaitFor([&] { return Job(id).GetInt("pages_sent") >= 1; }, 60));
  std::string answered;
  for (const Message& e : daemon_.Call(Message("events")).Items())
    if (e.Get("kind") == "answered") answered = e.Get("job_id");
  daemon_.Call(Message("job_op").Set("id", answered).Set("action", "cancel"));
  // The cut call is a failed attempt that names the pages confirmed, never
  // "done"; the retry brings the pages not confirmed, so the far end has
  // each page exactly once.
  Message job = Settled(id);
  ASSERT_EQ(job.GetInt("status"), faxsvc::kJobCompleted) << job.Get("error") << Events();
  EXPECT_EQ(Said("fax to 5552002: the far end hung up (BYE); pages confirmed: 1 (attempt 1, trying again "
                 "from page 2)"),
            1)
      << Events();
  EXPECT_EQ(job.GetInt("attempts"), 2);
  EXPECT_EQ(job.Get("attempt_pages"), "attempt 1: page 1; attempt 2: pages 2-3");
  EXPECT_EQ(daemon_.Archive("out").Items().back().Get("result"),
            "OK (attempt 1: page 1; attempt 2: pages 2-3)");
  std::vector<Message> in;
  ASSERT_TRUE(WaitFor([&] { return (in = daemon_.Archive("in").Items()).size() == 2; }, 20));
  auto arrived = ReadPages(in[0].Get("path"));
  for (auto& page : ReadPages(in[1].Get("path"))) arrived.push_back(std::move(page));
  EXPECT_TRUE(SamePages(pages, arrived)) << arrived.size() << " pages arrived";
}

TEST_F(SipLines, AT38FaxArrivesWholeThroughTenPercentLossEachWayAndSessionRefreshes) {
  LossyT38Fax(3);
}

// By hand (--gtest_also_run_disabled_tests): the long version, 40 pages.
TEST_F(SipLines, DISABLED_FortyPagesOverT38ThroughTenPercentLoss) {
  settleSeconds_ = 1200;
  LossyT38Fax(40);
}

TEST_F(SipLines, FailuresEndWithAClearStatusOrResultAndRetryWithoutSendingAPageTwice) {
  // alice and bob check every second that the registrar is there.
  const Message quick = Message("line_add").Set("keepalive", "1");
  const std::string a = AddLine(kUsers[0], quick), b = AddLine(kUsers[1], quick);
  for (const std::string& l : {a, b}) ASSERT_TRUE(Registered(l)) << LineOf(l).Get("status");
  const auto page = TestPages(1, false);

  {
    SCOPED_TRACE("T.38 agreed, but nothing gets through");
    SendOn({a, b}, a);
    daemon_.Call(Message("line_set").Set("retry_interval", "2"));
    auto relay = Relay(1.0);
    const std::string number = std::string(SipWorld::kRelayMedia) + "5552002";
    const std::string id = Submit(page, number);
    ASSERT_TRUE(WaitFor([&] { return Job(id).GetInt("status") == faxsvc::kJobRetrying; }, 60)) << Events();
    relay->loss = 0;
    EXPECT_EQ(LineOf(a).Get("t38_memory"), number + " G.711");
    // The next attempt calls with audio.
    ExpectArrived(Settled(id), page, "");
    EXPECT_EQ(Said(number + " did not fax over T.38 before: calling it with G.711 audio"), 1) << Events();
    daemon_.Call(Message("line_set").Set("retry_interval", "0"));
  }
  {
    SCOPED_TRACE("the one media port of the range in use");
    int port = 0, taken = -1;
    for (int tries = 0; tries < 20 && taken < 0; ++tries)
      taken = BoundUdp("127.0.0.1", port = SipWorld::FreeUdpPort() & ~1);
    ASSERT_GE(taken, 0);
    const std::string range = std::to_string(port) + "-" + std::to_string(port + 1);
    const std::string c = AddLine(kUsers[2], Message("line_add").Set("ports", range));
    ASSERT_TRUE(Registered(c)) << LineOf(c).Get("status");
    SendOn({a, b, c}, c);
    const Message job = Settled(Submit(page, "5552002"));
    EXPECT_EQ(job.GetInt("status"), faxsvc::kJobRetriesExceeded);
    EXPECT_EQ(job.GetInt("attempts"), 2);
    EXPECT_EQ(job.Get("error"), "no free media port in " + range);
    close(taken);
    daemon_.Call(Message("line_remove").Set("id", c));
  }
  {
    SCOPED_TRACE("the registrar goes away and comes back");
    SendOn({a, b}, a);
    provider_.Stop();
    const std::string gone = "failed: cannot reach the registrar";
    for (const std::string& l : {a, b})
      EXPECT_TRUE(WaitFor([&] { return LineOf(l).Get("status").find(gone) != std::string::npos; }, 10))
          << LineOf(l).Get("status");
    // A fax waits for the line; no attempt is used up meanwhile.
    const std::string id = Submit(page, "5552002");
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_EQ(Job(id).GetInt("status"), faxsvc::kJobPending);
    EXPECT_EQ(Job(id).GetInt("attempts"), 0);
    // Back, the lines register again by themselves (bob before alice sends).
    SendOn({a, b}, "");
    ASSERT_TRUE(provider_.Start());
    for (const std::string& l : {a, b}) ASSERT_TRUE(Registered(l)) << LineOf(l).Get("status");
    SendOn({a, b}, a);
    ExpectArrived(Settled(id), page, "");
  }
}

// tshark, an independent decoder, reads what the lines put on the wire: a
// T.38 call between alice and bob, and a G.711 call to carol.
TEST_F(SipLines, OnTheWireT38CarriesTheT30ExchangeWithRedundancyAndG711AnUnbrokenRtpStream) {
  const std::string a = AddLine(kUsers[0]), b = AddLine(kUsers[1]);
  const std::string c = AddLine(kUsers[2], Message("line_add").Set("t38", "off"));
  for (const std::string& l : {a, b, c}) ASSERT_TRUE(Registered(l)) << LineOf(l).Get("status");
  SendOn({a, b, c}, a);
  // The SIP messages tell tshark which ports carry T.38 and RTP.
  const std::string sip = std::to_string(provider_.Port());
  WireCapture wire(world_.Root(), "udp port " + sip + " or udp portrange " + std::to_string(ports_.first) +
                                      "-" + std::to_string(ports_.second));
  ExpectSent(TestPages(2, false), "5552002", "T.38");
  ExpectSent(TestPages(1, false), "5553003", "G.711");
  auto lines = [&](const std::string& filter, const std::vector<std::string>& fields) {
    std::vector<std::string> args{"-d", "udp.port==" + sip + ",sip", "-Y", filter, "-T", "fields"};
    for (const std::string& f : fields) args.insert(args.end(), {"-e", f});
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(wire.Read(args));
    for (std::string line; std::getline(in, line);) {
      rows.emplace_back();
      std::istringstream cells(line);
      for (std::string cell; std::getline(cells, cell, '\t');) rows.back().push_back(cell);
      rows.back().resize(fields.size());
    }
    return rows;
  };

  // T.38: the T.30 messages and training each once (a datagram that comes
  // again as redundancy is not counted again), in the order of a fax call
  // with error correction; every datagram after the first carries earlier
  // ones as redundancy.
  std::string exchange, callerPort;
  std::set<std::string> seen;
  int datagrams = 0, unprotected = 0, deepest = 0;
  const std::regex what(R"(Seq=(\d+).*(?:HDLC Reassembled: ([A-Z]+)|t30ind: \S+-(training)))");
  for (const auto& row : lines("t38", {"udp.srcport", "t38.secondary_ifp_packets", "_ws.col.Info"})) {
    std::smatch m;
    const std::string seq = std::regex_search(row[2], m, std::regex(R"(Seq=(\d+))")) ? m[1].str() : "";
    if (!seen.insert(row[0] + ":" + seq).second) continue;
    ++datagrams;
    if (std::stoi(seq) > 0 && std::atoi(row[1].c_str()) == 0) ++unprotected;
    deepest = std::max(deepest, std::atoi(row[1].c_str()));
    if (!std::regex_search(row[2], m, what)) continue;
    const std::string name = m[2].matched ? m[2].str() : m[3].str();
    if (name == "DCS") callerPort = row[0];
    if (name == "DIS" || name == "DCS" || name == "training" || name == "CFR" || name == "MCF" ||
        name == "DCN")
      exchange += (exchange.empty() ? "" : " ") + name + (row[0] == callerPort ? ">" : "<");
  }
  EXPECT_EQ(exchange, "DIS< DCS> training> CFR< training> MCF< training> MCF< DCN>");
  EXPECT_GT(datagrams, 100);
  EXPECT_EQ(unprotected, 0);
  EXPECT_EQ(deepest, 6);  // V.21 control and indicators: 6 earlier datagrams

  // G.711: PCMA both ways, each stream without a gap in its sequence.
  std::map<std::string, std::pair<long, long>> streams;  // ssrc -> last seq, packets
  int gaps = 0;
  for (const auto& row : lines("rtp", {"rtp.ssrc", "rtp.p_type", "rtp.seq"})) {
    EXPECT_EQ(row[1], "8");
    auto [it, first] = streams.try_emplace(row[0], std::atol(row[2].c_str()) - 1, 0);
    gaps += (it->second.first + 1) % 65536 != std::atol(row[2].c_str());
    it->second = {std::atol(row[2].c_str()), it->second.second + 1};
  }
  ASSERT_EQ(streams.size(), 2u);
  for (const auto& [ssrc, stream] : streams) EXPECT_GT(stream.second, 200) << ssrc;
  EXPECT_EQ(gaps, 0);
}
