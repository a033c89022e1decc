#include "tests/faxservice/FaxTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "faxservice/client/FaxService.h"
#include "platform/fs/Files.h"
#include "tests/support/RegValues.h"

namespace brevant::test {

namespace {
int Quiet(const std::string& cmd) {
  return std::system((cmd + " >/dev/null 2>&1").c_str());
}
}  // namespace

FaxDaemon::FaxDaemon(const TestWorld& world, std::string socketDir)
    : state_(world.Root() + "/faxd"),
      socket_((socketDir.empty() ? world.RuntimeDir() : socketDir) + "/faxd.sock"),
      store_(world.Root() + "/fax/Received"),
      archive_(world.Root() + "/fax/Sent"),
      stderr_(world.Root() + "/faxd.stderr") {
  faxsvc::RegisterFaxFolder(true, store_);
  faxsvc::RegisterFaxFolder(false, archive_);
}

FaxDaemon::~FaxDaemon() {
  Stop();
}

bool FaxDaemon::Start() {
  pid_ = ::fork();
  if (pid_ == 0) {
    if (capture_) {
      int fd = ::open(stderr_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (fd >= 0) ::dup2(fd, 2);
    }
    std::string exe = BinDir() + "/brevant-faxd";
    std::vector<std::string> args{exe, "--state", state_, "--socket", socket_};
    if (!adminGroup_.empty()) args.insert(args.end(), {"--admin-group", adminGroup_});
    if (idleTimeout_ > 0) args.insert(args.end(), {"--idle-timeout", std::to_string(idleTimeout_)});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(exe.c_str(), argv.data());
    ::_exit(127);
  }
  return WaitFor(
      [&] {
        std::string err;
        return platform::UniqueFd(faxsvc::ConnectSocket(socket_, &err)).valid();
      },
      10);
}

std::string FaxDaemon::Stderr() const {
  return TestWorld::ReadFile(stderr_);
}
void FaxDaemon::Stop() {
  End(SIGTERM);
}
void FaxDaemon::Kill() {
  End(SIGKILL);
}

void FaxDaemon::End(int signal) {
  if (pid_ <= 0) return;
  ::kill(pid_, signal);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool FaxDaemon::WaitForExit(double seconds) {
  bool ended = WaitFor([&] { return pid_ <= 0 || ::waitpid(pid_, nullptr, WNOHANG) == pid_; }, seconds);
  if (ended) pid_ = -1;
  return ended;
}

faxsvc::Message FaxDaemon::Raw(const faxsvc::Message& request, int passFd) const {
  std::string err;
  faxsvc::Message reply;
  platform::UniqueFd fd(faxsvc::ConnectSocket(socket_, &err));
  if (!fd) return reply.Set("ok", "0").Set("error", err);
  std::string body;
  if (faxsvc::WriteFrame(fd.get(), request.Encode(), passFd) &&
      faxsvc::ReadFrame(fd.get(), &body, 15000) == faxsvc::FrameResult::Ok)
    faxsvc::Message::Decode(body, &reply);
  return reply;
}

faxsvc::Message FaxDaemon::Call(const faxsvc::Message& request) const {
  if (!request.Has("file")) return Raw(request);
  faxsvc::Message req;
  for (auto& [k, v] : request.Fields()) req.Set(k == "file" ? "document" : k, v);
  platform::UniqueFd doc(::open(request.Get("file").c_str(), O_RDONLY | O_CLOEXEC));
  return Raw(req, doc.get());
}

faxsvc::Message FaxDaemon::Job(const std::string& id) const {
  return Call(faxsvc::Message("job").Set("id", id)).Item(1);
}

bool FaxDaemon::WaitJob(const std::string& id, long long status, double seconds) const {
  return WaitFor([&] { return Job(id).GetInt("status") == status; }, seconds);
}

bool FaxDaemon::WaitForLineRound(const std::string& fax, const std::string& device) const {
  const std::string timeout = Call(faxsvc::Message("line_get")).Get("ring_timeout");
  Call(faxsvc::Message("line_set").Set("ring_timeout", "0"));
  std::string id = Call(faxsvc::Message("call").Set("file", fax).Set("device", device)).Get("id");
  bool given = !id.empty() && WaitJob(id, faxsvc::kJobFailed) && Job(id).Get("error") == "Not answered";
  Call(faxsvc::Message("line_set").Set("ring_timeout", timeout));
  return given;
}

faxsvc::Message FaxDaemon::Archive(const std::string& folder) const {
  return Call(faxsvc::Message("archive").Set("folder", folder));
}

UserHome::UserHome(const TestUser& user, const std::string& parent, std::string socket)
    : user_(user), path_(parent + "/" + user.Name()), socket_(std::move(socket)) {
  ::mkdir(path_.c_str(), 0700);
  if (::chown(path_.c_str(), user.Uid(), user.Gid()) != 0) path_.clear();
}

void UserHome::Enter() const {
  for (const char* sub : {"/reg", "/prog", "/run", "/tmp"}) ::mkdir((path_ + sub).c_str(), 0700);
  for (const auto& [var, value] : {std::pair<const char*, std::string>{"HOME", path_},
                                   {"BREVANT_REGISTRY_DIR", path_ + "/reg"},
                                   {"BREVANT_PROGRAM_DIR", path_ + "/prog"},
                                   {"BREVANT_RUNTIME_DIR", path_ + "/run"},
                                   {"XDG_RUNTIME_DIR", path_ + "/run"},
                                   {"TMPDIR", path_ + "/tmp"},
                                   {"BREVANT_FAXD_SOCKET", socket_},
                                   {"BREVANT_UNATTENDED", "1"}})
    ::setenv(var, value.c_str(), 1);
  for (const char* var : {"DBUS_SESSION_BUS_ADDRESS", "BREVANT_MAILDIR", "DISPLAY"}) ::unsetenv(var);
}

std::string UserHome::Run(const std::string& command) const {
  return user_.Run([&] {
    Enter();
    std::string out;
    if (FILE* p = ::popen(("cd " + path_ + " && { " + command + "; } 2>&1").c_str(), "r")) {
      char buf[4096];
      for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
      ::pclose(p);
    }
    return out;
  });
}

TestUser::Child UserHome::Start(const std::string& command) const {
  TestUser::Child child = user_.Start([&] {
    ::setpgid(0, 0);
    Enter();
    int rc = std::system(("cd " + path_ + " && " + command).c_str());
    return std::to_string(rc);
  });
  if (child.pid > 0) ::setpgid(child.pid, child.pid);
  return child;
}

void UserHome::Stop(TestUser::Child child) {
  if (child.pid <= 0) return;
  ::kill(-child.pid, SIGTERM);
  ::waitpid(child.pid, nullptr, 0);
  platform::UniqueFd(child.out).reset();
}

TestGroup::TestGroup() {
  static std::atomic<int> n{0};  // a name no other run uses at the same time
  name_ = "bvg" + std::to_string(::getpid()) + "x" + std::to_string(n++);
  Quiet("groupadd " + name_);
}

TestGroup::~TestGroup() {
  Quiet("groupdel " + name_);
}

bool TestGroup::Add(const TestUser& user) {
  return Quiet("usermod -a -G " + name_ + " " + user.Name()) == 0;
}

SharedDir::SharedDir() {
  std::string tmpl = "/tmp/brevant-shared-XXXXXX";
  path_ = ::mkdtemp(tmpl.data());
  ::chmod(path_.c_str(), 0755);
}

SharedDir::~SharedDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void FaxUsers::SetUp() {
  ASSERT_TRUE(alice.Made() && bob.Made() && boss.Made())
      << alice.Problem() << bob.Problem() << boss.Problem();
  ASSERT_TRUE(admins.Add(boss));
  daemon.SetAdminGroup(admins.Name());
  ::setenv("BREVANT_FAXD_SOCKET", daemon.Socket().c_str(), 1);
}

faxsvc::Message FaxUsers::As(const TestUser& u, const faxsvc::Message& request) const {
  faxsvc::Message reply;
  std::string body = u.Run([&] { return daemon.Call(request).Encode(); });
  EXPECT_TRUE(faxsvc::Message::Decode(body, &reply)) << body;
  return reply;
}

std::string MakeFaxTiff(const std::string& path, int pages) {
  std::vector<faxsvc::FaxPage> out;
  for (int p = 0; p < pages; ++p) {
    faxsvc::FaxPage page = faxsvc::BlankPage();
    auto fill = [&](int x0, int y0, int w, int h) {
      for (int y = y0; y < y0 + h; ++y)
        std::fill_n(page.pixels.begin() + std::ptrdiff_t(y) * page.width + x0, w, 1);
    };
    // Lines of "words" that differ by page, and a block placed by page.
    for (int line = 0; line < 40; ++line)
      for (int word = 0; word < 12; ++word)
        fill(120 + word * 125, 150 + line * 50, 40 + ((line * 7 + word * 13 + p * 29) % 70), 18);
    fill(200 + p * 300, 60, 200, 60);
    out.push_back(std::move(page));
  }
  std::string why;
  if (!faxsvc::WriteFaxTiff(path, out, "", &why)) return "";
  return path;
}

std::vector<faxsvc::FaxPage> ReadPages(const std::string& path) {
  std::vector<faxsvc::FaxPage> pages;
  std::string why;
  faxsvc::ReadFaxPages(path, &pages, &why);
  return pages;
}

long PeakMemoryKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

std::string AddSipLineWithoutRegistrar(const FaxDaemon& daemon) {
  const std::string id = daemon
                             .Call(faxsvc::Message("line_add")
                                       .Set("kind", "sip")
                                       .Set("registrar", "127.0.0.1:9")
                                       .Set("user", "alice")
                                       .Set("password", "not-for-reports")
                                       .Set("sip_port", "0")
                                       .Set("ports", "41990-41999"))
                             .Get("id");
  const std::string memory =
      "INSERT INTO settings(key, value) VALUES ('sip_t38:5552002', 'T.38'), "
      "('sip_t38:5553003', 'G.711')";
  if (id.empty() ||
      std::system(
          ("sqlite3 -cmd '.timeout 5000' " + daemon.StateDir() + "/faxd.db \"" + memory + "\"").c_str()) != 0)
    return "";
  bool failed = WaitFor(
      [&] {
        for (const faxsvc::Message& d : daemon.Call(faxsvc::Message("devices")).Items())
          if (d.Get("id") == id && d.Get("status").find("failed") != std::string::npos) return true;
        return false;
      },
      30);
  return failed ? id : "";
}

bool WaitFor(const std::function<bool()>& pred, double seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return pred();
}

void SetWindowsVersion(const std::string& version) {
  SetRegString(HKLM, "Software\\Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion", version);
}

}  // namespace brevant::test
