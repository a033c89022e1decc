#include "tests/modem/ModemTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "tests/support/TestWorld.h"

namespace fs = std::filesystem;

namespace brevant::test {

double Pace() {
  const char* p = std::getenv("BREVANT_MODEM_PACE");
  double pace = p ? std::atof(p) : 0;
  return pace > 0 ? pace : 4;
}

Program::Program(const std::vector<std::string>& argv, const std::string& dir, const std::string& output)
    : output_(output) {
  ::unlink(output.c_str());
  EXPECT_TRUE(child_.Start(argv, dir, output)) << child_.Error();
}

int Program::Wait(double seconds) {
  if (child_.Wait(static_cast<long>(seconds * 1000), 20)) return child_.ExitCode();
  child_.Kill();
  return -1;
}

std::string Program::Output() const {
  return TestWorld::ReadFile(output_);
}

bool Program::WaitOutput(const std::string& text, double seconds) const {
  return WaitFor([&] { return Output().find(text) != std::string::npos; }, seconds);
}

ModemPair::ModemPair(const std::string& dir, const std::vector<std::string>& options) {
  static int count = 0;
  std::vector<std::string> argv = {BinDir() + "/modem-pair", "--pace", std::to_string(Pace()), "--trace"};
  argv.insert(argv.end(), options.begin(), options.end());
  program_ = std::make_unique<Program>(argv, "", dir + "/line" + std::to_string(++count) + ".trace");
  if (!program_->WaitOutput("\nready\n", 30)) return;
  std::istringstream out(program_->Output());
  for (std::string l; std::getline(out, l) && l != "ready";)
    if (l.size() > 2) (l[0] == 'A' ? a_ : b_) = l.substr(2);
}

void ModemPair::Kill() {
  ::kill(program_->Pid(), SIGKILL);
  program_->Wait(5);
}

int Run(const std::vector<std::string>& argv, double seconds, std::string* output) {
  char path[] = "/tmp/brevant-run-XXXXXX";
  platform::UniqueFd(::mkstemp(path)).reset();
  int code;
  {
    Program p(argv, "", path);
    code = p.Wait(seconds);
    if (output) *output = p.Output();
  }
  ::unlink(path);
  return code;
}

std::vector<faxsvc::FaxPage> TestPages(int count, bool fine) {
  char path[] = "/tmp/brevant-pages-XXXXXX";
  platform::UniqueFd(::mkstemp(path)).reset();
  auto pages = ReadPages(MakeFaxTiff(path, count));
  ::unlink(path);
  for (auto& page : pages) {
    if (fine) continue;
    // Every other row: the same page at normal resolution.
    page.yres = 98;
    page.height /= 2;
    for (int y = 0; y < page.height; ++y)
      std::copy_n(page.pixels.begin() + 2L * y * page.width, page.width,
                  page.pixels.begin() + 1L * y * page.width);
    page.pixels.resize(static_cast<size_t>(page.width) * page.height);
  }
  return pages;
}

bool WriteG3Tiff(const std::string& path, const std::vector<faxsvc::FaxPage>& pages) {
  std::string g4 = path + ".g4", why;
  bool ok = faxsvc::WriteFaxTiff(g4, pages, "", &why) &&
            Run({"tiffcp", "-c", "g3:1d", "-f", "msb2lsb", "-r", "100000", g4, path}, 30) == 0;
  ::unlink(g4.c_str());
  return ok;
}

namespace {

// Whether the sent page's rows stand unchanged in `got` from row `top` on;
// rows of `got` above `band` belong to the sender's header and are skipped.
bool ImageAt(const faxsvc::FaxPage& sent, const faxsvc::FaxPage& got, int top, int band) {
  if (got.height < top + sent.height) return false;
  for (int y = std::max(0, band - top); y < sent.height; ++y)
    if (!std::equal(sent.pixels.begin() + static_cast<std::ptrdiff_t>(y) * sent.width,
                    sent.pixels.begin() + static_cast<std::ptrdiff_t>(y + 1) * sent.width,
                    got.pixels.begin() + static_cast<std::ptrdiff_t>(y + top) * got.width))
      return false;
  return true;
}

}  // namespace

::testing::AssertionResult SamePages(const std::vector<faxsvc::FaxPage>& sent,
                                     const std::vector<faxsvc::FaxPage>& got, int header) {
  if (sent.size() != got.size())
    return ::testing::AssertionFailure() << got.size() << " pages arrived, " << sent.size() << " were sent";
  for (size_t p = 0; p < sent.size(); ++p) {
    if (sent[p].width != got[p].width || std::abs(sent[p].yres - got[p].yres) > 2)
      return ::testing::AssertionFailure()
             << "page " << p + 1 << " arrived " << got[p].width << " wide at " << got[p].yres << " lpi; sent "
             << sent[p].width << " at " << sent[p].yres;
    if (header > 0) {
      bool found = false;
      for (int top = 0; top <= header && !found; ++top) found = ImageAt(sent[p], got[p], top, header);
      if (!found)
        return ::testing::AssertionFailure()
               << "page " << p + 1 << " does not hold the sent image below a " << header << "-row header ("
               << got[p].height << " rows arrived)";
      continue;
    }
    // Rows missing at the end count as white: a receiver may drop the last
    // row when the carrier ends within the end-of-page signal, never more.
    double d = faxsvc::PixelDifference(sent[p], got[p]);
    if (d != 0 || got[p].height < sent[p].height - 2)
      return ::testing::AssertionFailure()
             << "page " << p + 1 << " differs in " << d * 100 << "% of its pixels (" << got[p].height
             << " rows arrived, " << sent[p].height << " sent)";
  }
  return ::testing::AssertionSuccess();
}

std::vector<faxsvc::FaxPage> EfaxPages(const std::string& prefix) {
  std::vector<faxsvc::FaxPage> pages;
  for (int n = 1;; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, ".%03d", n);
    if (!fs::exists(prefix + name) || fs::file_size(prefix + name) == 0) break;
    auto one = ReadPages(prefix + name);
    pages.insert(pages.end(), one.begin(), one.end());
  }
  return pages;
}

std::unique_ptr<Program> EfaxReceiver(const std::string& device, const std::string& dir,
                                      const std::string& id) {
  auto efax = std::make_unique<Program>(
      std::vector<std::string>{"efax", "-d", device, "-o1", "-w", "-iS0=1", "-l", id, "-r", "got"}, dir,
      dir + "/efax.log");
  EXPECT_TRUE(efax->WaitOutput("waiting for activity", 30)) << efax->Output();
  return efax;
}

namespace {
const char* const kSpool = "/var/spool/hylafax";
// Faxes these tests queue go to this number.
constexpr const char* kFarNumber = "5550100";
}  // namespace

HylaFax::HylaFax(const std::string& device) {
  if (::geteuid() != 0 || !fs::exists("/usr/sbin/faxgetty") || !fs::exists("/usr/bin/sendfax")) {
    why_ = "HylaFAX's spool is system-wide: the test needs root, hylafax-server and hylafax-client";
    return;
  }
  // Another test program's server may be running: wait for it to end.
  lock_.reset(::open("/run/brevant-hylafax.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600));
  if (!lock_ || ::flock(lock_.get(), LOCK_EX) != 0) {
    why_ = std::string("cannot take /run/brevant-hylafax.lock: ") + std::strerror(errno);
    return;
  }
  // A job an earlier run left queued would be sent as soon as faxq starts.
  for (const auto& e : fs::directory_iterator(std::string(kSpool) + "/sendq"))
    if (e.path().filename().string().rfind('q', 0) == 0 &&
        TestWorld::ReadFile(e.path().string()).find(std::string("\nnumber:") + kFarNumber + "\n") !=
            std::string::npos)
      fs::remove(e.path());
  std::string out;
  started_ = true;
  running_ = Run({SourceDir() + "/scripts/setup-hylafax", "start", device}, 60, &out) == 0;
  if (running_)
    before_ = Received();
  else
    why_ = "setup-hylafax start failed: " + out;
}

HylaFax::~HylaFax() {
  if (!started_) return;
  if (running_)
    for (const auto& f : Received())
      if (std::find(before_.begin(), before_.end(), f) == before_.end()) fs::remove(f);
  Run({SourceDir() + "/scripts/setup-hylafax", "stop"}, 30);
}

std::vector<std::string> HylaFax::Received() const {
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(std::string(kSpool) + "/recvq"))
    if (e.path().extension() == ".tif") files.push_back(e.path().string());
  return files;
}

std::string HylaFax::WaitReceived(int pages, double seconds) const {
  std::string logged;
  WaitFor(
      [&] {
        for (const auto& f : Received()) {
          if (std::find(before_.begin(), before_.end(), f) != before_.end()) continue;
          std::string name = "recvq/" + fs::path(f).filename().string();
          if (TestWorld::ReadFile(std::string(kSpool) + "/log/xferfaxlog").find(name) == std::string::npos)
            continue;
          logged = f;
          int count = 0;
          std::string why;
          if (faxsvc::CheckFaxTiff(f, &count, &why) && count == pages) return true;
        }
        return false;
      },
      seconds);
  return logged;  // the pages it holds are for the caller to compare
}

bool HylaFax::WaitIdle(double seconds) {
  return WaitFor([] { return ModemState().find("Running and idle") != std::string::npos; }, seconds);
}

std::string HylaFax::ModemState() {
  return TestWorld::ReadFile(std::string(kSpool) + "/status/ttyFAX0");
}

}  // namespace brevant::test
