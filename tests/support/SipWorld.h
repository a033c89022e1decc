#pragma once
// A SIP provider on 127.0.0.1 for tests: Kamailio as registrar (digest
// authentication against a users table written here) and proxy between its
// registered users, on a free port, with its configuration written by the
// test and stopped with the world. A user's number (DID) routes to that
// user; further numbers can route to a user too (a number the user does
// not answer). The number "5550503" is always answered "503 Service
// Unavailable" by the provider itself. Optionally Kamailio shortens every
// call's session timer.
#include <string>
#include <utility>
#include <vector>

#include "platform/process/ChildProcess.h"

namespace brevant::test {

struct SipUser {
  std::string user, password;
  std::vector<std::string> numbers;  // numbers that reach this user
};

class SipWorld {
 public:
  struct Options {
    int sessionSeconds = 0;  // > 0: Session-Expires and Min-SE of every new call, set by the proxy
    // Numbers sent straight on to a fixed "host:port" (a far end that does
    // not register, such as a SIPp scenario).
    std::vector<std::pair<std::string, std::string>> routes;
  };
  // dir: a folder of the test's own for the configuration, users table and log.
  SipWorld(const std::string& dir, std::vector<SipUser> users, Options options);
  SipWorld(const std::string& dir, std::vector<SipUser> users) : SipWorld(dir, std::move(users), Options{}) {}
  ~SipWorld();

  bool Running() const { return running_; }
  int Port() const { return port_; }
  std::string Registrar() const { return "127.0.0.1:" + std::to_string(port_); }
  // Stops the provider (the registrar goes away) and starts it again on
  // the same port, with no registrations.
  void Stop();
  bool Start();
  std::string Log() const;

  // A UDP port on 127.0.0.1 nobody uses now; whether someone took it
  // within the time (a far end started by the test).
  static int FreeUdpPort();
  static bool WaitUdpBound(int port, double seconds);

 private:
  void WriteConfig() const;

  std::string dir_;
  std::vector<SipUser> users_;
  Options options_;
  int port_;
  bool running_ = false;
  platform::ChildProcess kamailio_;
};

}  // namespace brevant::test
