#pragma once
// A SIP provider on 127.0.0.1 for tests: Kamailio on a free port (its
// configuration: kamailio.cfg here), registrar with digest authentication
// against a users table, proxy that delivers a number to the user it
// belongs to. "5550503" is answered "503 Service Unavailable" by the
// provider itself. Optionally every call gets a short session timer,
// numbers lead to fixed far ends (SIPp), and rtpengine serves as the
// provider's T.38 gateway.
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
    int sessionSeconds = 0;  // > 0: Session-Expires and Min-SE of every call, set by the proxy
    std::vector<std::pair<std::string, std::string>> routes{};  // number, "host:port" of a far end
    // rtpengine (user space) as a gateway for numbers dialled behind a
    // prefix: kForceT38 turns the caller's audio offer into T.38 for the
    // called side, kDecodeT38 a T.38 offer into audio.
    bool t38Gateway = false;
  };
  static constexpr const char* kForceT38 = "9381";
  static constexpr const char* kDecodeT38 = "9382";
  // Behind this prefix each end is told to send its media to the other's
  // port on 127.0.0.2, where a test's relay carries it (or loses it).
  static constexpr const char* kRelayMedia = "9383";

  // dir: a folder of the test's own for configuration, users and logs.
  SipWorld(const std::string& dir, std::vector<SipUser> users, Options options);
  ~SipWorld();

  bool Running() const { return running_; }
  int Port() const { return port_; }
  std::string Registrar() const { return "127.0.0.1:" + std::to_string(port_); }
  // The registrar goes away; it comes back on the same port with no
  // registrations.
  void Stop();
  bool Start();
  std::string Log() const;

  // A UDP port on 127.0.0.1 nobody uses now; whether someone took it
  // within the time (a far end started by the test).
  static int FreeUdpPort();
  static bool WaitUdpBound(int port, double seconds);

 private:
  std::string dir_;
  Options options_;
  int port_;
  bool running_ = false;
  platform::ChildProcess rtpengine_, kamailio_;
};

// Captures UDP traffic on lo (dumpcap, with a capture filter such as "udp
// port 5060"); Read() stops the capture and reads it back with tshark and
// the arguments given ("-Y", "sip", "-T", "fields", ...): its output.
class WireCapture {
 public:
  WireCapture(const std::string& dir, const std::string& filter);
  std::string Read(const std::vector<std::string>& tsharkArgs);

 private:
  std::string file_;
  platform::ChildProcess dumpcap_;
};

}  // namespace brevant::test
