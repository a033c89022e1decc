#include "faxjob/CXmlFax.h"

#include <cerrno>
#include <ctime>
#include <limits>
#include <pugixml.hpp>
#include <string_view>
#include <unordered_map>

#include "common/Errors.h"
#include "common/Logging.h"

namespace brevant {

namespace {

constexpr CXmlStore::Layout kFaxLayout{"Fax", false, false, false};

// Calendar fields to a local date-time: the date from year, month and day,
// then the seconds, minutes and hours added by calendar arithmetic, so
// out-of-range fields carry over (second 60 is the next minute, month 13 the
// next year, day 0 the last day of the month before). No time zone takes
// part: the result is the wall-clock time the fields name.
LocalDateTime FromFields(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  errno = 0;
  std::time_t t = ::timegm(&tm);
  // The date-time type counts nanoseconds in 64 bits: about 1678 to 2261.
  constexpr auto kLimit =
      std::chrono::duration_cast<std::chrono::seconds>(LocalDateTime::duration::max()).count() - 1;
  if ((t == std::time_t(-1) && errno == EOVERFLOW) || t > kLimit || t < -kLimit)
    throw VbError(kErrOverflow, "Overflow: the date is out of range");
  return LocalDateTime(std::chrono::seconds(t));
}

}  // namespace

LocalDateTime ZeroDate() {
  static const LocalDateTime zero = FromFields(1899, 12, 30, 0, 0, 0);
  return zero;
}

CXmlFax::CXmlFax() : CXmlStore(kFaxLayout, "") {}

void CXmlFax::WriteSendFaxProps() {
  const FaxJobRecord& j = FaxJob();
  Create();
  WriteItemProp("FaxCover",
                j.UseCover ? j.CoverPages[std::size_t(j.CoverIndex < 0 ? -1 : j.CoverIndex)] : "");
  WriteItemProp("FaxSubject", j.FaxSubject);
  WriteItemProp("FaxPriority", std::to_string(j.FaxPriority));
  WriteItemProp("FaxSchedule", std::to_string(j.FaxSchedule));
  WriteItemProp("DTFaxSend", ConvertDateToStr(j.DTFaxSend));
  WriteItemProp("Note", j.Note);
  WriteItemProp("FaxName", j.FaxName);
  WriteItemProp("FaxBody", j.FaxBody);
  WriteItemProp("SenderAddress", j.SenderAddress);
  WriteItemProp("SenderBillingCode", j.SenderBillingCode);
  WriteItemProp("SenderCompany", j.SenderCompany);
  WriteItemProp("SenderDepartment", j.SenderDepartment);
  WriteItemProp("SenderEmail", j.SenderEmail);
  WriteItemProp("SenderfaxNumber", j.SenderfaxNumber);
  WriteItemProp("SenderFullName", j.SenderFullName);
  WriteItemProp("SenderHomePhone", j.SenderHomePhone);
  WriteItemProp("SenderTitle", j.SenderTitle);
  WriteItemProp("SenderOffice", j.SenderOffice);
  WriteItemProp("SenderWorkPhone", j.SenderWorkPhone);
  std::size_t n = j.g_arrFaxName.Count();
  WriteItemProp("RecipientsNumber", std::to_string(n));
  for (std::size_t k = 1; k <= n; ++k) {
    std::string index = std::to_string(k);
    WriteItemProp("RecipientName" + index, j.g_arrFaxName[k]);
    WriteItemProp("RecipientNumber" + index, j.g_arrFaxNumber[k]);
  }
}

std::string CXmlFax::ConvertDateToStr(LocalDateTime dtDate) {
  const std::tm tm = CalendarFields(dtDate);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d %H:%M:%S", &tm);
  return buf;
}

LocalDateTime CXmlFax::ConvertStrToDate(const std::string& strDate) {
  if (strDate.size() != 17) return ZeroDate();
  auto part = [&](std::size_t pos, std::size_t len) { return XmlTextToInt32(strDate.substr(pos, len)); };
  int year = part(0, 4), month = part(4, 2), day = part(6, 2);
  int hour = part(9, 2), minute = part(12, 2), second = part(15, 2);
  return FromFields(year, month, day, hour, minute, second);
}

void CXmlFax::ReadSendFaxProps() {
  // The first element of each name, found once: a job with many recipients
  // would otherwise search the whole list for every entry.
  pugi::xml_node parent = PropertyParent();
  if (!parent) throw VbError(kErrObjectNotSet, "Object variable or With block variable not set");
  std::unordered_map<std::string_view, pugi::xml_node> first;
  for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element) first.emplace(c.name(), c);
  auto read = [&](const std::string& name) {
    auto it = first.find(name);
    if (it == first.end())
      throw VbError(kErrObjectNotSet,
                    "Object variable or With block variable not set: no element \"" + name + "\"");
    return XmlNodeText(it->second);
  };

  FaxJobRecord& j = FaxJob();
  j.CoverPages.Clear();
  j.CoverPages.Resize(1);
  j.CoverPages[1] = read("FaxCover");
  j.FaxSubject = read("FaxSubject");
  j.FaxPriority = XmlTextToInt32(read("FaxPriority"));
  j.FaxSchedule = XmlTextToInt32(read("FaxSchedule"));
  j.DTFaxSend = ConvertStrToDate(read("DTFaxSend"));
  j.Note = read("Note");
  j.FaxName = read("FaxName");
  j.FaxBody = read("FaxBody");
  j.SenderAddress = read("SenderAddress");
  j.SenderBillingCode = read("SenderBillingCode");
  j.SenderCompany = read("SenderCompany");
  j.SenderDepartment = read("SenderDepartment");
  j.SenderEmail = read("SenderEmail");
  j.SenderfaxNumber = read("SenderfaxNumber");
  j.SenderFullName = read("SenderFullName");
  j.SenderHomePhone = read("SenderHomePhone");
  j.SenderTitle = read("SenderTitle");
  j.SenderOffice = read("SenderOffice");
  j.SenderWorkPhone = read("SenderWorkPhone");
  std::int32_t n = XmlTextToInt32(read("RecipientsNumber"));
  if (n < 0) throw VbError(kErrSubscript, "Subscript out of range: " + std::to_string(n) + " recipients");
  VbList<std::string> names, numbers;
  for (std::int32_t k = 1; k <= n; ++k) {
    std::string index = std::to_string(k);
    names.Append(read("RecipientName" + index));
    numbers.Append(read("RecipientNumber" + index));
  }
  j.g_arrFaxName = std::move(names);
  j.g_arrFaxNumber = std::move(numbers);
}

std::string GetFaxJobXml() {
  try {
    CXmlFax xml;
    xml.WriteSendFaxProps();
    return xml.XML();
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mCommon.GetFaxJobXml");
    return "";
  }
}

}  // namespace brevant
