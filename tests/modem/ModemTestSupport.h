#pragma once
// The emulated telephone line and the far ends for the modem tests:
// modem-pair started per test, efax and HylaFAX run as black boxes, and fax
// pages to send and compare.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "faxservice/protocol/FaxTiff.h"
#include "platform/fs/Files.h"
#include "platform/process/ChildProcess.h"
#include "tests/faxservice/FaxTestSupport.h"  // ReadPages

namespace brevant::test {

// The line's pace (times real time): BREVANT_MODEM_PACE, else 4.
double Pace();

// A program run in the background with its output (and errors) in a file;
// killed when destroyed.
class Program {
 public:
  Program(const std::vector<std::string>& argv, const std::string& dir, const std::string& output);
  // Its exit code, -1 when it did not end in time (it is killed then).
  int Wait(double seconds);
  int Pid() const { return child_.Pid(); }
  std::string Output() const;
  // Waits until its output holds `text` (a program saying it is ready).
  bool WaitOutput(const std::string& text, double seconds) const;

 private:
  platform::ChildProcess child_;
  std::string output_;
};

// bin/modem-pair with its two modems; stopped when destroyed. Extra options
// ("--busy", "1", ...) shape the line.
class ModemPair {
 public:
  explicit ModemPair(const std::string& dir, const std::vector<std::string>& options = {});
  bool Started() const { return !a_.empty() && !b_.empty(); }
  const std::string& A() const { return a_; }
  const std::string& B() const { return b_; }
  void Kill();                                              // as if the modems were unplugged
  std::string Trace() const { return program_->Output(); }  // the AT traffic of both modems

 private:
  std::unique_ptr<Program> program_;
  std::string a_, b_;
};

// Runs a program to its end; its exit code (-1 when killed after the
// time-out) and output.
int Run(const std::vector<std::string>& argv, double seconds, std::string* output = nullptr);

// MakeFaxTiff's pages (a page swap or a lost page shows), at fine (196
// lines per inch) or normal (98) resolution.
std::vector<faxsvc::FaxPage> TestPages(int count, bool fine);
// A single-strip Group 3 TIFF of the pages, the form efax and HylaFAX take.
bool WriteG3Tiff(const std::string& path, const std::vector<faxsvc::FaxPage>& pages);
// Each received page equals the sent one pixel for pixel at the same
// resolution (white rows may be added at its end, up to two lost). Below a
// sender's band of `header` rows (efax) the image may start anywhere.
::testing::AssertionResult SamePages(const std::vector<faxsvc::FaxPage>& sent,
                                     const std::vector<faxsvc::FaxPage>& got, int header = 0);

// The pages efax stored, one file per page (PREFIX.001, PREFIX.002, ...).
std::vector<faxsvc::FaxPage> EfaxPages(const std::string& prefix);
// efax waiting for a call on `device` and answering at the first ring as
// station `id`, its pages going to DIR/got.001, ...; returned once it has
// set its modem up (a failed expectation when it did not).
std::unique_ptr<Program> EfaxReceiver(const std::string& device, const std::string& dir,
                                      const std::string& id);

// HylaFAX's servers on one modem of the line (scripts/setup-hylafax), until
// destroyed (removing the faxes received meanwhile). Needs root; the spool is
// the machine's: /run/brevant-hylafax.lock is held from start to stop.
class HylaFax {
 public:
  explicit HylaFax(const std::string& device);
  ~HylaFax();
  bool Running() const { return running_; }
  const std::string& Why() const { return why_; }
  // Waits for a fax received since the start that faxgetty has logged and
  // that holds `pages` pages (faxgetty may still be closing it); its file.
  std::string WaitReceived(int pages, double seconds) const;
  // Waits until faxgetty has its modem ready to answer (after a start or a call).
  static bool WaitIdle(double seconds);
  // faxgetty's state line ("Running and idle"), for failure messages.
  static std::string ModemState();

 private:
  std::vector<std::string> Received() const;  // files in its received queue
  bool started_ = false, running_ = false;
  platform::UniqueFd lock_;
  std::string why_;
  std::vector<std::string> before_;
};

}  // namespace brevant::test
