#pragma once
// The fax job as XML (root "Fax"), the body of the mail to the mail-fax
// service. The fax job XML writer of faxjob/ provides it; FaxJobXmlFallback.cpp
// holds a weak stand-in used only while that writer is not linked.
#include <string>

namespace brevant {
std::string GetFaxJobXml();
}  // namespace brevant
