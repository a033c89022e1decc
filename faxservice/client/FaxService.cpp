#include "faxservice/client/FaxService.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <utility>

#include "faxservice/client/HylaFax.h"
#include "faxservice/protocol/FaxTiff.h"
#include "platform/fs/Files.h"

namespace brevant::faxsvc {

namespace {
// A reply slower than this means the daemon hangs; the caller fails rather
// than waits.
constexpr long kReplyTimeoutMs = 15000;

// Writes everything readable from `from` (from its start) into a new file
// that then takes the name destination: a link or file another user left
// at that name is replaced, never followed or written through. A private
// copy is the user's alone (0600); otherwise the user's umask decides.
void CopyDescriptorTo(int from, const std::string& destination, bool privateCopy = false,
                      std::chrono::system_clock::time_point mtime = {}) {
  platform::AtomicFile to;
  std::string why;
  if (!to.Begin(destination, platform::AtomicOptions(privateCopy ? 0600 : 0666).Exact(privateCopy), &why))
    throw FaxError(errno == ENOENT ? platform::kErrPathNotFound : platform::kErrPathFileAccess, why);
  std::uint64_t copied = 0;
  bool readFailed = false;
  if (int err = platform::CopyAll(from, to.fd(), UINT64_MAX, &copied, &readFailed)) {
    if (readFailed)
      throw FaxError(platform::kErrPathFileAccess, "cannot read the fax: " + std::string(std::strerror(err)));
    throw FaxError(platform::kErrPathFileAccess, "cannot write " + destination + ": " + std::strerror(err));
  }
  if (mtime != std::chrono::system_clock::time_point{}) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(mtime.time_since_epoch()).count();
    timespec times[2] = {{ns / 1000000000, ns % 1000000000}, {ns / 1000000000, ns % 1000000000}};
    ::futimens(to.fd(), times);
  }
  if (!to.Commit(&why)) throw FaxError(platform::kErrPathFileAccess, why);
}
}  // namespace

class Session {
 public:
  explicit Session(std::string path) : path_(std::move(path)) {}
  // A session whose requests a fax server answers (HylaFax.h).
  explicit Session(std::unique_ptr<RemoteService> remote) : remote_(std::move(remote)) {}
  ~Session() { Close(); }

  void Open() {
    std::lock_guard lock(mu_);
    if (remote_) return remote_->Open();
    OpenLocked();
  }

  // One request and its reply. passFd goes along with the request (the
  // caller keeps it); a descriptor the reply carries goes to *receivedFd
  // (-1 when none).
  Message Call(const Message& request, int passFd = -1, int* receivedFd = nullptr) {
    std::lock_guard lock(mu_);
    if (remote_) return remote_->Call(request, passFd, receivedFd);
    if (receivedFd) *receivedFd = -1;
    // The service closes connections idle for a minute: start afresh well
    // before, so a request never meets a connection closing under it.
    if (fd_ && std::chrono::steady_clock::now() - lastUse_ > std::chrono::milliseconds(idleLimitMs_ / 2))
      CloseLocked();
    if (!fd_) OpenLocked();
    std::string body = request.Encode();
    if (body.size() > kMaxBody)
      throw FaxError(platform::kErrInvalidCall, "request too large for the fax service");
    // A daemon restarted since the last call closed our socket: connect once
    // more before giving up.
    if (!WriteFrame(fd_.get(), body, passFd)) {
      CloseLocked();
      OpenLocked();
      if (!WriteFrame(fd_.get(), body, passFd)) {
        CloseLocked();
        throw FaxError(kErrServiceUnreachable, "the fax service closed the connection");
      }
    }
    std::string reply;
    FrameResult r = ReadFrame(fd_.get(), &reply, kReplyTimeoutMs, 5000, receivedFd);
    lastUse_ = std::chrono::steady_clock::now();
    if (r != FrameResult::Ok) {
      CloseLocked();
      throw FaxError(kErrServiceUnreachable, r == FrameResult::TimedOut
                                                 ? "the fax service does not answer"
                                                 : "the fax service closed the connection");
    }
    Message m;
    auto dropReceived = [&] {
      if (receivedFd) platform::UniqueFd(std::exchange(*receivedFd, -1));  // closed here
    };
    if (!Message::Decode(reply, &m)) {
      dropReceived();
      throw FaxError(platform::kErrInvalidCall, "unreadable reply from the fax service");
    }
    if (m.Has("idle_timeout_ms"))
      idleLimitMs_ = std::max(1000LL, m.GetInt("idle_timeout_ms", kIdleTimeoutMs));
    if (m.Get("ok") != "1") {
      dropReceived();
      throw FaxError(m.GetInt("errno", platform::kErrInvalidCall),
                     m.Get("error").empty() ? "the fax service refused the request" : m.Get("error"));
    }
    return m;
  }

  void Close() {
    std::lock_guard lock(mu_);
    if (remote_) return remote_->Close();
    CloseLocked();
  }

 private:
  void OpenLocked() {
    if (fd_) return;
    std::string error;
    fd_.reset(ConnectSocket(path_, &error));
    if (!fd_) throw FaxError(kErrServiceUnreachable, error);
    lastUse_ = std::chrono::steady_clock::now();
  }
  void CloseLocked() { fd_.reset(); }
  std::mutex mu_;
  std::string path_;
  std::unique_ptr<RemoteService> remote_;
  platform::UniqueFd fd_;
  std::chrono::steady_clock::time_point lastUse_;
  long long idleLimitMs_ = kIdleTimeoutMs;  // the service's, as its hello says
};

template <class T>
T& Collection<T>::Item(long index) {
  if (index < 1 || index > Count()) throw FaxError(platform::kErrSubscript, "Subscript out of range");
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
  for (const Message& m : reply.Items()) items.emplace_back(s, m, extra...);
  return Collection<T>(std::move(items));
}

// A list request over all its pages (the service sends a long list in
// pages of at most a few hundred kilobytes: "more=1" and "next", the key to
// ask from).
Message ListAll(Session& s, Message request) {
  Message all = Message().Set("ok", "1");
  int count = 0;
  for (int page = 0; page < 100000; ++page) {
    Message r = s.Call(request);
    for (const Message& m : r.Items()) all.AddItem(++count, m);
    if (r.Get("more") != "1" || r.Get("next").empty()) break;
    request.Set("after", r.Get("next"));
  }
  return all.Set("count", count);
}
}  // namespace

// Ports and devices --------------------------------------------------------

FaxPort::FaxPort(std::shared_ptr<Session> s, const Message& m)
    : s_(std::move(s)),
      id_(static_cast<long>(m.GetInt("id"))),
      canModify_(static_cast<long>(m.GetInt("can_modify", 0))),
      mode_(static_cast<long>(m.GetInt("receive_mode"))),
      rings_(static_cast<long>(m.GetInt("rings", 4))),
      priority_(static_cast<long>(m.GetInt("priority", 1))),
      send_(m.GetInt("send_enabled", 1) != 0),
      name_(m.Get("name")),
      tsid_(m.Get("tsid")),
      csid_(m.Get("csid")) {}

void FaxPort::SetReceive(bool on) {
  // The service knows what the device did before it answered by itself.
  Message r = s_->Call(Message("device_set").Set("id", id_).Set("auto_answer", on ? 1 : 0));
  mode_ = static_cast<long>(r.Item(1).GetInt("receive_mode", on ? kReceiveAuto : kReceiveOff));
}

void FaxPort::SetRings(long rings) {
  s_->Call(Message("device_set").Set("id", id_).Set("rings", rings));
  rings_ = rings;
}

FaxDevice::FaxDevice(std::shared_ptr<Session> s, const Message& m) : s_(std::move(s)) {
  Load(m);
}

void FaxDevice::Load(const Message& m) {
  m_ = m;
  id_ = static_cast<long>(m.GetInt("id"));
  mode_ = static_cast<long>(m.GetInt("receive_mode"));
  rings_ = static_cast<long>(m.GetInt("rings", 4));
  name_ = m.Get("name");
  tsid_ = m.Get("tsid");
  csid_ = m.Get("csid");
}

std::optional<long> FaxDevice::Number(const char* key) const {
  if (!m_.Has(key)) return std::nullopt;
  return static_cast<long>(m_.GetInt(key));
}
std::optional<std::string> FaxDevice::Description() const {
  if (!m_.Has("description")) return std::nullopt;
  return m_.Get("description");
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
std::optional<long> FaxDevice::Priority() const {
  return Number("priority");
}
std::optional<long> FaxDevice::CanModify() const {
  return Number("can_modify");
}

void FaxDevice::Save() {
  s_->Call(Message("device_set").Set("id", id_).Set("receive_mode", mode_).Set("rings", rings_));
}

void FaxDevice::Refresh() {
  for (const Message& m : s_->Call(Message("devices")).Items())
    if (m.GetInt("id") == id_) Load(m);
}

void FaxDevice::AnswerCall() {
  s_->Call(Message("answer").Set("id", id_));
}

// Jobs ---------------------------------------------------------------------

FaxJob::FaxJob(std::shared_ptr<Session> s, const Message& m) : s_(std::move(s)), m_(m) {}

void FaxJob::Act(const std::string& action) {
  Message r = s_->Call(Message("job_op").Set("id", Id()).Set("action", action));
  m_ = r.Item(1);
}
void FaxJob::Cancel() {
  Act("cancel");
}
void FaxJob::Pause() {
  Act("pause");
}
void FaxJob::Resume() {
  Act("resume");
}
void FaxJob::Restart() {
  Act("restart");
}
void FaxJob::SetStatus(long command) {
  switch (command) {
    case 1:
      Act("cancel");
      break;
    case 2:
      Act("pause");
      break;
    case 3:
      Act("resume");
      break;
    default:
      throw FaxError(platform::kErrInvalidCall, "Invalid procedure call or argument");
  }
}
void FaxJob::Refresh() {
  m_ = s_->Call(Message("job").Set("id", Id())).Item(1);
}

// Archive messages ---------------------------------------------------------

FaxMessage::FaxMessage(std::shared_ptr<Session> s, const Message& m, bool incoming)
    : s_(std::move(s)), m_(m), incoming_(incoming) {}

TimePoint FaxMessage::Time(const char* key) const {
  double t = m_.GetReal(key);
  if (t <= 0) return TimePoint{};
  return TimePoint(std::chrono::duration_cast<TimePoint::duration>(std::chrono::duration<double>(t)));
}

std::string FaxMessage::FileName() const {
  return std::filesystem::path(TiffPath()).filename().string();
}

namespace {
int OpenStoredFax(Session& s, bool incoming, const std::string& id) {
  int fd = -1;
  s.Call(Message("fax_open").Set("folder", incoming ? "in" : "out").Set("id", id), -1, &fd);
  if (fd < 0) throw FaxError(platform::kErrFileNotFound, "the fax service sent no file for fax " + id);
  return fd;
}
}  // namespace

int FaxMessage::OpenTiff() const {
  return OpenStoredFax(*s_, incoming_, Id());
}

void FaxMessage::CopyTiff(const std::string& destination) const {
  platform::UniqueFd fd(OpenTiff());
  CopyDescriptorTo(fd.get(), destination);
}

// Folders ------------------------------------------------------------------

Collection<FaxJob> FaxQueue::GetJobs() {
  return ListOf<FaxJob>(s_, ListAll(*s_, Message("jobs").Set("queue", incoming_ ? "in" : "out")));
}

bool FaxQueue::Paused() {
  if (incoming_) return false;
  return s_->Call(Message("queue_get")).GetInt("paused") != 0;
}

void FaxQueue::SetPaused(bool paused) {
  if (incoming_) throw FaxError(platform::kErrInvalidCall, "the incoming queue cannot be paused");
  s_->Call(Message("queue_set").Set("paused", paused ? 1 : 0));
}

Collection<FaxMessage> FaxArchive::GetMessages() {
  return ListOf<FaxMessage>(s_, ListAll(*s_, Message("archive").Set("folder", incoming_ ? "in" : "out")),
                            incoming_);
}

std::string FaxArchive::ArchiveFolder() {
  return s_->Call(Message("folders")).Get(incoming_ ? "store" : "archive");
}

// Documents ----------------------------------------------------------------

long FaxDocument::Send() {
  // The document goes as a descriptor opened with the sender's rights; its
  // name only labels it (and tells a text stand-in from a fax TIFF).
  platform::UniqueFd doc(OpenDocument(ImagePath.empty() ? FileName : ImagePath));
  Message m("submit");
  m.Set("document", FileName)
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
  return static_cast<long>(s_->Call(m, doc.get()).GetInt("id"));
}

// Server -------------------------------------------------------------------

FaxServer::FaxServer() = default;
FaxServer::FaxServer(ClientSettings settings) : settings_(std::move(settings)) {}
FaxServer::~FaxServer() = default;

// The fax service is brevant-faxd on this machine unless the settings name
// a HylaFAX server.
std::shared_ptr<Session> FaxServer::NewSession() const {
  if (!settings_.server.hylafax) return std::make_shared<Session>(DefaultSocketPath());
  return std::make_shared<Session>(MakeHylaFaxService(settings_.server, settings_.errors));
}

std::shared_ptr<FaxServer> FaxServer::Running(const ClientSettings& settings, std::string* why) {
  auto server = std::make_shared<FaxServer>(settings);
  auto s = server->NewSession();
  try {
    s->Open();
  } catch (const FaxError& e) {
    if (why) *why = e.what();
    return nullptr;
  }
  server->bound_ = std::move(s);
  return server;
}

void FaxServer::Connect(const std::string& machineName) {
  auto s = bound_ ? bound_ : NewSession();
  s->Open();
  hello_ = s->Call(Message("hello"));
  s_ = std::move(s);
  bound_.reset();
  serverName_ = machineName.empty() ? hello_.Get("server") : machineName;
}

std::optional<long> FaxServer::GrantedRights() const {
  if (!hello_.Has("granted_rights")) return std::nullopt;
  return static_cast<long>(hello_.GetInt("granted_rights"));
}

void FaxServer::Disconnect() {
  if (s_) s_->Close();
  s_.reset();
  bound_.reset();
  hello_ = Message();
}

bool FaxServer::Connected() const {
  return s_ != nullptr;
}

Message FaxServer::Call(const Message& request) {
  if (!s_) throw FaxError(platform::kErrObjectNotSet, "the fax server is not connected");
  return s_->Call(request);
}

Message FaxServer::CallList(const Message& request) {
  if (!s_) throw FaxError(platform::kErrObjectNotSet, "the fax server is not connected");
  return ListAll(*s_, request);
}

int FaxServer::OpenFax(bool incoming, const std::string& id) {
  if (!s_) throw FaxError(platform::kErrObjectNotSet, "the fax server is not connected");
  return OpenStoredFax(*s_, incoming, id);
}

Collection<FaxPort> FaxServer::GetPorts() {
  return ListOf<FaxPort>(s_, Call(Message("devices")));
}
Collection<FaxDevice> FaxServer::GetDevices() {
  return ListOf<FaxDevice>(s_, Call(Message("devices")));
}
Collection<FaxJob> FaxServer::GetJobs() {
  return ListOf<FaxJob>(s_, CallList(Message("jobs").Set("queue", "out")));
}

std::shared_ptr<FaxDocument> FaxServer::CreateDocument(const std::string& file) {
  if (!s_) throw FaxError(platform::kErrObjectNotSet, "the fax server is not connected");
  return std::make_shared<FaxDocument>(s_, file);
}

bool FaxServer::PauseServerQueue() {
  return Call(Message("queue_get")).GetInt("paused") != 0;
}
void FaxServer::SetPauseServerQueue(bool paused) {
  Call(Message("queue_set").Set("paused", paused ? 1 : 0));
}

FaxFolders FaxServer::Folders() {
  if (!s_) throw FaxError(platform::kErrObjectNotSet, "the fax server is not connected");
  return FaxFolders(s_);
}

// The file view of an archive -------------------------------------------------

long MirrorArchive(FaxServer& server, bool incoming, const std::string& folder) {
  namespace fs = std::filesystem;
  FaxFolders folders = server.Folders();
  Collection<FaxMessage> messages =
      incoming ? folders.IncomingArchive.GetMessages() : folders.OutgoingArchive.GetMessages();
  // The view holds the user's faxes: theirs alone.
  std::error_code ec;
  fs::create_directories(fs::path(folder).parent_path(), ec);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    throw FaxError(platform::kErrPathNotFound, "cannot create " + folder + ": " + std::strerror(errno));
  std::set<std::string> names;
  for (FaxMessage& m : messages.Items()) {
    std::string name = m.FileName();
    // A fax that could not be archived has no file; the names are the
    // service's own, but a view never takes a name that leaves the folder.
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos) continue;
    names.insert(name);
    std::string target = folder + "/" + name;
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) continue;
    try {
      platform::UniqueFd fd(m.OpenTiff());
      CopyDescriptorTo(fd.get(), target, true, m.TransmissionEnd());
    } catch (const FaxError&) {
      // One fax that cannot be had (removed from the archive meanwhile)
      // leaves the others in the view.
      names.erase(name);
    }
  }
  long count = 0;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (names.count(name))
      ++count;
    else if (it->is_regular_file(ec) || it->is_symlink(ec))
      fs::remove(it->path(), ec);
  }
  return count;
}

// TIFF reader ----------------------------------------------------------------

void FaxTiff::SetImage(const std::string& path) {
  int pages = 0;
  std::string why;
  if (!CheckFaxTiff(path, &pages, &why)) throw FaxError(platform::kErrTypeMismatch, why);
  path_ = path;
  pages_ = pages;
  description_ = ReadDescription(path);
}

std::string FaxTiff::Value(const char* name) const {
  return DescriptionValue(description_, name);
}

}  // namespace brevant::faxsvc
