#pragma once
// A fax modem on a serial port (built-in, USB or a pseudo-terminal), spoken
// to in AT commands: the command and answer layer under a Class 1 fax call.
//
// Every wait has a time-out. A modem that does not answer in time, or whose
// device goes away (unplugged, closed under us), shows as Reply::kTimeout or
// Reply::kGone; Reset() tries ATZ and then reopens the device.
//
// In the data phases (after CONNECT) bytes are DLE-stuffed as Class 1
// requires: a DLE in the data is sent and received twice, and DLE ETX ends
// the data. Output is paced by the port's RTS/CTS flow control: writes wait
// while the modem holds CTS off.
//
// What a modem sends is held in a bounded buffer (ModemInput): a device
// that sends without end, or a line that never ends, costs the service a
// fixed amount of memory and ends the wait with Reply::kOverflow.
//
// The service opens a modem as root for whoever configured it, so only
// device nodes that are modems by their kind and their owner are opened
// (ModemDeviceAllowed), and a UUCP lock file keeps a modem only when a
// program that may use modems wrote it and still holds the device.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/fs/Files.h"

namespace brevant::faxd {

// A modem's final result codes (V.250, T.31), plus two of our own.
enum class Reply {
  kOk,
  kConnect,
  kRing,
  kNoCarrier,
  kError,
  kNoDialTone,
  kBusy,
  kNoAnswer,
  kFcError,   // +FCERROR: a different carrier than the one asked for
  kTimeout,   // no final result code in time
  kGone,      // the device went away
  kAborted,   // the caller's idle hook stopped the wait
  kOverflow,  // the modem sent more than an answer may hold (Class1Modem::Problem says what)
};

const char* ReplyText(Reply r);

// What the modem sent that the driver has not taken yet. Lines (result
// codes, information text) and DLE-stuffed data come out of the same
// bytes; at most kCapacity of them are held, and a line is at most
// kMaxLine long.
class ModemInput {
 public:
  static constexpr std::size_t kCapacity = 64 * 1024;
  // Far longer than anything a modem answers (ATI texts, +FTM=? lists,
  // caller id lines).
  static constexpr std::size_t kMaxLine = 1024;
  enum class Take { kNone, kLine, kTooLong };

  std::size_t Room() const { return kCapacity - buf_.size(); }
  bool Empty() const { return buf_.empty(); }
  // Takes at most Room() bytes; the rest is not taken.
  void Append(const uint8_t* data, std::size_t len);
  // The next line that is not blank, trimmed, without its end. kTooLong
  // when kMaxLine bytes came without a line end (they are dropped).
  Take TakeLine(std::string* line);
  // Everything held, DLE-unstuffed, appended to *out, up to DLE ETX
  // (*end set; what follows stays for TakeLine).
  void TakeData(std::vector<uint8_t>* out, bool* end);
  void Clear();

 private:
  std::vector<uint8_t> buf_;
  bool skipLf_ = false;  // the last line ended in CR: an LF right after it belongs to it
  bool dle_ = false;     // a DLE ended the last data taken
};

// A final result code in a line of the modem's ("CONNECT 9600" counts as
// CONNECT); false for an information line.
bool FinalCode(const std::string& line, Reply* r);

// Whether a device node is one the service may open as a modem: a serial
// port (ttyS), a USB modem (ttyACM) or USB-serial adapter (ttyUSB), or a
// pseudo-terminal under /dev/pts (an emulated modem), that belongs to root
// (or uucp) and the group dialout (or uucp, or root), as the system makes
// its modem devices. Never a console, a virtual terminal or a terminal a
// user owns. `path` is the node's resolved path; false with the reason.
bool ModemDeviceAllowed(const struct stat& st, const std::string& path, std::string* why);

class Class1Modem {
 public:
  // Runs while a wait is in progress (at least every 20 ms); returning false
  // stops the wait with Reply::kAborted.
  using Idle = std::function<bool()>;

  // openPath, when given, is what is opened and locked (the device a
  // checked link resolved to; else where `device`'s links lead now);
  // messages name `device` as configured. The node is checked before it is
  // opened and again on its descriptor (ModemDeviceAllowed): no link is
  // followed at open.
  explicit Class1Modem(std::string device, int baud = 19200, std::string openPath = "");
  ~Class1Modem();
  Class1Modem(const Class1Modem&) = delete;
  Class1Modem& operator=(const Class1Modem&) = delete;

  const std::string& Device() const { return device_; }
  // Opens the device for this process alone (flock and a UUCP lock file,
  // so faxgetty or efax on the same port are not disturbed): raw 8N1,
  // RTS/CTS flow control, DTR raised, pending input dropped.
  bool Open(std::string* why);
  void Close();
  bool IsOpen() const { return fd_.valid(); }
  bool Gone() const { return gone_; }
  // What the modem sent beyond what the driver takes ("the modem on DEVICE
  // sent ..."): a wait that ended in Reply::kOverflow, or data beyond
  // kMaxData; "" when it did not since the device was opened.
  const std::string& Problem() const { return problem_; }
  // A lock file found on the port that was not honoured, and why (for the
  // service's event history); "" when none.
  const std::string& IgnoredLock() const { return ignoredLock_; }

  // Information lines one answer may have before its result code.
  static constexpr std::size_t kMaxInfoLines = 64;
  // The data one CONNECT may bring: far more than the longest page (20,000
  // rows) takes in any coding; a modem that sends more is not carrying a fax.
  static constexpr std::size_t kMaxData = 16u << 20;

  // "AT" + cmd, and its final result code; the information lines before it
  // (echo and blank lines left out) go to *info.
  Reply Command(const std::string& cmd, double timeout, std::vector<std::string>* info = nullptr,
                const Idle& idle = {});
  // Sends "AT" + cmd without waiting for the answer.
  bool Send(const std::string& cmd);
  // The next final result code.
  Reply WaitReply(double timeout, const Idle& idle = {}, std::vector<std::string>* info = nullptr);

  // Data to the modem after CONNECT, DLE-stuffed; false when the modem did
  // not take it within the time-out (flow control held too long) or went away.
  bool WriteData(const uint8_t* data, size_t len, double timeout, const Idle& idle = {});
  // DLE ETX: the end of the data.
  bool EndData(double timeout);
  // Data from the modem after CONNECT, DLE-unstuffed, appended to *out;
  // waits up to `wait` seconds for the first byte. *end is set once DLE
  // ETX has arrived (what follows stays for WaitReply). False when the
  // device went away, or sent more than kMaxData since the CONNECT
  // (Problem says so).
  bool ReadData(std::vector<uint8_t>* out, bool* end, double wait);
  // Stops a receive command in progress (any character does) and waits
  // for the modem to return to command state.
  Reply Abort(double timeout = 3);
  // Drops output the port has not sent yet (a call cancelled mid-page).
  void DiscardOutput();
  // Waits up to `seconds` for the modem to say something, leaving it for
  // the next WaitReply or ReadData; false when the device went away.
  bool Wait(double seconds) { return Fill(seconds); }

  // ATZ, the settings Class 1 needs (no echo, verbose result codes) and the
  // line's own init string; on no answer the device is reopened and tried
  // once more.
  bool Reset(const std::string& init, std::string* why);

  // Every line to and from the modem, for traces (data phases summarised).
  void SetTrace(std::function<void(const std::string&)> trace) { trace_ = std::move(trace); }

 private:
  bool Fill(double wait);  // reads what has arrived into in_
  bool WriteRaw(const uint8_t* data, size_t len, double timeout, const Idle& idle);
  void Trace(const std::string& what) const;
  bool Lock(dev_t rdev, std::string* why);
  void Unlock();

  std::string device_, openPath_;
  int baud_;
  platform::UniqueFd fd_;
  bool gone_ = false;
  std::string problem_;
  std::size_t dataTaken_ = 0;  // since the last CONNECT
  std::string ignoredLock_;
  std::string lockFile_;
  std::string heldPort_;  // the lock file's name while this object holds the port
  ModemInput in_;         // received, not yet taken
  std::function<void(const std::string&)> trace_;
};

// What a modem says about itself: ATI, +GMI/+GMM/+GMR, +FCLASS=?, +FTM=?,
// +FRM=?.
struct ModemInfo {
  std::string manufacturer, model, revision, identity;
  std::string classes;             // as the modem lists them ("0,1,2")
  std::vector<int> transmitRates;  // Class 1 modulation codes (24 ... 146)
  std::vector<int> receiveRates;
  bool class1 = false;
  // "maker model" as far as known, else the ATI answer, else the device.
  std::string Name() const;
  // Highest bit rate both directions offer (0 when none).
  int MaxBitRate() const;
};

// The Class 1 modulation codes in a modem's answer to +FTM=? or +FRM=?
// ("24,48,72,96", "(24,48)", ranges such as "72-74"), as far as they are
// known codes.
std::vector<int> ParseModulations(const std::vector<std::string>& lines);

// Asks an open, reset modem about itself. False with a reason when it does
// not answer or does not offer Class 1.
bool ProbeModem(Class1Modem& modem, ModemInfo* info, std::string* why);

// Bit rate of a Class 1 modulation code (24 -> 2400 ... 146 -> 14400; 0 when
// unknown).
int ModulationBitRate(int code);

}  // namespace brevant::faxd
