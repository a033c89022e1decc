#include "app/ServiceProbes.h"

#include "common/Folders.h"
#include "common/MailSessions.h"
#include "common/OsCheck.h"
#include "delivery/FaxTransport.h"
#include "maintenance/BugReport.h"
#include "platform/faxservice/FaxService.h"
#include "printing/FaxPrinterSetup.h"

namespace brevant {

void RegisterServiceProbes() {
  mCommon::SetFaxServerStarter([] { GetFaxServer(); });
  SetFaxServiceProbe(FaxServiceProbe{
      [] {
        auto server = GetFaxServer();
        return server && server->Connected();
      },
      [] { return mCommon::CheckXP(); }});

  SetFaxServiceProbe([](bool xp, const std::string&) {
    FaxServiceReport r;
    auto server = GetFaxServer();
    r.created = server != nullptr;
    if (!server) {
      r.createError = "The fax service cannot be reached.";
      return r;
    }
    r.connected = server->Connected();
    if (!r.connected) return r;
    auto devices = server->GetDevices();
    for (long i = 1; i <= devices.Count(); ++i) {
      auto& d = devices.Item(i);
      if (xp) {
        FaxDeviceInfo info;
        info.DeviceName = d.DeviceName();
        info.ReceiveMode = std::to_string(d.ReceiveMode());
        info.RingsBeforeAnswer = std::to_string(d.RingsBeforeAnswer());
        info.SendEnabled = "True";
        info.PoweredOff = "False";
        info.CSID = d.CSID();
        info.TSID = d.TSID();
        r.devices.push_back(info);
      } else {
        FaxPortInfo port;
        port.DeviceId = std::to_string(d.Id());
        port.Send = "True";
        port.Receive = d.ReceiveMode() != 0 ? "True" : "False";
        port.Rings = std::to_string(d.RingsBeforeAnswer());
        port.TSID = d.TSID();
        port.CSID = d.CSID();
        r.ports.push_back(port);
      }
    }
    return r;
  });
}

}  // namespace brevant
