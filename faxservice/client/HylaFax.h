#pragma once
// A HylaFAX server as Brevant's fax service. An office runs one fax server
// (faxq over its modems, hfaxd serving clients on TCP port 4559) and every
// desktop sends through it, watches its queue and fetches the faxes it
// received. The fax server objects of FaxService.h stay the same: the
// requests they make of brevant-faxd are answered here by talking to hfaxd
// (its FTP-like client protocol: login, TZONE, JNEW/JPARM/JSUBM with the
// document stored by STOT, JOB/JKILL/JSUSP/JINTR/JREST, LIST/NLST/RETR of
// sendq, doneq, docq and recvq, ANSWER and SITE CONFIG for the modems).
//
// The settings (FaxServerSettings) are the caller's: the program reads them
// from its registry store (common/FaxServerConfig.h).
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "faxservice/protocol/Protocol.h"
#include "faxservice/protocol/Service.h"
#include "platform/fs/Files.h"

namespace brevant::faxsvc {

struct FaxServerSettings {
  bool hylafax = false;
  std::string host = "localhost";
  int port = 4559;
  std::string user;  // the login name when empty
  std::string password;
  bool passive = true;
  int timeoutMs = 30000;
  int discountStart = 20, discountEnd = 7;
  int retries = -1;  // the server's default
};

// A value as one command line: control characters become spaces, so a
// value with a line break cannot end the command and start another.
std::string OneLine(const std::string& s);

// One control connection to hfaxd, logged in. Every reply is awaited at
// most the settings' time-out. Failures throw FaxError: 462 when the
// server cannot be reached or stops answering, 70 when it refuses the
// login, 5 with the server's own text when it refuses a request.
class HylaFaxConnection {
 public:
  struct Reply {
    int code = 0;
    std::string text;                // the last line's text after the code
    std::vector<std::string> lines;  // every line as sent, the code included
  };

  explicit HylaFaxConnection(FaxServerSettings settings);
  ~HylaFaxConnection();
  HylaFaxConnection(const HylaFaxConnection&) = delete;
  HylaFaxConnection& operator=(const HylaFaxConnection&) = delete;

  // Connects and logs in (USER, PASS when asked, ADMIN with the same
  // password when one is set: a refused ADMIN only means not an
  // administrator), then TZONE GMT. A server on this machine is sent
  // nothing at all (FaxError 70) unless the port it listens on is held by
  // HylaFAX's user (uucp), root or this user: while hfaxd is not running,
  // any user may listen there and would be sent the login.
  void Open();
  void Close();
  bool IsOpen() const { return fd_.valid(); }
  bool Administrator() const { return admin_; }
  const std::string& User() const { return user_; }
  const std::string& Greeting() const { return greeting_; }

  // Sends one command line and returns the reply, whatever its code.
  Reply Command(const std::string& line);
  // The same, throwing FaxError with the server's text unless the reply is
  // a success (2xx).
  Reply Expect(const std::string& line);
  // A command answered on a data connection (LIST, NLST, RETR): its data.
  std::string Receive(const std::string& line, bool binary);
  // STOT with the file's whole content sent from fd (read with pread from
  // its start): the name the server gave the stored file.
  std::string StoreTemporary(int fd);

 private:
  Reply ReadReply();
  // Refuses (FaxError 70, connection closed) a server on this machine whose
  // port is not HylaFAX's.
  void CheckServer();
  void SendLine(const std::string& line);
  int OpenData(bool binary, int* listener);
  int AcceptData(int listener);
  [[noreturn]] void Lost(const std::string& what);
  FaxServerSettings s_;
  platform::UniqueFd fd_;
  std::string in_;  // bytes read past the last reply
  std::string user_, greeting_;
  bool admin_ = false;
  int type_ = -1;  // TYPE last set: 0 ASCII, 1 image
};

// What the fax server objects ask of a service, answered by a fax server.
class RemoteService {
 public:
  virtual ~RemoteService() = default;
  virtual void Open() = 0;
  virtual void Close() = 0;
  // A request as brevant-faxd would take it; its reply (ok=1), or FaxError.
  virtual Message Call(const Message& request, int passFd, int* receivedFd) = 0;
};

// Failures the client reports without throwing them (a HylaFAX login
// refused: the caller only learns that no fax server answered), with the
// name of the procedure that met them.
using ErrorSink = std::function<void(const FaxError& error, const std::string& source)>;

std::unique_ptr<RemoteService> MakeHylaFaxService(const FaxServerSettings& settings, ErrorSink errors = {});

// A job state letter of the server's listings (T, P, S, B, W, R, D, F) as
// a job status of the fax service (JobStatus), given the job's status text
// and tries: a failed job the user killed is cancelled.
int HylaFaxJobStatus(char state, const std::string& statusText, int tries, int maxTries);

}  // namespace brevant::faxsvc
