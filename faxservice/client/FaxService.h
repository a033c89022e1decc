#pragma once
// The fax service as Brevant's code sees it: a fax server object reached
// over brevant-faxd's socket, offering both object families the program
// uses.
//
//  - The older family: FaxServer::Connect, GetPorts (FaxPort: Receive,
//    Rings, CanModify), GetJobs (FaxJob: QueueStatus, SetStatus),
//    PauseServerQueue, CreateDocument (FaxDocument, Send), and the TIFF
//    reader FaxTiff (CSID, TSID of a stored fax file).
//  - The newer family: GetDevices (FaxDevice: ReceiveMode,
//    RingsBeforeAnswer, Save, AnswerCall), Folders() with IncomingQueue and
//    OutgoingQueue (Paused, GetJobs: FaxJob with Status,
//    AvailableOperations, Cancel, Pause, Resume) and IncomingArchive and
//    OutgoingArchive (GetMessages: FaxMessage).
//
// Collections are indexed from 1 like the automation collections they
// stand for. Every call that reaches the daemon throws FaxError when it
// fails (the daemon not running, a refused request); the callers' own
// handlers turn that into their error records and messages.
//
// The service decides every request by who asks (the connecting process's
// user): a user sees and acts on their own jobs and faxes; the fax
// administrators (root and the group brevant-fax-admin) on all of them,
// and only they change devices and line settings. Documents go to the
// service as descriptors this process opened, and stored faxes come back
// the same way, so nothing is ever read with the service's rights on a
// user's behalf.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "faxservice/client/HylaFax.h"
#include "faxservice/protocol/Protocol.h"
#include "faxservice/protocol/Service.h"

namespace brevant::faxsvc {

using TimePoint = std::chrono::system_clock::time_point;

class Session;  // one connection to the daemon, shared by the objects of a server

template <class T>
class Collection {
 public:
  Collection() = default;
  explicit Collection(std::vector<T> items) : items_(std::move(items)) {}
  long Count() const { return static_cast<long>(items_.size()); }
  // 1-based; throws FaxError 9 outside 1..Count.
  T& Item(long index);
  std::vector<T>& Items() { return items_; }

 private:
  std::vector<T> items_;
};

class FaxPort {
 public:
  FaxPort(std::shared_ptr<Session> s, const Message& m);
  std::string Name() const { return name_; }
  std::string TSID() const { return tsid_; }
  std::string CSID() const { return csid_; }
  // 0 when the asking user may not change the port.
  long CanModify() const { return canModify_; }
  // Whether the port answers calls by itself (after Rings rings). A port
  // that does not is either off or answered by hand: switching Receive off
  // again returns the device to whichever of the two it was last, so a
  // round trip through automatic answering changes nothing.
  bool Receive() const { return mode_ == kReceiveAuto; }
  bool Send() const { return send_; }
  long Rings() const { return rings_; }
  long Priority() const { return priority_; }
  // The older family commits each property at once.
  void SetReceive(bool on);
  void SetRings(long rings);
  long DeviceId() const { return id_; }

 private:
  std::shared_ptr<Session> s_;
  long id_ = 0, canModify_ = 0, mode_ = 0, rings_ = 4, priority_ = 1;
  bool send_ = true;
  std::string name_, tsid_, csid_;
};

class FaxDevice {
 public:
  FaxDevice(std::shared_ptr<Session> s, const Message& m);
  long Id() const { return id_; }
  std::string DeviceName() const { return name_; }
  std::string TSID() const { return tsid_; }
  std::string CSID() const { return csid_; }
  long ReceiveMode() const { return mode_; }
  long RingsBeforeAnswer() const { return rings_; }
  const Message& Fields() const { return m_; }
  void SetReceiveMode(long mode) { mode_ = mode; }
  void SetRingsBeforeAnswer(long rings) { rings_ = rings; }
  // Commits ReceiveMode and RingsBeforeAnswer.
  void Save();
  void Refresh();
  // Answers the call ringing on this device now.
  void AnswerCall();
  // Further properties, each empty when the service does not report it
  // (CanModify: 0 when the asking user may not change the device).
  std::optional<std::string> Description() const;
  std::optional<bool> PoweredOff() const;
  std::optional<bool> SendEnabled() const;
  std::optional<bool> ReceiveEnabled() const;
  std::optional<long> Priority() const;
  std::optional<long> CanModify() const;

 private:
  void Load(const Message& m);
  std::optional<long> Number(const char* key) const;
  std::shared_ptr<Session> s_;
  Message m_;
  long id_ = 0, mode_ = 0, rings_ = 4;
  std::string name_, tsid_, csid_;
};

class FaxJob {
 public:
  FaxJob(std::shared_ptr<Session> s, const Message& m);
  std::string Id() const { return m_.Get("id"); }
  long Status() const { return static_cast<long>(m_.GetInt("status")); }
  long AvailableOperations() const { return static_cast<long>(m_.GetInt("ops")); }
  std::string QueueStatus() const { return QueueStatusText(static_cast<int>(Status())); }
  std::string RecipientNumber() const { return m_.Get("number"); }
  std::string RecipientName() const { return m_.Get("name"); }
  long Pages() const { return static_cast<long>(m_.GetInt("pages")); }
  long CurrentPage() const { return static_cast<long>(m_.GetInt("pages_sent")); }
  long Retries() const { return static_cast<long>(m_.GetInt("attempts")); }
  std::string ExtendedStatus() const { return m_.Get("error"); }
  const Message& Fields() const { return m_; }
  void Cancel();
  void Pause();
  void Resume();
  // Sends a failed or finished job again.
  void Restart();
  // Older family: 1 cancels, 2 pauses, 3 resumes.
  void SetStatus(long command);
  void Refresh();

 private:
  void Act(const std::string& action);
  std::shared_ptr<Session> s_;
  Message m_;
};

// One fax of the archive folders: received faxes (incoming) or sent ones
// (outgoing), with the transmission report of its call.
class FaxMessage {
 public:
  FaxMessage(std::shared_ptr<Session> s, const Message& m, bool incoming);
  std::string Id() const { return m_.Get("id"); }
  bool Incoming() const { return incoming_; }
  std::string CSID() const { return m_.Get("csid"); }
  std::string TSID() const { return m_.Get("tsid"); }
  std::string Subject() const { return m_.Get("subject"); }
  long Priority() const { return static_cast<long>(m_.GetInt("priority", 1)); }
  long Status() const { return static_cast<long>(m_.GetInt("status", kJobCompleted)); }
  long Pages() const { return static_cast<long>(m_.GetInt("pages")); }
  std::string RecipientName() const { return m_.Get("name"); }
  std::string RecipientFaxNumber() const { return m_.Get("number"); }
  std::string SenderName() const { return m_.Get("sender_name"); }
  std::string SenderFaxNumber() const { return m_.Get("sender_fax"); }
  // Zero time point when unknown.
  TimePoint TransmissionStart() const { return Time("started"); }
  TimePoint TransmissionEnd() const { return Time("ended"); }
  TimePoint SubmissionTime() const { return Time("submitted"); }
  TimePoint ScheduledTime() const { return Time("scheduled"); }
  TimePoint OriginalScheduledTime() const { return Time("original_scheduled"); }
  // The transmission report.
  double DurationSeconds() const { return m_.GetReal("duration"); }
  long BitRate() const { return static_cast<long>(m_.GetInt("bitrate")); }
  std::string Result() const { return m_.Get("result"); }
  // Full path of the stored TIFF, and its file name. The folders belong to
  // the service: read the fax through OpenTiff or CopyTiff.
  std::string TiffPath() const { return m_.Get("path"); }
  std::string FileName() const;
  // The stored TIFF, opened for reading by the service and handed over
  // (the caller closes it); throws FaxError when the fax is gone or not the
  // caller's.
  int OpenTiff() const;
  // Copies the fax's TIFF to the destination, overwriting, with this
  // process's rights; throws FaxError.
  void CopyTiff(const std::string& destination) const;
  const Message& Fields() const { return m_; }

 private:
  TimePoint Time(const char* key) const;
  std::shared_ptr<Session> s_;
  Message m_;
  bool incoming_;
};

class FaxQueue {
 public:
  FaxQueue(std::shared_ptr<Session> s, bool incoming) : s_(std::move(s)), incoming_(incoming) {}
  Collection<FaxJob> GetJobs();
  // The outgoing queue's paused state (the incoming queue is never paused).
  bool Paused();
  void SetPaused(bool paused);

 private:
  std::shared_ptr<Session> s_;
  bool incoming_;
};

class FaxArchive {
 public:
  FaxArchive(std::shared_ptr<Session> s, bool incoming) : s_(std::move(s)), incoming_(incoming) {}
  Collection<FaxMessage> GetMessages();
  // The folder the daemon keeps this archive's TIFF files in.
  std::string ArchiveFolder();

 private:
  std::shared_ptr<Session> s_;
  bool incoming_;
};

class FaxFolders {
 public:
  explicit FaxFolders(std::shared_ptr<Session> s)
      : IncomingQueue(s, true),
        OutgoingQueue(s, false),
        IncomingArchive(s, true),
        OutgoingArchive(s, false) {}
  FaxQueue IncomingQueue;
  FaxQueue OutgoingQueue;
  FaxArchive IncomingArchive;
  FaxArchive OutgoingArchive;
};

// The fax document of the older family: set its properties, then Send.
class FaxDocument {
 public:
  FaxDocument(std::shared_ptr<Session> s, std::string file) : FileName(std::move(file)), s_(std::move(s)) {}
  // Submits one fax to the recipient; returns the job id. Throws FaxError when
  // the daemon refuses it (bad number, not a fax document, queue full).
  long Send();

  std::string FileName;
  // The fax image the service is handed for FileName (a document the client
  // turned into one); FileName itself when empty. The service takes fax
  // images only; FileName still names the document (a ".txt" name is the
  // blank stand-in of a fax that is only its cover page).
  std::string ImagePath;
  std::string CoverpageNote, CoverpageSubject, CoverPageName, DisplayName;
  bool SendCoverpage = false;
  bool ServerCoverpage = false;
  std::string RecipientName, RecipientAddress, FaxNumber;
  long DiscountSend = 0;
  std::string BillingCode, SenderCompany, SenderDepartment, EmailAddress, SenderFax, SenderHomePhone,
      SenderName, SenderOffice, SenderOfficePhone, SenderAddress, SenderTitle;
  long Priority = 1;

 private:
  std::shared_ptr<Session> s_;
};

// What the caller hands the client: the fax server to use (brevant-faxd on
// this machine unless server.hylafax names a HylaFAX server) and where the
// failures the client handles itself are reported.
struct ClientSettings {
  FaxServerSettings server;
  ErrorSink errors;
};

class FaxServer {
 public:
  // brevant-faxd on this machine.
  FaxServer();
  explicit FaxServer(ClientSettings settings);
  ~FaxServer();
  // The fax service the settings name, as a server object bound to it but
  // not yet connected; null (and *why) when no service answers.
  static std::shared_ptr<FaxServer> Running(const ClientSettings& settings, std::string* why = nullptr);
  // Connects to the fax service the settings name (the machine name is
  // the server's name; for brevant-faxd only the local machine has one).
  // Throws FaxError when the service does not answer.
  void Connect(const std::string& machineName);
  void Disconnect();
  bool Connected() const;
  std::string ServerName() const { return serverName_; }

  // Older family.
  Collection<FaxPort> GetPorts();
  Collection<FaxJob> GetJobs();  // the outgoing queue
  std::shared_ptr<FaxDocument> CreateDocument(const std::string& file);
  bool PauseServerQueue();
  void SetPauseServerQueue(bool paused);

  // Newer family.
  Collection<FaxDevice> GetDevices();
  FaxFolders Folders();

  // FaxSecurity: the access rights the service grants the connected user
  // (AccessRight bits; empty when the service does not say), and whether
  // they are a fax administrator.
  std::optional<long> GrantedRights() const;
  bool Administrator() const { return hello_.GetInt("admin") != 0; }

  // The raw request channel, for tools (the monitor, tests).
  Message Call(const Message& request);
  // A list request followed over all its pages: one reply with every item
  // ("count", "1.x", ...), however many the service holds.
  Message CallList(const Message& request);
  // A stored fax of the received (incoming) or sent archive by its id,
  // opened by the service and handed over; the caller closes it. Throws
  // FaxError when it is gone or not the caller's.
  int OpenFax(bool incoming, const std::string& id);

 private:
  std::shared_ptr<Session> NewSession() const;
  ClientSettings settings_;
  std::shared_ptr<Session> s_;      // once connected
  std::shared_ptr<Session> bound_;  // Running's connection, until Connect takes it
  std::string serverName_;
  Message hello_;
};

// The file view of one archive folder for this user (the older family
// reads faxes as files): every fax of the folder the service lets this
// user read is written into `folder` under the service's file name, with
// the fax's time as its modification time; files of faxes no longer listed
// go. Faxes already there are not fetched again. Returns how many files the
// folder holds; throws FaxError when the service cannot be asked.
long MirrorArchive(FaxServer& server, bool incoming, const std::string& folder);

// The older family's TIFF reader over a stored fax file.
class FaxTiff {
 public:
  // Opens the file; throws FaxError when it is not a fax TIFF.
  void SetImage(const std::string& path);
  std::string Image() const { return path_; }
  std::string CSID() const { return Value("CSID"); }
  std::string TSID() const { return Value("TSID"); }
  std::string RecipientName() const { return Value("RecipientName"); }
  std::string RecipientNumber() const { return Value("RecipientNumber"); }
  std::string SenderName() const { return Value("SenderName"); }
  std::string ReceiveTime() const { return Value("Time"); }
  long Pages() const { return pages_; }

 private:
  std::string Value(const char* name) const;
  std::string path_, description_;
  long pages_ = 0;
};

}  // namespace brevant::faxsvc
