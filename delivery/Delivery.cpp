#include "delivery/Delivery.h"

#include "common/Logging.h"

namespace brevant {

void SendFaxMSFax() { NotAvailable("mFaxFuncs.SendFaxMSFax"); }
void SendFaxMail() { NotAvailable("mSendFaxMail.SendFaxMail"); }
void SendFaxEFax() { NotAvailable("mSendFaxMail.SendFaxEFax"); }

}  // namespace brevant
