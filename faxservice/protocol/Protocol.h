#pragma once
// The fax service's wire format. A client and brevant-faxd exchange frames
// over a Unix stream socket: a 4-byte big-endian body length, then the body.
// A body is a list of "key=value" lines; "\" escapes a newline ("\n") and
// itself ("\\"). A request's first field is "op"; a reply's is "ok" ("1" or
// "0", with "error" holding the reason). Lists in a reply use numbered keys
// ("count", then "1.status", "2.status", ...). A frame may carry one open
// file descriptor (SCM_RIGHTS): the document of a "submit" or "call", or the
// fax a "fax_open" hands back. docs/fax-service.md lists the operations.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/error/Error.h"

namespace brevant::faxsvc {

// Largest body either side accepts; a longer frame is refused and the
// connection closed.
constexpr std::size_t kMaxBody = 1u << 20;
// A connection that sends no request for this long is closed by the
// service; clients reconnect before reusing a connection idle for long.
constexpr long kIdleTimeoutMs = 60000;

// An ordered list of fields with lookup by key in constant time. Keys are
// unique: setting a key again replaces its value in place.
class Message {
 public:
  Message() = default;
  explicit Message(std::string op) { Set("op", std::move(op)); }

  Message& Set(std::string_view key, std::string value);
  Message& Set(std::string_view key, long long value) { return Set(key, std::to_string(value)); }
  Message& Set(std::string_view key, long value) { return Set(key, std::to_string(value)); }
  Message& Set(std::string_view key, int value) { return Set(key, std::to_string(value)); }
  Message& Set(std::string_view key, const char* value) { return Set(key, std::string(value)); }
  Message& SetReal(std::string_view key, double value);
  bool Has(std::string_view key) const;
  // "" / fallback when absent or not a number.
  std::string Get(std::string_view key) const;
  long long GetInt(std::string_view key, long long fallback = 0) const;
  double GetReal(std::string_view key, double fallback = 0) const;

  // The "i.name" fields of list entry i (1-based), as a message of their own.
  Message Item(int i) const;
  // Every list entry 1..count at once (one pass over the fields).
  std::vector<Message> Items() const;
  // Appends every field of item as "i.name".
  void AddItem(int i, const Message& item);

  const std::vector<std::pair<std::string, std::string>>& Fields() const { return fields_; }
  std::size_t Size() const { return fields_.size(); }

  std::string Encode() const;
  // False on a body that is not a list of key=value lines, that names a key
  // twice, or that has more than maxFields fields.
  static bool Decode(std::string_view body, Message* out, std::size_t maxFields = SIZE_MAX);

 private:
  const std::string* Find(std::string_view key) const;
  std::vector<std::pair<std::string, std::string>> fields_;
  std::unordered_map<std::string, std::size_t> index_;
};

// A job's status (the newer family's values), as the service stores it
// and reports it in "status".
enum JobStatus : int {
  kJobPending = 1,
  kJobInProgress = 2,
  kJobFailed = 8,
  kJobPaused = 16,
  kJobNoLine = 32,
  kJobRetrying = 64,
  kJobRetriesExceeded = 128,
  kJobCompleted = 256,
  kJobCanceled = 512,
  kJobCanceling = 1024,
};
// What a client may do to a job ("ops": the AvailableOperations bits).
enum JobOperation : int {
  kOpView = 1,
  kOpPause = 2,
  kOpResume = 4,
  kOpRestart = 8,
  kOpDelete = 16,
};
// How a line answers calls ("receive_mode").
enum ReceiveMode : int { kReceiveOff = 0, kReceiveAuto = 1, kReceiveManual = 2 };

// Why a request failed: the "errno" of a refusal, which the client raises
// as the program's run-time error of that number with the reply's "error"
// text. Each number means one thing on either side of the socket; those
// the layer over Linux also reports under are its own.
enum ErrorNumber : long {
  // A request the service cannot carry out as asked: a field out of range,
  // a job or line that does not exist (or is not the caller's), a job in a
  // state that does not allow the action, a device that does not answer.
  kErrRefused = platform::kErrInvalidCall,
  // A document larger than the service takes.
  kErrTooLarge = 7,
  // A document that is no fax image, or no regular file.
  kErrNotFaxDocument = platform::kErrTypeMismatch,
  // No document where one is needed: none handed over, or a stored fax
  // that is gone.
  kErrNoDocument = platform::kErrFileNotFound,
  // No room: the user's share of the queue, or the service's disk.
  kErrNoRoom = 61,
  // A request only fax administrators may make.
  kErrAdministratorsOnly = platform::kErrPermission,
  // The service cannot write its own files (the queue, the archives).
  kErrServiceFiles = platform::kErrPathFileAccess,
  // A request the service does not offer (an unknown "op", or one a
  // HylaFAX server has no counterpart for).
  kErrNotOffered = 438,
  // The fax service (brevant-faxd or a HylaFAX server) cannot be reached,
  // or stopped answering.
  kErrServiceUnreachable = 462,
};

enum class FrameResult { Ok, Closed, Truncated, Oversized, TimedOut, Error };

// Writes one frame, with an open descriptor attached when passFd >= 0 (the
// receiver gets its own copy; the caller keeps and closes passFd). False
// when the peer is gone.
bool WriteFrame(int fd, const std::string& body, int passFd = -1);
// Reads one frame, waiting at most timeoutMs for its first byte (< 0: no
// limit), at most partMs between later bytes and at most frameMs for the
// whole frame once it began. Closed: the peer ended cleanly before a frame
// began; Truncated: it ended or stalled in the middle. A descriptor the
// frame carried goes to *receivedFd when given (-1 when none), else it is
// closed; further descriptors are always closed.
FrameResult ReadFrame(int fd, std::string* body, long timeoutMs, long partMs = 5000,
                      int* receivedFd = nullptr, long frameMs = 30000);

// The daemon's socket: BREVANT_FAXD_SOCKET, else "faxd.sock" in
// BREVANT_RUNTIME_DIR (a test world or a portable run), else the machine's
// /run/brevant-faxd/faxd.sock.
std::string DefaultSocketPath();

// Connects to a Unix socket; -1 with *error set when nobody listens there.
int ConnectSocket(const std::string& path, std::string* error);

}  // namespace brevant::faxsvc
