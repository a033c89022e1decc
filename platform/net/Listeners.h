#pragma once
// Who listens on this machine's TCP ports. A client that is about to send a
// password to a server on the same machine must know the server is the one
// it means: any user may listen on a free port above 1023 (hfaxd's 4559),
// and would then be sent the password of whoever connects. The kernel tells
// every TCP socket's owner through its socket diagnostics (sock_diag), and
// in /proc/net/tcp and /proc/net/tcp6 where those do not answer.
#include <sys/socket.h>
#include <sys/types.h>

#include <vector>

namespace brevant::platform {

// Whether the address is one of this machine's: a loopback address
// (127.0.0.0/8, ::1, or either mapped) or an address of one of its
// interfaces.
bool IsThisMachine(const sockaddr_storage& address);

// The owners of every listening socket that a connection to `address`
// could have been accepted by: bound to its address and port, or to the
// wildcard address on its port, over IPv4 and IPv6 alike (a dual-stack
// listener takes IPv4 connections too). Empty when none is listed (the
// listener has gone, or the connection was redirected elsewhere).
std::vector<uid_t> ListenerOwners(const sockaddr_storage& address);

// The owner of the far end of a connection between two addresses of this
// machine (the socket bound to `remote` and connected to `local`); false
// when it is not listed.
bool ConnectionOwner(const sockaddr_storage& local, const sockaddr_storage& remote, uid_t* owner);

}  // namespace brevant::platform
