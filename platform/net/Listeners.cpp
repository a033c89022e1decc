#include "platform/net/Listeners.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/fs/Files.h"

namespace brevant::platform {
namespace {

constexpr const char* kListenState = "0A";  // TCP_LISTEN as the listing writes it

// An address reduced to what the listings compare: IPv4 (also when it came
// mapped into IPv6) or IPv6, and its port.
struct Endpoint {
  bool v6 = false;
  unsigned char addr[16] = {};
  unsigned port = 0;
};

bool ToEndpoint(const sockaddr_storage& a, Endpoint* e) {
  if (a.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(a);
    std::memcpy(e->addr, &in.sin_addr, 4);
    e->port = ntohs(in.sin_port);
    return true;
  }
  if (a.ss_family != AF_INET6) return false;
  const auto& in6 = reinterpret_cast<const sockaddr_in6&>(a);
  e->port = ntohs(in6.sin6_port);
  if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
    std::memcpy(e->addr, in6.sin6_addr.s6_addr + 12, 4);
  } else {
    e->v6 = true;
    std::memcpy(e->addr, in6.sin6_addr.s6_addr, 16);
  }
  return true;
}

bool Zero(const unsigned char* a, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (a[i]) return false;
  return true;
}

// The listing's hexadecimal address: each 32-bit word as the kernel holds
// it, printed as a number of this machine's byte order.
bool ParseAddress(const std::string& hex, bool v6, unsigned char* out) {
  const std::size_t words = v6 ? 4 : 1;
  if (hex.size() != words * 8) return false;
  for (std::size_t w = 0; w < words; ++w) {
    std::string part = hex.substr(w * 8, 8);
    char* end = nullptr;
    std::uint32_t value = static_cast<std::uint32_t>(std::strtoul(part.c_str(), &end, 16));
    if (!end || *end) return false;
    std::memcpy(out + w * 4, &value, 4);
  }
  return true;
}

}  // namespace

bool IsThisMachine(const sockaddr_storage& address) {
  Endpoint want;
  if (!ToEndpoint(address, &want)) return false;
  // Loopback, and the unspecified address a connection also reaches here.
  if (!want.v6 && (want.addr[0] == 127 || Zero(want.addr, 4))) return true;
  static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (want.v6 && (std::memcmp(want.addr, kLoopback6, 16) == 0 || Zero(want.addr, 16))) return true;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return true;  // cannot tell: counted as this machine, so checked
  bool mine = false;
  for (ifaddrs* i = list; i && !mine; i = i->ifa_next) {
    if (!i->ifa_addr || (i->ifa_addr->sa_family != AF_INET && i->ifa_addr->sa_family != AF_INET6)) continue;
    sockaddr_storage s{};
    std::memcpy(&s, i->ifa_addr,
                i->ifa_addr->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    Endpoint have;
    mine = ToEndpoint(s, &have) && have.v6 == want.v6 &&
           std::memcmp(have.addr, want.addr, want.v6 ? 16 : 4) == 0;
  }
  ::freeifaddrs(list);
  return mine;
}

namespace {

// One socket of a /proc/net/tcp or tcp6 listing.
struct TcpSocket {
  bool v6 = false;
  unsigned char local[16] = {}, remote[16] = {};  // network byte order; the first 4 for IPv4
  unsigned localPort = 0, remotePort = 0;
  bool listening = false;
  uid_t uid = 0;
};

// The sockets of one listing's text (with listeningOnly, those that
// listen); lines that do not parse are passed over.
std::vector<TcpSocket> ParseTcpListing(const std::string& text, bool v6, bool listeningOnly) {
  std::vector<TcpSocket> out;
  // "host:port" of the listing: the address in hexadecimal words, the port
  // a hexadecimal number.
  auto endpoint = [v6](const std::string& field, unsigned char* addr, unsigned* port) {
    std::size_t colon = field.find(':');
    if (colon == std::string::npos || colon + 1 >= field.size()) return false;
    char* end = nullptr;
    const std::string p = field.substr(colon + 1);
    const unsigned long value = std::strtoul(p.c_str(), &end, 16);
    if (!end || *end || value > 65535) return false;
    *port = static_cast<unsigned>(value);
    return ParseAddress(field.substr(0, colon), v6, addr);
  };
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    // A busy machine lists thousands of connections: the state, the only
    // field that is "0A" alone, passes over them before any parsing.
    if (listeningOnly && line.find(" 0A ") == std::string::npos) continue;
    // "sl local remote state tx:rx tr:when retransmits uid timeout inode ..."
    std::istringstream f(line);
    std::string sl, local, remote, state, queues, timer, retransmits, uid;
    if (!(f >> sl >> local >> remote >> state >> queues >> timer >> retransmits >> uid)) continue;
    TcpSocket s;
    s.v6 = v6;
    s.listening = state == kListenState;
    char* end = nullptr;
    const unsigned long owner = std::strtoul(uid.c_str(), &end, 10);
    if (!end || *end || !endpoint(local, s.local, &s.localPort) || !endpoint(remote, s.remote, &s.remotePort))
      continue;
    s.uid = static_cast<uid_t>(owner);
    out.push_back(s);
  }
  return out;
}

// The same from the kernel's socket diagnostics (sock_diag), which filter
// by state themselves and are much cheaper than the text listing on a busy
// machine; false when they do not answer.
bool Dump(bool v6, bool listeningOnly, std::vector<TcpSocket>* out) {
  UniqueFd diag(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  const int fd = diag.get();
  if (!diag) return false;
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } ask{};
  ask.header.nlmsg_len = sizeof ask;
  ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  ask.request.sdiag_family = v6 ? AF_INET6 : AF_INET;
  ask.request.sdiag_protocol = IPPROTO_TCP;
  ask.request.idiag_states = listeningOnly ? 1u << TCP_LISTEN : ~0u;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  bool done = false, ok = ::sendto(fd, &ask, sizeof ask, 0, reinterpret_cast<sockaddr*>(&kernel),
                                   sizeof kernel) == static_cast<ssize_t>(sizeof ask);
  alignas(nlmsghdr) char buf[32768];
  while (ok && !done) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    int left = static_cast<int>(n);
    ok = n > 0;
    for (auto* h = reinterpret_cast<nlmsghdr*>(buf); ok && !done && NLMSG_OK(h, left);
         h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_DONE)
        done = true;
      else if (h->nlmsg_type == NLMSG_ERROR)
        ok = false;
      if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
      const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
      TcpSocket s;
      s.v6 = v6;
      s.listening = m->idiag_state == TCP_LISTEN;
      std::memcpy(s.local, m->id.idiag_src, v6 ? 16 : 4);
      std::memcpy(s.remote, m->id.idiag_dst, v6 ? 16 : 4);
      s.localPort = ntohs(m->id.idiag_sport);
      s.remotePort = ntohs(m->id.idiag_dport);
      s.uid = m->idiag_uid;
      out->push_back(s);
    }
  }
  return ok && done;
}

std::vector<TcpSocket> Listing(bool v6, bool listeningOnly) {
  std::vector<TcpSocket> sockets;
  if (Dump(v6, listeningOnly, &sockets)) return sockets;
  std::ifstream in(v6 ? "/proc/net/tcp6" : "/proc/net/tcp");
  std::stringstream text;
  text << in.rdbuf();
  return ParseTcpListing(text.str(), v6, listeningOnly);
}

// Whether a socket's address (of either listing) is the endpoint's, or,
// with wildcard, the unspecified address that takes the endpoint's
// connections.
bool Same(const TcpSocket& s, const unsigned char* addr, const Endpoint& e, bool wildcard) {
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (!s.v6) return !e.v6 && ((wildcard && Zero(addr, 4)) || std::memcmp(addr, e.addr, 4) == 0);
  if (wildcard && Zero(addr, 16)) return true;  // "::" takes IPv4 too, unless it is IPv6 only
  if (e.v6) return std::memcmp(addr, e.addr, 16) == 0;
  return std::memcmp(addr, kMapped, 12) == 0 && std::memcmp(addr + 12, e.addr, 4) == 0;
}

}  // namespace

std::vector<uid_t> ListenerOwners(const sockaddr_storage& address) {
  std::vector<uid_t> owners;
  Endpoint want;
  if (!ToEndpoint(address, &want)) return owners;
  for (bool v6 : {false, true})
    for (const TcpSocket& s : Listing(v6, true))
      if (s.listening && s.localPort == want.port && Same(s, s.local, want, true)) owners.push_back(s.uid);
  return owners;
}

bool ConnectionOwner(const sockaddr_storage& local, const sockaddr_storage& remote, uid_t* owner) {
  Endpoint ours, theirs;
  if (!ToEndpoint(local, &ours) || !ToEndpoint(remote, &theirs)) return false;
  for (bool v6 : {false, true})
    for (const TcpSocket& s : Listing(v6, false))
      if (!s.listening && s.localPort == theirs.port && s.remotePort == ours.port &&
          Same(s, s.local, theirs, false) && Same(s, s.remote, ours, false)) {
        *owner = s.uid;
        return true;
      }
  return false;
}

}  // namespace brevant::platform
