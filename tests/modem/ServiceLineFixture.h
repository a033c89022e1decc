#pragma once
// The fax service with modem lines on the emulated telephone line, for the
// tests that put brevant-faxd between us and a far-end program: its own
// brevant-faxd, modem pairs by links that outlive modem-pair, and the
// service's jobs, lines and archives read through its requests.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/faxservice/FaxService.h"
#include "tests/faxservice/FaxTestSupport.h"
#include "tests/modem/ModemTestSupport.h"

namespace brevant::test {

inline constexpr const char* kEfaxId = "+1 555 0300";
inline constexpr const char* kOurId = "+49 30 1234";

// A pseudo-terminal nobody answers on (a serial port with no modem behind
// it), or with `dataModem` one where a modem without fax class 1 answers
// every command but AT+FCLASS.
struct SilentPort {
  explicit SilentPort(bool dataModem = false) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ::grantpt(master);
    ::unlockpt(master);
    path = ::ptsname(master);
    if (dataModem) answering = std::thread([this] {
      std::string line;
      char c;
      while (!stop) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0 || ::read(master, &c, 1) != 1) continue;
        if (c != '\r') {
          line += c;
          continue;
        }
        std::string reply = line.find("+FCLASS") != std::string::npos ? "\r\nERROR\r\n" : "\r\nOK\r\n";
        line.clear();
        if (::write(master, reply.data(), reply.size()) < 0) break;
      }
    });
  }
  ~SilentPort() {
    stop = true;
    if (answering.joinable()) answering.join();
    ::close(master);
  }
  int master;
  std::string path;
  std::atomic<bool> stop{false};
  std::thread answering;
};

// The fax service with modem lines; the loopback line goes, so that every
// fax travels over a modem.
class ServiceLine : public ::testing::Test {
 protected:
  // Whether the far-end program of the tests is there (efax unless said).
  virtual bool FarEndInstalled(std::string* why) {
    *why = "efax is not installed";
    return std::filesystem::exists("/usr/bin/efax");
  }
  void SetUp() override {
    std::string why;
    if (!FarEndInstalled(&why)) GTEST_SKIP() << why;
    ASSERT_TRUE(daemon_.Start());
    ASSERT_EQ(daemon_.Call(faxsvc::Message("line_remove").Set("id", 1)).Get("ok"), "1");
    daemon_.Call(faxsvc::Message("line_set").Set("retry_interval", "0").Set("retries", "1"));
  }
  // The two modems of a line, by links that outlive the modem-pair process.
  std::unique_ptr<ModemPair> Pair(const std::string& name, std::vector<std::string> options = {}) {
    options.insert(options.end(), {"--link-a", Link(name, 'A'), "--link-b", Link(name, 'B')});
    auto pair = std::make_unique<ModemPair>(world_.Root(), options);
    EXPECT_TRUE(pair->Started());
    return pair;
  }
  std::string Link(const std::string& name, char side) { return world_.Root() + "/" + name + side; }
  // A modem line on `device`, ready to take faxes; its id.
  std::string AddLine(const std::string& device, faxsvc::Message settings = faxsvc::Message("line_add")) {
    // The AT traffic of the line's calls goes to STATE/modem-ID.log.
    settings.Set("device", device).Set("station_id", kOurId).Set("trace", "on");
    faxsvc::Message r = daemon_.Call(settings);
    EXPECT_EQ(r.Get("ok"), "1") << r.Get("error");
    std::string id = r.Get("id");
    EXPECT_TRUE(WaitFor([&] { return LineStatus(id).rfind("ready", 0) == 0; }, 20)) << LineStatus(id);
    return id;
  }
  faxsvc::Message LineOf(const std::string& id) {
    for (const faxsvc::Message& line : daemon_.Call(faxsvc::Message("lines")).Items())
      if (line.Get("id") == id) return line;
    return faxsvc::Message();
  }
  std::string LineStatus(const std::string& id) { return LineOf(id).Get("status"); }
  std::string ModemLog(const std::string& id) {
    return TestWorld::ReadFile(daemon_.StateDir() + "/modem-" + id + ".log");
  }
  std::string Submit(const std::string& doc, const std::string& number) {
    faxsvc::Message r =
        daemon_.Call(faxsvc::Message("submit").Set("file", doc).Set("number", number).Set("name", "Eve Fax"));
    EXPECT_EQ(r.Get("ok"), "1") << r.Get("error");
    return r.Get("id");
  }
  faxsvc::Message Job(const std::string& id) { return daemon_.Call(faxsvc::Message("job").Set("id", id)).Item(1); }
  // The job once it is done, failed for good or cancelled.
  faxsvc::Message Settled(const std::string& id, double seconds = 120) {
    WaitFor([&] {
      long long s = Job(id).GetInt("status");
      return s == faxsvc::kJobCompleted || s == faxsvc::kJobFailed || s == faxsvc::kJobRetriesExceeded ||
             s == faxsvc::kJobCanceled;
    }, seconds);
    return Job(id);
  }
  std::vector<faxsvc::Message> Archive(const char* folder) {
    return daemon_.Call(faxsvc::Message("archive").Set("folder", folder)).Items();
  }
  // A document in the fax service's own form, as the fax printer hands it
  // over (Group 4), or with `g3` as efax sends it.
  std::string Doc(const std::string& name, const std::vector<faxsvc::FaxPage>& pages, bool g3 = false) {
    std::string path = world_.Root() + "/" + name, why;
    EXPECT_TRUE(g3 ? WriteG3Tiff(path, pages) : faxsvc::WriteFaxTiff(path, pages, "", &why)) << why;
    return path;
  }
  std::string Dir(const std::string& name) {
    std::string dir = world_.Root() + "/" + name;
    std::filesystem::create_directories(dir);
    return dir;
  }
  TestWorld::Result Faxd(const std::vector<std::string>& args) { return world_.RunArgs("brevant-faxd", args); }

  TestWorld world_;
  FaxDaemon daemon_{world_};
};

}  // namespace brevant::test
