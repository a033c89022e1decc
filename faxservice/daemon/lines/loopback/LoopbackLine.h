#pragma once
// The loopback line: two T.30 endpoints (SpanDSP) joined back to back,
// exchanging 20 ms blocks of 8 kHz audio in memory. A fax sent on it is
// modulated, trained and acknowledged as on a telephone line (V.27ter,
// V.29 or V.17 image data, T.30 frames), only not paced by a clock unless
// asked to be. Its far end is a station of its own: a fax sent goes to it,
// and it keeps what it received in STATE/farend/, as another fax machine
// would, whatever becomes of the service afterwards. An incoming call
// plays the caller from a document the "call" request handed over.
//
// Settings it reads (line_set): modems (1 V.27ter, 2 V.29, 4 V.17), ecm,
// pace (0 as fast as possible, N times real time), busy_count (the next N
// calls find the line busy), hangup_after (the far end hangs up after N
// pages).
#include <string>

#include "faxservice/daemon/lines/Line.h"

namespace brevant::faxd {

class LoopbackLine : public Line {
 public:
  LoopbackLine(LineEnv env, const faxsvc::Message& device);
  CallReport Send(const OutgoingCall& call, CallEvents& events) override;
  CallReport Receive(const IncomingCall& call, CallEvents& events) override;

 private:
  LineEnv env_;
};

}  // namespace brevant::faxd
