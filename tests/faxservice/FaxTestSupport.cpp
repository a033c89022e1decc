#include "tests/faxservice/FaxTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/faxservice/FaxService.h"
#include "platform/registry/Registry.h"

namespace brevant::test {

namespace {
void SetLocalMachineString(const char* key, const char* name, const std::string& value) {
  reg::HKEY h = 0;
  reg::CreateKey(reg::kLocalMachine, key, reg::kKeyAllAccess, &h);
  reg::SetValue(h, name, reg::REG_SZ, value.c_str(), static_cast<std::uint32_t>(value.size() + 1));
  reg::CloseKey(h);
}
}  // namespace

FaxDaemon::FaxDaemon(const TestWorld& world)
    : state_(world.Root() + "/faxd"),
      socket_(world.RuntimeDir() + "/faxd.sock"),
      store_(world.Root() + "/fax/Received"),
      archive_(world.Root() + "/fax/Sent"),
      stderr_(world.Root() + "/faxd.stderr") {
  SetLocalMachineString("Software\\Microsoft\\Fax\\Setup\\Original Setup Data", "Store Directory", store_);
  SetLocalMachineString("Software\\Microsoft\\Fax", "ArchiveDirectory", archive_);
}

FaxDaemon::~FaxDaemon() { Stop(); }

bool FaxDaemon::Start() {
  pid_ = ::fork();
  if (pid_ == 0) {
    if (capture_) {
      int fd = ::open(stderr_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (fd >= 0) ::dup2(fd, 2);
    }
    std::string exe = BinDir() + "/brevant-faxd";
    ::execl(exe.c_str(), exe.c_str(), "--state", state_.c_str(), "--socket", socket_.c_str(), nullptr);
    ::_exit(127);
  }
  return WaitFor([&] {
    std::string err;
    int fd = faxsvc::ConnectSocket(socket_, &err);
    if (fd < 0) return false;
    ::close(fd);
    return true;
  }, 10);
}

std::string FaxDaemon::Stderr() const {
  return TestWorld::ReadFile(stderr_);
}

void FaxDaemon::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int st = 0;
  ::waitpid(pid_, &st, 0);
  pid_ = -1;
}

void FaxDaemon::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int st = 0;
  ::waitpid(pid_, &st, 0);
  pid_ = -1;
}

faxsvc::Message FaxDaemon::Call(const faxsvc::Message& request) const {
  std::string err;
  faxsvc::Message reply;
  int fd = faxsvc::ConnectSocket(socket_, &err);
  if (fd < 0) return reply.Set("ok", "0").Set("error", err);
  std::string body;
  if (faxsvc::WriteFrame(fd, request.Encode()) && faxsvc::ReadFrame(fd, &body, 15000) == faxsvc::FrameResult::Ok)
    faxsvc::Message::Decode(body, &reply);
  ::close(fd);
  return reply;
}

std::string MakeFaxTiff(const std::string& path, int pages) {
  std::vector<faxsvc::FaxPage> out;
  for (int p = 0; p < pages; ++p) {
    faxsvc::FaxPage page = faxsvc::BlankPage();
    // Lines of "text": short bars whose length and spacing depend on the
    // page, like words on a line, plus one solid block placed by page.
    for (int line = 0; line < 40; ++line) {
      int y0 = 150 + line * 50;
      for (int word = 0; word < 12; ++word) {
        int x0 = 120 + word * 125, len = 40 + ((line * 7 + word * 13 + p * 29) % 70);
        for (int y = y0; y < y0 + 18; ++y)
          for (int x = x0; x < x0 + len; ++x)
            page.pixels[static_cast<std::size_t>(y) * page.width + x] = 1;
      }
    }
    for (int y = 60; y < 120; ++y)
      for (int x = 200 + p * 300; x < 400 + p * 300; ++x) page.pixels[static_cast<std::size_t>(y) * page.width + x] = 1;
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

bool WaitFor(const std::function<bool()>& pred, double seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return pred();
}

void SetWindowsVersion(const std::string& version) {
  SetLocalMachineString("Software\\Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion", version);
}

}  // namespace brevant::test
