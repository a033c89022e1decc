#pragma once
// Fax calls on a Class 1 fax modem: our own T.30 session (SpanDSP's T.30
// engine, driven through its front-end hooks instead of its audio modems)
// over the modem's AT commands: AT+FTH/FRH=3 for the V.21 control frames,
// AT+FTM/FRM for image data at V.27ter, V.29 and V.17 rates, AT+FTS for the
// pauses between them. Training checks, fall-back to lower rates, RTN/RTP
// retraining and error correction (T.30 Annex A, with partial page
// requests) come from the T.30 engine; this side moves its frames and data
// through the modem and keeps its timers running.
//
// The results say what the call did (pages, rate, station ids, times), why
// it failed in terms the queue's retry rules can use, and the modem's name.
#include <atomic>
#include <functional>
#include <string>

#include "faxservice/daemon/lines/class1/Class1Modem.h"

namespace brevant::faxd {

// One modem line's settings.
struct ModemSettings {
  std::string device;      // /dev/ttyUSB0, /dev/ttyACM0, /dev/ttyS0, a pty
  int baud = 19200;        // speed of the serial port
  std::string init;        // extra init commands, without "AT" ("&FM0")
  std::string dialPrefix;  // dialled before every number ("0," for an outside line)
  bool pulse = false;      // pulse dialling instead of tone
  std::string stationId;   // our TSID when sending, CSID when receiving
  int rings = 1;           // rings before answering
  int maxRate = 14400;     // highest image bit rate (2400 ... 14400)
  bool ecm = true;         // offer error correction
};

// Why a call did not succeed, for the retry rules.
enum class LineFailure {
  kNone,
  kBusy,
  kNoAnswer,   // it rang out
  kNoCarrier,  // answered, but no fax machine (or dialling gave NO CARRIER)
  kNoDialTone,
  kFarEndHungUp,  // the call dropped after it had started
  kModem,         // the modem stopped answering, or its device went away
  kProtocol,      // T.30 failed: training, incompatible far end, ...
  kCancelled,
  kBadNumber,  // nothing dialable
  kNoCall,     // receiving: no call came in the time allowed
};

// audioSeconds counts from the answer (CONNECT) to the end of the T.30
// session; wallSeconds the whole call with the modem's set-up and hang-up.
struct ModemCallResult {
  bool ok = false;
  bool canceled = false;
  bool farEndHungUp = false;
  int completionCode = -1;  // the T.30 engine's completion code
  std::string result;       // "OK" or why the call failed
  int pagesSent = 0;
  int pagesReceived = 0;
  int bitRate = 0;
  std::string remoteIdent;  // the answering station's id as the caller saw it
  std::string callerIdent;  // the caller's id as the answering station saw it
  double audioSeconds = 0;
  double wallSeconds = 0;
  LineFailure failure = LineFailure::kNone;
  std::string modem;  // the modem's make and model
  std::string device;
  double dialSeconds = 0;  // from dialling (or answering) to CONNECT
};

// How a running call reports and can be stopped.
struct CallHooks {
  // The call is abandoned once either says so (asked every few ms).
  const std::atomic<bool>* cancel = nullptr;
  std::function<bool()> cancelled;
  // The far end answered as a fax machine (CONNECT after dialling or
  // answering): pages are about to flow.
  std::function<void()> onConnect;
  // After each page the far end confirmed (sending) or we stored (receiving).
  std::function<void(int pages)> onPage;
  // Every line to and from the modem.
  std::function<void(const std::string&)> trace;
};

// The ATD command for a number on this line: the prefix, then the number
// with its dial characters as modifiers ("p" pulse from here on, "w" and
// "d" wait for dial tone, "," pause; blanks and - / ( ) . dropped). False
// with a reason when nothing dialable is left or a character is not one a
// fax number may hold.
bool DialCommand(const ModemSettings& line, const std::string& number, std::string* command,
                 std::string* why);

// Opens the modem when it is not open (or went away), resets it (ATZ, the
// line's init string, Class 1) and asks it about itself: the first step of
// every call. The fax service's lines do it once and keep the modem open
// between calls, listening for rings.
bool PrepareModem(Class1Modem& modem, const ModemSettings& line, const CallHooks& hooks, ModemInfo* info,
                  std::string* why);

// On a prepared modem: dials `number`, sends pages firstPage.. (1-based) of
// the TIFF and hangs up.
ModemCallResult SendOnModem(Class1Modem& modem, const ModemInfo& info, const ModemSettings& line,
                            const std::string& number, const std::string& tiff, int firstPage,
                            const CallHooks& hooks = {});

// On a prepared modem with a call ringing: answers it (ATA), stores the
// pages in `tiff` and hangs up. The caller's TSID is in callerIdent.
ModemCallResult AnswerOnModem(Class1Modem& modem, const ModemInfo& info, const ModemSettings& line,
                              const std::string& tiff, const CallHooks& hooks = {});

// Dials `number` and sends the TIFF's pages.
ModemCallResult SendFax(const ModemSettings& line, const std::string& number, const std::string& tiff,
                        const CallHooks& hooks = {});

// Waits up to `waitSeconds` for a call, answers it after line.rings RINGs
// and stores the pages in `tiff` (removed again when no page arrived). The
// caller's TSID is in callerIdent.
ModemCallResult ReceiveFax(const ModemSettings& line, const std::string& tiff, double waitSeconds,
                           const CallHooks& hooks = {});

// Opens the device and asks the modem about itself; false with a reason a
// user can act on ("/dev/ttyS0 does not offer fax Class 1 ...").
bool ProbeDevice(const ModemSettings& line, ModemInfo* info, std::string* why);

}  // namespace brevant::faxd
