// Fuzzes the fax job XML writer's input: any fax job gives a document that
// parses and reads back into the same fax job (texts that XML can hold
// exactly, the others stable after one pass), and any element name is either
// refused or written so that it reads back.
#include <cstring>
#include <vector>

#include "common/Errors.h"
#include "common/FaxJob.h"
#include "faxjob/CXmlFax.h"
#include "tests/fuzz/FuzzWorld.h"

using namespace brevant;

namespace {

// ASCII text without control characters other than tab and line feed
// stands in the document unchanged.
bool Plain(const std::string& s) {
  for (unsigned char c : s)
    if ((c < 0x20 && c != '\t' && c != '\n') || c >= 0x7F) return false;
  return true;
}

std::vector<std::string*> TextFields(FaxJobRecord& j) {
  return {&j.FaxSubject,     &j.Note,
          &j.FaxName,        &j.FaxBody,
          &j.SenderAddress,  &j.SenderBillingCode,
          &j.SenderCompany,  &j.SenderDepartment,
          &j.SenderEmail,    &j.SenderfaxNumber,
          &j.SenderFullName, &j.SenderHomePhone,
          &j.SenderTitle,    &j.SenderOffice,
          &j.SenderWorkPhone};
}

FaxJobRecord ReadBack(const std::string& xml) {
  ClearFaxJob();
  CXmlFax r;
  r.SetXML(xml);
  r.ReadSendFaxProps();
  return FaxJob();
}

}  // namespace

FUZZ_WORLD_SETUP

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  FaxJobRecord& j = FaxJob();
  ClearFaxJob();
  j.FaxPriority = std::int8_t(data[0]);
  j.FaxSchedule = std::int8_t(data[1]);
  std::uint32_t secs;
  std::memcpy(&secs, data + 2, 4);
  // Any second from 1900 to about 2036.
  j.DTFaxSend = LocalDateTime(std::chrono::seconds(std::int64_t(secs) - 2208988800LL));
  j.UseCover = data[6] & 1;

  std::vector<std::string> fields;
  std::string cur;
  for (std::size_t i = 8; i < size; ++i) {
    if (data[i] == 0)
      fields.push_back(std::move(cur)), cur.clear();
    else
      cur += char(data[i]);
  }
  fields.push_back(cur);
  std::size_t f = 0;
  auto next = [&] { return f < fields.size() ? fields[f++] : std::string(); };

  // An element name of its own first.
  {
    std::string name = next(), value = next();
    CXmlFax x;
    x.Create();
    bool written = true;
    try {
      x.WriteItemProp(name, value);
    } catch (const VbError& e) {
      FUZZ_CHECK(e.Number() == kErrInvalidCall);
      written = false;
    }
    if (written) {
      CXmlFax y;
      y.SetXML(x.XML());
      if (value.find('\r') == std::string::npos) FUZZ_CHECK(y.ReadItemPropS(name) == x.ReadItemPropS(name));
    }
  }

  j.CoverPages.Append(next());
  j.CoverIndex = 1;
  for (std::string* t : TextFields(j)) *t = next();
  while (f < fields.size()) {
    j.g_arrFaxName.Append(next());
    j.g_arrFaxNumber.Append(next());
  }
  const FaxJobRecord in = j;

  const std::string xml = GetFaxJobXml();
  FUZZ_CHECK(xml.rfind("<Fax><FaxCover", 0) == 0);
  FUZZ_CHECK(xml.size() >= 6 && xml.compare(xml.size() - 6, 6, "</Fax>") == 0);

  FaxJobRecord out = ReadBack(xml);
  FUZZ_CHECK(out.FaxPriority == in.FaxPriority && out.FaxSchedule == in.FaxSchedule);
  FUZZ_CHECK(out.DTFaxSend == std::chrono::floor<std::chrono::seconds>(in.DTFaxSend));
  FUZZ_CHECK(out.g_arrFaxName.Count() == in.g_arrFaxName.Count());
  FUZZ_CHECK(out.g_arrFaxNumber.Count() == in.g_arrFaxNumber.Count());
  const std::string cover = in.UseCover ? in.CoverPages[1] : "";
  if (Plain(cover)) FUZZ_CHECK(out.CoverPages[1] == cover);
  FaxJobRecord inCopy = in, outCopy = out;
  auto a = TextFields(inCopy), b = TextFields(outCopy);
  for (std::size_t k = 0; k < a.size(); ++k)
    if (Plain(*a[k])) FUZZ_CHECK(*a[k] == *b[k]);
  for (std::size_t k = 1; k <= in.g_arrFaxName.Count(); ++k) {
    if (Plain(in.g_arrFaxName[k])) FUZZ_CHECK(out.g_arrFaxName[k] == in.g_arrFaxName[k]);
    if (Plain(in.g_arrFaxNumber[k])) FUZZ_CHECK(out.g_arrFaxNumber[k] == in.g_arrFaxNumber[k]);
  }

  // A second pass changes nothing more.
  FaxJob().UseCover = true;
  FaxJob().CoverIndex = 1;
  const std::string xml2 = GetFaxJobXml();
  FaxJobRecord again = ReadBack(xml2);
  FaxJob().UseCover = true;
  FaxJob().CoverIndex = 1;
  FUZZ_CHECK(GetFaxJobXml() == xml2);
  auto c = TextFields(again);
  b = TextFields(out);
  for (std::size_t k = 0; k < b.size(); ++k) FUZZ_CHECK(*b[k] == *c[k]);
  return 0;
}
