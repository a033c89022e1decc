#include "platform/faxservice/FaxService.h"

#include <unistd.h>

#include <filesystem>
#include <mutex>

#include "common/Errors.h"
#include "platform/faxservice/FaxTiff.h"

namespace brevant::faxsvc {

namespace {
// "The remote server machine does not exist or is unavailable."
constexpr long kErrServerUnavailable = 462;
// A reply slower than this means the daemon hangs; the caller fails rather
// than waits.
constexpr long kReplyTimeoutMs = 15000;
}  // namespace

std::string QueueStatusText(int status) {
  switch (status) {
    case kJobPending: return "Pending";
    case kJobInProgress: return "Transmitting";
    case kJobPaused: return "Paused";
    case kJobRetrying: return "Retrying";
    case kJobNoLine: return "No line";
    case kJobFailed:
    case kJobRetriesExceeded: return "Failed";
    case kJobCompleted: return "Completed";
    case kJobCanceled:
    case kJobCanceling: return "Canceled";
    default: return "Unknown";
  }
}

class Session {
 public:
  explicit Session(std::string path) : path_(std::move(path)) {}
  ~Session() { Close(); }

  void Open() {
    std::lock_guard lock(mu_);
    OpenLocked();
  }

  bool IsOpen() const { return fd_ >= 0; }

  Message Call(const Message& request) {
    std::lock_guard lock(mu_);
    if (fd_ < 0) OpenLocked();
    std::string body = request.Encode();
    if (body.size() > kMaxBody) throw VbError(kErrInvalidCall, "request too large for the fax service");
    // A daemon restarted since the last call closed our socket: connect once
    // more before giving up.
    if (!WriteFrame(fd_, body)) {
      CloseLocked();
      OpenLocked();
      if (!WriteFrame(fd_, body)) {
        CloseLocked();
        throw VbError(kErrServerUnavailable, "the fax service closed the connection");
      }
    }
    std::string reply;
    FrameResult r = ReadFrame(fd_, &reply, kReplyTimeoutMs);
    if (r != FrameResult::Ok) {
      CloseLocked();
      throw VbError(kErrServerUnavailable, r == FrameResult::TimedOut
                                               ? "the fax service does not answer"
                                               : "the fax service closed the connection");
    }
    Message m;
    if (!Message::Decode(reply, &m)) throw VbError(kErrInvalidCall, "unreadable reply from the fax service");
    if (m.Get("ok") != "1")
      throw VbError(m.GetInt("errno", kErrInvalidCall), m.Get("error").empty() ? "the fax service refused the request" : m.Get("error"));
    return m;
  }

  void Close() {
    std::lock_guard lock(mu_);
    CloseLocked();
  }

 private:
  void OpenLocked() {
    if (fd_ >= 0) return;
    std::string error;
    fd_ = ConnectSocket(path_, &error);
    if (fd_ < 0) throw VbError(kErrServerUnavailable, error);
  }
  void CloseLocked() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  std::mutex mu_;
  std::string path_;
  int fd_ = -1;
};

template <class T>
T& Collection<T>::Item(long index) {
  if (index < 1 || index > Count()) throw VbError(kErrSubscript, "Subscript out of range");
  return items_[static_cast<std::size_t>(index - 1)];
}
template class Collection<FaxPort>;
template class Collection<FaxDevice>;
template class Collection<FaxJob>;
template class Collection<FaxMessage>;

namespace {
template <class T, class... Extra>
Collection<T> ListOf(const std::shared_ptr<Session>& s, const Message& reply, Extra... extra) {
  std::vector<T> items;
  long n = static_cast<long>(reply.GetInt("count"));
  for (int i = 1; i <= n; ++i) items.emplace_back(s, reply.Item(i), extra...);
  return Collection<T>(std::move(items));
}
}  // namespace

// Ports and devices --------------------------------------------------------

FaxPort::FaxPort(std::shared_ptr<Session> s, const Message& m)
    : s_(std::move(s)),
      id_(static_cast<long>(m.GetInt("id"))),
      canModify_(static_cast<long>(m.GetInt("can_modify", 1))),
      mode_(static_cast<long>(m.GetInt("receive_mode"))),
      rings_(static_cast<long>(m.GetInt("rings", 4))),
      name_(m.Get("name")),
      tsid_(m.Get("tsid")) {}

void FaxPort::SetReceive(bool on) {
  s_->Call(Message("device_set").Set("id", id_).Set("receive_mode", on ? kReceiveAuto : kReceiveOff));
  mode_ = on ? kReceiveAuto : kReceiveOff;
}

void FaxPort::SetRings(long rings) {
  s_->Call(Message("device_set").Set("id", id_).Set("rings", rings));
  rings_ = rings;
}

FaxDevice::FaxDevice(std::shared_ptr<Session> s, const Message& m) : s_(std::move(s)) { Load(m); }

void FaxDevice::Load(const Message& m) {
  id_ = static_cast<long>(m.GetInt("id"));
  mode_ = static_cast<long>(m.GetInt("receive_mode"));
  rings_ = static_cast<long>(m.GetInt("rings", 4));
  name_ = m.Get("name");
  tsid_ = m.Get("tsid");
  csid_ = m.Get("csid");
  fields_ = m;
}

std::optional<long> FaxDevice::Number(const char* key) const {
  if (!fields_.Has(key)) return std::nullopt;
  return static_cast<long>(fields_.GetInt(key));
}
std::optional<std::string> FaxDevice::Description() const {
  if (!fields_.Has("description")) return std::nullopt;
  return fields_.Get("description");
}
std::optional<bool> FaxDevice::PoweredOff() const {
  auto v = Number("powered_off");
  return v ? std::optional<bool>(*v != 0) : std::nullopt;
}
std::optional<bool> FaxDevice::SendEnabled() const {
  auto v = Number("send_enabled");
  return v ? std::optional<bool>(*v != 0) : std::nullopt;
}
std::optional<bool> FaxDevice::ReceiveEnabled() const {
  auto v = Number("receive_enabled");
  return v ? std::optional<bool>(*v != 0) : std::nullopt;
}
std::optional<long> FaxDevice::Priority() const { return Number("priority"); }
std::optional<long> FaxDevice::CanModify() const { return Number("can_modify"); }

void FaxDevice::Save() {
  s_->Call(Message("device_set").Set("id", id_).Set("receive_mode", mode_).Set("rings", rings_));
}

void FaxDevice::Refresh() {
  Message r = s_->Call(Message("devices"));
  for (int i = 1; i <= r.GetInt("count"); ++i)
    if (r.Item(i).GetInt("id") == id_) Load(r.Item(i));
}

void FaxDevice::AnswerCall() { s_->Call(Message("answer").Set("id", id_)); }

// Jobs ---------------------------------------------------------------------

FaxJob::FaxJob(std::shared_ptr<Session> s, const Message& m) : s_(std::move(s)), m_(m) {}

void FaxJob::Act(const std::string& action) {
  Message r = s_->Call(Message("job_op").Set("id", Id()).Set("action", action));
  m_ = r.Item(1);
}
void FaxJob::Cancel() { Act("cancel"); }
void FaxJob::Pause() { Act("pause"); }
void FaxJob::Resume() { Act("resume"); }
void FaxJob::Restart() { Act("restart"); }
void FaxJob::SetStatus(long command) {
  switch (command) {
    case 1: Act("cancel"); break;
    case 2: Act("pause"); break;
    case 3: Act("resume"); break;
    default: throw VbError(kErrInvalidCall, "Invalid procedure call or argument");
  }
}
void FaxJob::Refresh() { m_ = s_->Call(Message("job").Set("id", Id())).Item(1); }

// Archive messages ---------------------------------------------------------

FaxMessage::FaxMessage(std::shared_ptr<Session> s, const Message& m, bool incoming)
    : s_(std::move(s)), m_(m), incoming_(incoming) {}

TimePoint FaxMessage::Time(const char* key) const {
  double t = m_.GetReal(key);
  if (t <= 0) return TimePoint{};
  return TimePoint(std::chrono::duration_cast<TimePoint::duration>(std::chrono::duration<double>(t)));
}

void FaxMessage::CopyTiff(const std::string& destination) const {
  std::error_code ec;
  std::filesystem::copy_file(TiffPath(), destination, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) throw VbError(ec.value() == ENOENT ? kErrFileNotFound : kErrPathFileAccess,
                        "cannot copy " + TiffPath() + " to " + destination + ": " + ec.message());
}

// Folders ------------------------------------------------------------------

Collection<FaxJob> FaxQueue::GetJobs() {
  return ListOf<FaxJob>(s_, s_->Call(Message("jobs").Set("queue", incoming_ ? "in" : "out")));
}

bool FaxQueue::Paused() {
  if (incoming_) return false;
  return s_->Call(Message("queue_get")).GetInt("paused") != 0;
}

void FaxQueue::SetPaused(bool paused) {
  if (incoming_) throw VbError(kErrInvalidCall, "the incoming queue cannot be paused");
  s_->Call(Message("queue_set").Set("paused", paused ? 1 : 0));
}

Collection<FaxMessage> FaxArchive::GetMessages() {
  return ListOf<FaxMessage>(s_, s_->Call(Message("archive").Set("folder", incoming_ ? "in" : "out")), incoming_);
}

std::string FaxArchive::ArchiveFolder() {
  return s_->Call(Message("folders")).Get(incoming_ ? "store" : "archive");
}

// Documents ----------------------------------------------------------------

long FaxDocument::Send() {
  Message m("submit");
  m.Set("file", FileName)
      .Set("name", RecipientName)
      .Set("number", FaxNumber.empty() ? RecipientAddress : FaxNumber)
      .Set("subject", CoverpageSubject)
      .Set("display_name", DisplayName)
      .Set("note", CoverpageNote)
      .Set("cover", SendCoverpage ? CoverPageName : std::string())
      .Set("server_cover", ServerCoverpage ? 1 : 0)
      .Set("discount", DiscountSend)
      .Set("priority", Priority)
      .Set("billing_code", BillingCode)
      .Set("sender_company", SenderCompany)
      .Set("sender_department", SenderDepartment)
      .Set("sender_email", EmailAddress)
      .Set("sender_fax", SenderFax)
      .Set("sender_home_phone", SenderHomePhone)
      .Set("sender_name", SenderName)
      .Set("sender_office", SenderOffice)
      .Set("sender_office_phone", SenderOfficePhone)
      .Set("sender_address", SenderAddress)
      .Set("sender_title", SenderTitle);
  return static_cast<long>(s_->Call(m).GetInt("id"));
}

// Server -------------------------------------------------------------------

FaxServer::FaxServer() = default;
FaxServer::~FaxServer() = default;

void FaxServer::Connect(const std::string& machineName) {
  auto s = std::make_shared<Session>(DefaultSocketPath());
  s->Open();
  Message hello = s->Call(Message("hello"));
  s_ = std::move(s);
  serverName_ = machineName.empty() ? hello.Get("server") : machineName;
  grantedRights_.reset();
  if (hello.Has("granted_rights")) grantedRights_ = static_cast<long>(hello.GetInt("granted_rights"));
}

void FaxServer::Disconnect() {
  if (s_) s_->Close();
  s_.reset();
}

bool FaxServer::Connected() const { return s_ != nullptr; }

Message FaxServer::Call(const Message& request) {
  if (!s_) throw VbError(kErrObjectNotSet, "the fax server is not connected");
  return s_->Call(request);
}

Collection<FaxPort> FaxServer::GetPorts() { return ListOf<FaxPort>(s_, Call(Message("devices"))); }
Collection<FaxDevice> FaxServer::GetDevices() { return ListOf<FaxDevice>(s_, Call(Message("devices"))); }
Collection<FaxJob> FaxServer::GetJobs() { return ListOf<FaxJob>(s_, Call(Message("jobs").Set("queue", "out"))); }

std::shared_ptr<FaxDocument> FaxServer::CreateDocument(const std::string& file) {
  if (!s_) throw VbError(kErrObjectNotSet, "the fax server is not connected");
  return std::make_shared<FaxDocument>(s_, file);
}

bool FaxServer::PauseServerQueue() { return Call(Message("queue_get")).GetInt("paused") != 0; }
void FaxServer::SetPauseServerQueue(bool paused) { Call(Message("queue_set").Set("paused", paused ? 1 : 0)); }

FaxFolders FaxServer::Folders() {
  if (!s_) throw VbError(kErrObjectNotSet, "the fax server is not connected");
  return FaxFolders(s_);
}

// TIFF reader ----------------------------------------------------------------

void FaxTiff::SetImage(const std::string& path) {
  int pages = 0;
  std::string why;
  if (!CheckFaxTiff(path, &pages, &why)) throw VbError(kErrTypeMismatch, why);
  path_ = path;
  pages_ = pages;
  description_ = ReadDescription(path);
}

std::string FaxTiff::Value(const char* name) const { return DescriptionValue(description_, name); }

}  // namespace brevant::faxsvc
