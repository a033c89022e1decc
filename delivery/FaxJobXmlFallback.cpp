// A weak stand-in for the fax job XML writer of faxjob/: same layout (root
// "Fax", one element per field, recipients numbered from 1, dates as
// "yyyyMMdd HH:mm:ss", no declaration, no indentation). The writer of
// faxjob/, once linked, takes its place.
#include <ctime>
#include <pugixml.hpp>
#include <sstream>

#include "common/FaxJob.h"
#include "delivery/FaxJobXml.h"

namespace brevant {

__attribute__((weak)) std::string GetFaxJobXml() {
  const FaxJobRecord& j = FaxJob();
  pugi::xml_document doc;
  pugi::xml_node root = doc.append_child("Fax");
  auto put = [&](const std::string& name, const std::string& value) {
    root.append_child(name.c_str()).text().set(value.c_str());
  };
  std::string cover;
  if (j.UseCover && j.CoverIndex >= 1 && static_cast<std::size_t>(j.CoverIndex) <= j.CoverPages.Count())
    cover = j.CoverPages[static_cast<std::size_t>(j.CoverIndex)];
  std::time_t t = std::chrono::system_clock::to_time_t(j.DTFaxSend);
  std::tm tm{};
  localtime_r(&t, &tm);
  char date[32];
  std::strftime(date, sizeof date, "%Y%m%d %H:%M:%S", &tm);
  put("FaxCover", cover);
  put("FaxSubject", j.FaxSubject);
  put("FaxPriority", std::to_string(j.FaxPriority));
  put("FaxSchedule", std::to_string(j.FaxSchedule));
  put("DTFaxSend", date);
  put("Note", j.Note);
  put("FaxName", j.FaxName);
  put("FaxBody", j.FaxBody);
  put("SenderAddress", j.SenderAddress);
  put("SenderBillingCode", j.SenderBillingCode);
  put("SenderCompany", j.SenderCompany);
  put("SenderDepartment", j.SenderDepartment);
  put("SenderEmail", j.SenderEmail);
  put("SenderfaxNumber", j.SenderfaxNumber);
  put("SenderFullName", j.SenderFullName);
  put("SenderHomePhone", j.SenderHomePhone);
  put("SenderTitle", j.SenderTitle);
  put("SenderOffice", j.SenderOffice);
  put("SenderWorkPhone", j.SenderWorkPhone);
  put("RecipientsNumber", std::to_string(j.g_arrFaxName.Count()));
  for (std::size_t k = 1; k <= j.g_arrFaxName.Count(); ++k) {
    put("RecipientName" + std::to_string(k), j.g_arrFaxName[k]);
    put("RecipientNumber" + std::to_string(k), k <= j.g_arrFaxNumber.Count() ? j.g_arrFaxNumber[k] : "");
  }
  std::ostringstream out;
  doc.save(out, "", pugi::format_raw | pugi::format_no_declaration);
  return out.str();
}

}  // namespace brevant
