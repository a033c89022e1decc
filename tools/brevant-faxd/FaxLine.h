#pragma once
// One fax call on the loopback line: two T.30 endpoints (SpanDSP) joined
// back to back, exchanging 20 ms blocks of 8 kHz audio in memory. The
// calling side sends a TIFF, the answering side stores what it receives.
// The call is as real as on a telephone line (tones, training, V.27ter,
// V.29 or V.17 image data, T.30 frames), only not paced by a clock unless
// asked to be.
#include <atomic>
#include <functional>
#include <string>

namespace brevant::faxd {

enum Modem : int { kV27ter = 1, kV29 = 2, kV17 = 4 };

struct LineOptions {
  int modems = kV27ter | kV29 | kV17;
  bool ecm = false;
  std::string callerIdent;  // TSID of the sending station
  std::string answerIdent;  // CSID of the receiving station
  // The answering station hangs up after this many pages (0: never).
  int hangupAfterPages = 0;
  // 0: as fast as the processor allows; N: at most N times real time.
  double pace = 0;
  // Set from another thread to abandon the call.
  const std::atomic<bool>* cancel = nullptr;
  // Called after each page the sender has had confirmed.
  std::function<void(int pagesSent)> onPage;
};

struct CallResult {
  bool ok = false;
  bool canceled = false;
  bool farEndHungUp = false;
  int completionCode = -1;
  std::string result;  // "OK" or why the call failed
  int pagesSent = 0;
  int pagesReceived = 0;
  int bitRate = 0;
  std::string remoteIdent;  // the answering station's id as the caller saw it
  std::string callerIdent;  // the caller's id as the answering station saw it
  double audioSeconds = 0;  // length of the call on the line
  double wallSeconds = 0;
};

// Runs the whole call; rxFile is written by the answering side (removed
// again when the call was cancelled before any page arrived).
CallResult RunCall(const std::string& txFile, const std::string& rxFile, const LineOptions& opts);

}  // namespace brevant::faxd
