#include "app/ServiceProbes.h"

#include "common/Folders.h"
#include "common/MailSessions.h"
#include "common/OsCheck.h"
#include "delivery/FaxTransport.h"
#include "faxservice/client/FaxService.h"
#include "printing/FaxPrinterSetup.h"

namespace brevant {

void RegisterServiceProbes() {
  mCommon::SetFaxServerStarter([] { GetFaxServer(); });
  SetFaxServiceProbe(FaxServiceProbe{[] {
                                       auto server = GetFaxServer();
                                       return server && server->Connected();
                                     },
                                     [] { return mCommon::CheckXP(); }});
}

}  // namespace brevant
