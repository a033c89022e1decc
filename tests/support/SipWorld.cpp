#include "tests/support/SipWorld.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/support/TestWorld.h"

namespace brevant::test {
namespace {

void Replace(std::string& s, const std::string& what, const std::string& with) {
  for (size_t at; (at = s.find(what)) != std::string::npos;) s.replace(at, what.size(), with);
}

// Binds 127.0.0.1:port (0: any) for a moment: the port had, or 0 when it
// is taken.
int TryBind(int port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int had = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0
                ? ntohs(a.sin_port)
                : 0;
  close(fd);
  return had;
}

}  // namespace

bool SipWorld::WaitUdpBound(int port, double seconds) {
  for (auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
       std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(50)))
    if (!TryBind(port)) return true;
  return false;
}

int SipWorld::FreeUdpPort() {
  return TryBind(0);
}

SipWorld::SipWorld(const std::string& dir, std::vector<SipUser> users, Options options)
    : dir_(dir + "/kamailio"), options_(options), port_(FreeUdpPort()) {
  std::filesystem::create_directories(dir_ + "/db");
  std::filesystem::create_directories(dir_ + "/run");
  TestWorld::WriteFile(dir_ + "/db/version",
                       "table_name(str) table_version(int)\nsubscriber:7\nlocation:9\n");
  std::string table = "id(int,auto) username(str) domain(str) password(str) ha1(str,null) ha1b(str,null)\n";
  std::string numbers, defines;
  std::string config = TestWorld::ReadFile(SourceDir() + "/tests/support/kamailio.cfg");
  for (const SipUser& u : users) {
    table += std::to_string(&u - users.data() + 1) + ":" + u.user + ":127.0.0.1:" + u.password + ":::\n";
    for (const std::string& n : u.numbers)
      numbers += "  if ($rU == \"" + n + "\") { $rU = \"" + u.user + "\"; }\n";
  }
  for (const auto& [number, target] : options_.routes)
    numbers += "  if ($rU == \"" + number + "\") { $du = \"sip:" + target + "\"; route(RELAY); }\n";
  if (options_.sessionSeconds > 0) defines += "#!define SESSION_TIMER\n";
  if (options_.t38Gateway) {
    // User space only (no kernel table); up before Kamailio, which looks
    // for it as it starts. A call is forgotten at its BYE (by default its
    // streams would go on for 30 s: the gateway's audio would ring a line
    // that has hung up).
    int control = FreeUdpPort();
    rtpengine_.Start(
        {"rtpengine", "--config-file=none", "--foreground", "--log-stderr", "--table=-1", "--delete-delay=0",
         "--interface=127.0.0.1", "--listen-ng=127.0.0.1:" + std::to_string(control)},
        dir_, dir_ + "/rtpengine.log");
    if (!WaitUdpBound(control, 10)) return;
    defines += "#!define T38_GATEWAY\n";
    Replace(config, "@GATEWAY_PORT@", std::to_string(control));
  }
  Replace(config, "@DEFINES@", defines);
  Replace(config, "@SESSION_SECONDS@", std::to_string(options_.sessionSeconds));
  Replace(config, "@PORT@", std::to_string(port_));
  Replace(config, "@DIR@", dir_);
  Replace(config, "@NUMBERS@", numbers);
  TestWorld::WriteFile(dir_ + "/db/subscriber", table);
  TestWorld::WriteFile(dir_ + "/kamailio.cfg", config);
  Start();
}

SipWorld::~SipWorld() {
  Stop();
  rtpengine_.Kill();
}

bool SipWorld::Start() {
  if (running_) return true;
  kamailio_.Start(
      {"kamailio", "-f", dir_ + "/kamailio.cfg", "-DD", "-E", "-m", "32", "-M", "4", "-Y", dir_ + "/run"},
      dir_, dir_ + "/kamailio.log");
  running_ = WaitUdpBound(port_, 10) && kamailio_.Running();
  return running_;
}

void SipWorld::Stop() {
  kamailio_.Kill();
  running_ = false;
}

std::string SipWorld::Log() const {
  return TestWorld::ReadFile(dir_ + "/kamailio.log") + TestWorld::ReadFile(dir_ + "/rtpengine.log");
}

WireCapture::WireCapture(const std::string& dir, const std::string& filter) : file_(dir + "/wire.pcap") {
  dumpcap_.Start({"dumpcap", "-q", "-i", "lo", "-f", filter, "-w", file_}, dir, dir + "/dumpcap.log");
  for (int i = 0; i < 100 && TestWorld::ReadFile(dir + "/dumpcap.log").find("Capturing") == std::string::npos;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

std::string WireCapture::Read(const std::vector<std::string>& tsharkArgs) {
  if (dumpcap_.Running()) {
    ::kill(-dumpcap_.Pid(), SIGINT);  // dumpcap writes out what it has and ends
    dumpcap_.Wait(5000);
  }
  std::vector<std::string> args{"-r", file_};
  args.insert(args.end(), tsharkArgs.begin(), tsharkArgs.end());
  return TestWorld().RunArgs("/usr/bin/tshark", args).out;
}

}  // namespace brevant::test
