#pragma once
// The three delivery paths of a finished fax job.
namespace brevant {

// The fax service: one fax per recipient into the outgoing queue.
void SendFaxMSFax();
// The mail-fax service: one mail with the fax job XML and the fax image.
void SendFaxMail();
// The e-mail-to-fax gateway: one mail address per recipient number.
void SendFaxEFax();

}  // namespace brevant
