#include "delivery/Delivery.h"

#include "common/Logging.h"

namespace brevant {

// SendFaxMSFax lives in FaxTransport.cpp.
void SendFaxMail() { NotAvailable("mSendFaxMail.SendFaxMail"); }
void SendFaxEFax() { NotAvailable("mSendFaxMail.SendFaxEFax"); }

}  // namespace brevant
