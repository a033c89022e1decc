#include "tests/support/SipWorld.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/support/TestWorld.h"

namespace brevant::test {
namespace {

// The proxy: REGISTER and new INVITEs need digest authentication (401 and 407),
// a called number is mapped to its user, the user's registration gives the
// way on. In-dialog requests follow the recorded route.
constexpr const char* kConfig = R"(#!KAMAILIO
debug=2
log_stderror=yes
children=2
disable_tcp=yes
listen=udp:127.0.0.1:@PORT@
mpath="/usr/lib/x86_64-linux-gnu/kamailio/modules/"
loadmodule "kex.so"
loadmodule "corex.so"
loadmodule "tm.so"
loadmodule "tmx.so"
loadmodule "sl.so"
loadmodule "rr.so"
loadmodule "pv.so"
loadmodule "maxfwd.so"
loadmodule "usrloc.so"
loadmodule "registrar.so"
loadmodule "textops.so"
loadmodule "siputils.so"
loadmodule "xlog.so"
loadmodule "db_text.so"
loadmodule "auth.so"
loadmodule "auth_db.so"
modparam("usrloc", "db_mode", 0)
modparam("registrar", "min_expires", 1)
modparam("auth_db", "db_url", "text://@DB@")
modparam("auth_db", "calculate_ha1", yes)
modparam("auth_db", "password_column", "password")
modparam("auth_db", "load_credentials", "")
modparam("rr", "append_fromtag", 1)

request_route {
  if (!mf_process_maxfwd_header("10")) { sl_send_reply("483", "Too Many Hops"); exit; }
  if (has_totag()) {
    if (loose_route()) {
      if (is_method("INVITE|UPDATE")) { route(SESSION); }
      route(RELAY);
    }
    if (is_method("ACK")) { if (t_check_trans()) { t_relay(); } exit; }
    sl_send_reply("404", "Not here");
    exit;
  }
  if (is_method("CANCEL")) { if (t_check_trans()) { route(RELAY); } exit; }
  t_check_trans();
  if (is_method("REGISTER")) {
    if (!auth_check("$fd", "subscriber", "1")) { auth_challenge("$fd", "0"); exit; }
    if (!save("location")) { sl_reply_error(); }
    exit;
  }
  if (is_method("INVITE")) {
    if (!auth_check("$fd", "subscriber", "1")) { auth_challenge("$fd", "0"); exit; }
    consume_credentials();
    record_route();
    route(SESSION);
  }
  if ($rU == "5550503") { sl_send_reply("503", "Service Unavailable"); exit; }
@NUMBERS@
  if (!lookup("location")) { sl_send_reply("404", "Not Found"); exit; }
  route(RELAY);
}

# The provider's session timer policy, for new calls and refreshes alike.
route[SESSION] {
@SESSION@}

route[RELAY] {
  if (!t_relay()) { sl_reply_error(); }
  exit;
}
)";

void Replace(std::string& s, const std::string& what, const std::string& with) {
  for (size_t at; (at = s.find(what)) != std::string::npos;) s.replace(at, what.size(), with);
}

bool PortBound(int port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool bound = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
  close(fd);
  return bound;
}

}  // namespace

bool SipWorld::WaitUdpBound(int port, double seconds) {
  for (auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
       std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(50)))
    if (PortBound(port)) return true;
  return false;
}

int SipWorld::FreeUdpPort() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

SipWorld::SipWorld(const std::string& dir, std::vector<SipUser> users, Options options)
    : dir_(dir + "/kamailio"), users_(std::move(users)), options_(options), port_(FreeUdpPort()) {
  std::filesystem::create_directories(dir_ + "/db");
  std::filesystem::create_directories(dir_ + "/run");
  WriteConfig();
  Start();
}

SipWorld::~SipWorld() { Stop(); }

void SipWorld::WriteConfig() const {
  TestWorld::WriteFile(dir_ + "/db/version", "table_name(str) table_version(int)\nsubscriber:7\nlocation:9\n");
  std::string table = "id(int,auto) username(str) domain(str) password(str) ha1(str,null) ha1b(str,null)\n";
  std::string numbers;
  int id = 0;
  for (const SipUser& u : users_) {
    table += std::to_string(++id) + ":" + u.user + ":127.0.0.1:" + u.password + ":::\n";
    for (const std::string& n : u.numbers) numbers += "  if ($rU == \"" + n + "\") { $rU = \"" + u.user + "\"; }\n";
  }
  for (const auto& [number, target] : options_.routes)
    numbers += "  if ($rU == \"" + number + "\") { $du = \"sip:" + target + "\"; route(RELAY); }\n";
  TestWorld::WriteFile(dir_ + "/db/subscriber", table);
  std::string session = "  return;\n";
  if (options_.sessionSeconds > 0) {
    std::string s = std::to_string(options_.sessionSeconds);
    session = "    remove_hf(\"Session-Expires\");\n    remove_hf(\"Min-SE\");\n"
              "    append_hf(\"Session-Expires: " + s + "\\r\\n\");\n    append_hf(\"Min-SE: " + s + "\\r\\n\");\n";
  }
  std::string config = kConfig;
  Replace(config, "@PORT@", std::to_string(port_));
  Replace(config, "@DB@", dir_ + "/db");
  Replace(config, "@SESSION@", session);
  Replace(config, "@NUMBERS@", numbers);
  TestWorld::WriteFile(dir_ + "/kamailio.cfg", config);
}

bool SipWorld::Start() {
  if (running_) return true;
  kamailio_.Start({"kamailio", "-f", dir_ + "/kamailio.cfg", "-DD", "-E", "-m", "32", "-M", "4", "-Y", dir_ + "/run"},
                  dir_, dir_ + "/kamailio.log");
  running_ = WaitUdpBound(port_, 10) && kamailio_.Running();
  return running_;
}

void SipWorld::Stop() {
  kamailio_.Kill();
  running_ = false;
}

std::string SipWorld::Log() const { return TestWorld::ReadFile(dir_ + "/kamailio.log"); }

}  // namespace brevant::test
