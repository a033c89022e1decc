#pragma once
// A private brevant-faxd for one test: started from the build tree with its
// own state folder and socket (inside the test's world), stopped or killed
// at will, and helpers to make fax TIFFs and wait for jobs.
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/faxservice/FaxTiff.h"
#include "platform/faxservice/Protocol.h"
#include "tests/support/TestWorld.h"

namespace brevant::test {

class FaxDaemon {
 public:
  explicit FaxDaemon(const TestWorld& world);
  ~FaxDaemon();  // stops the daemon when still running
  // Starts it and waits until it answers; false when it did not come up.
  bool Start();
  // From the next Start on, the daemon's stderr goes to a file of the world
  // (kept over restarts) instead of the test's, and Stderr reads it.
  void CaptureStderr() { capture_ = true; }
  std::string Stderr() const;
  void Stop();  // SIGTERM and wait
  void Kill();  // SIGKILL, as a crash or a power cut would
  bool Running() const { return pid_ > 0; }
  const std::string& StateDir() const { return state_; }
  const std::string& Socket() const { return socket_; }
  // One request on a fresh connection; the reply (ok=0 replies too).
  faxsvc::Message Call(const faxsvc::Message& request) const;
  // Registry values naming the received store and the sent archive.
  std::string StoreDir() const { return store_; }
  std::string ArchiveDir() const { return archive_; }

 private:
  std::string state_, socket_, store_, archive_, stderr_;
  pid_t pid_ = -1;
  bool capture_ = false;
};

// A fax TIFF with `pages` pages, each with its own pattern of black bars
// and blocks (so a page swap or a lost page shows as a difference).
std::string MakeFaxTiff(const std::string& path, int pages);
std::vector<faxsvc::FaxPage> ReadPages(const std::string& path);

// Polls until pred is true or the time is up; returns pred's last value.
bool WaitFor(const std::function<bool()>& pred, double seconds);

// Sets the Windows version record the XP check reads ("5.1" XP, "5.0"
// Windows 2000).
void SetWindowsVersion(const std::string& version);

}  // namespace brevant::test
