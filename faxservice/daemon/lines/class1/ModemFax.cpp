// modem-fax: one fax call on a Class 1 modem from the command line, with the
// driver the fax service's modem lines use.
//
//   modem-fax probe DEVICE
//   modem-fax send DEVICE NUMBER FILE.tif [options]
//   modem-fax receive DEVICE OUT.tif [options]
//
// Options: --id STATION  --prefix DIALPREFIX  --pulse  --init CMDS
//          --max-rate BPS  --no-ecm  --rings N  --wait SECONDS  --baud N  --trace
//
// It prints the outcome as key=value lines (result, pages, rate, remote,
// modem, seconds) and exits 0 when the fax went through, 1 when not, 2 on
// a usage error.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "faxservice/daemon/lines/class1/ModemLine.h"

namespace {

std::atomic<bool> g_cancel{false};
void OnSignal(int) {
  g_cancel = true;
}

int Usage() {
  std::fprintf(stderr,
               "usage: modem-fax probe DEVICE\n"
               "       modem-fax send DEVICE NUMBER FILE.tif [options]\n"
               "       modem-fax receive DEVICE OUT.tif [options]\n"
               "options: --id STATION --prefix DIALPREFIX --pulse --init CMDS --max-rate BPS --no-ecm\n"
               "         --rings N --wait SECONDS --baud N --trace\n");
  return 2;
}

const char* FailureName(brevant::faxd::LineFailure f) {
  using brevant::faxd::LineFailure;
  switch (f) {
    case LineFailure::kNone:
      return "none";
    case LineFailure::kBusy:
      return "busy";
    case LineFailure::kNoAnswer:
      return "no-answer";
    case LineFailure::kNoCarrier:
      return "no-carrier";
    case LineFailure::kNoDialTone:
      return "no-dial-tone";
    case LineFailure::kFarEndHungUp:
      return "far-end-hung-up";
    case LineFailure::kModem:
      return "modem";
    case LineFailure::kProtocol:
      return "protocol";
    case LineFailure::kCancelled:
      return "cancelled";
    case LineFailure::kBadNumber:
      return "bad-number";
    case LineFailure::kNoCall:
      return "no-call";
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace brevant::faxd;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::vector<std::string> pos;
  ModemSettings line;
  double wait = 120;
  bool trace = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> std::string { return i + 1 < args.size() ? args[++i] : std::string(); };
    if (a == "--id")
      line.stationId = value();
    else if (a == "--prefix")
      line.dialPrefix = value();
    else if (a == "--pulse")
      line.pulse = true;
    else if (a == "--init")
      line.init = value();
    else if (a == "--max-rate")
      line.maxRate = std::atoi(value().c_str());
    else if (a == "--no-ecm")
      line.ecm = false;
    else if (a == "--rings")
      line.rings = std::atoi(value().c_str());
    else if (a == "--wait")
      wait = std::atof(value().c_str());
    else if (a == "--baud")
      line.baud = std::atoi(value().c_str());
    else if (a == "--trace")
      trace = true;
    else if (a.compare(0, 2, "--") == 0)
      return Usage();
    else
      pos.push_back(a);
  }
  if (pos.size() < 2) return Usage();
  line.device = pos[1];
  if (pos[0] == "probe" && pos.size() == 2) {
    ModemInfo info;
    std::string why;
    if (!ProbeDevice(line, &info, &why)) {
      std::fprintf(stderr, "modem-fax: %s\n", why.c_str());
      return 1;
    }
    std::printf("modem=%s\nidentity=%s\nrevision=%s\nclasses=%s\nmax_rate=%d\n", info.Name().c_str(),
                info.identity.c_str(), info.revision.c_str(), info.classes.c_str(), info.MaxBitRate());
    std::string tx, rx;
    for (int c : info.transmitRates) tx += (tx.empty() ? "" : ",") + std::to_string(c);
    for (int c : info.receiveRates) rx += (rx.empty() ? "" : ",") + std::to_string(c);
    std::printf("transmit=%s\nreceive=%s\n", tx.c_str(), rx.c_str());
    return 0;
  }

  ::signal(SIGINT, OnSignal);
  ::signal(SIGTERM, OnSignal);
  CallHooks hooks;
  hooks.cancel = &g_cancel;
  hooks.onPage = [](int pages) { std::fprintf(stderr, "modem-fax: page %d done\n", pages); };
  if (trace) hooks.trace = [](const std::string& t) { std::fprintf(stderr, "%s\n", t.c_str()); };
  ModemCallResult r;
  if (pos[0] == "send" && pos.size() == 4) {
    r = SendFax(line, pos[2], pos[3], hooks);
  } else if (pos[0] == "receive" && pos.size() == 3) {
    r = ReceiveFax(line, pos[2], wait, hooks);
  } else {
    return Usage();
  }
  std::printf(
      "result=%s\nfailure=%s\npages_sent=%d\npages_received=%d\nrate=%d\nremote=%s\ncaller=%s\n"
      "modem=%s\nline_seconds=%.1f\nseconds=%.1f\n",
      r.result.c_str(), FailureName(r.failure), r.pagesSent, r.pagesReceived, r.bitRate,
      r.remoteIdent.c_str(), r.callerIdent.c_str(), r.modem.c_str(), r.audioSeconds, r.wallSeconds);
  return r.ok ? 0 : 1;
}
