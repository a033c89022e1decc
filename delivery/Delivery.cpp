#include "delivery/Delivery.h"

namespace brevant {

// SendFaxMSFax lives in FaxTransport.cpp; SendFaxMail and SendFaxEFax in
// MailTransport.cpp.

}  // namespace brevant
