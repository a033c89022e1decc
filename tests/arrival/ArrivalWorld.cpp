#include "tests/arrival/ArrivalWorld.h"

#include <tiffio.h>
#include <unistd.h>

#include <cstdlib>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "faxjob/CXmlGroups.h"
#include "platform/emf/Emf.h"
#include "render/cover/CoverPage.h"

namespace brevant::test {
namespace {

constexpr const char* kUserInfo = "Software\\Microsoft\\Fax\\UserInfo";
constexpr const char* kPelorin = "Software\\Norvane\\Pelorin";

void SetUser(const char* key, const std::string& name, const std::string& value) {
  CWinReg reg;
  if (reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, key, true)) reg.SetString(name, value);
}

std::string GetUser(const char* key, const std::string& name) {
  CWinReg reg;
  return reg.InitForRead(CWinReg::HKEY_CURRENT_USER, key) ? reg.GetString(name) : "";
}

int Compression(const std::string& path) {
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (!t) return 0;
  uint16_t c = 0;
  TIFFGetField(t, TIFFTAG_COMPRESSION, &c);
  TIFFClose(t);
  return c;
}

}  // namespace

ArrivalWorld::ArrivalWorld() {
  if (!cups_.Problem().empty()) {
    problem_ = cups_.Problem();
    return;
  }
  queue_ = cups_.AddQueue(World().SpoolDir());
  if (queue_.empty()) {
    problem_ = "cannot add a fax printer queue";
    return;
  }
  ::setenv("BREVANT_FAX_PRINTER", queue_.c_str(), 1);
  daemon_.emplace(World());
  daemon_->CaptureStderr();
  if (!daemon_->Start()) {
    problem_ = "the fax service did not start";
    return;
  }
  daemon_->Call(faxsvc::Message("line_set").Set("pace", 0).Set("retries", 0));
  for (const auto& [name, value] : Sender()) SetUser(kUserInfo, name, value);
  UseDeliveryPath(0);
  ChooseCover(std::nullopt);
}

ArrivalWorld::~ArrivalWorld() {
  ::unsetenv("BREVANT_FAX_PRINTER");
}

const std::vector<std::pair<std::string, std::string>>& ArrivalWorld::Sender() {
  static const std::vector<std::pair<std::string, std::string>> sender{{"FullName", "Jonas Bergmann"},
                                                                       {"Company", "Norvane Supplies"},
                                                                       {"FaxNumber", "+49 30 5557 1200"},
                                                                       {"OfficePhone", "+49 30 5557 1201"},
                                                                       {"MailBox", "jonas@norvane.test"}};
  return sender;
}

void ArrivalWorld::UseDeliveryPath(int programType, const std::string& address) {
  Config().ProgramType = programType;
  Config().EmailFax = address;
  CXmlGroups groups;
  groups.WriteCfgProps();
}

void ArrivalWorld::ChooseCover(const std::optional<CoverChoice>& choice) {
  SetUser(kPelorin, "SetCoverPage", choice ? "1" : "0");
  SetUser(kPelorin, "CoverPageSubject", choice ? choice->subject : "");
  SetUser(kPelorin, "CoverPageNote", choice ? choice->note : "");
  SetUser(kUserInfo, "CoverPageFile", choice ? choice->file : "");
}

TestWorld::Result ArrivalWorld::Brevant(const std::string& commandLine) {
  return World().RunArgs("brevant", {commandLine});
}

long ArrivalWorld::LastJob() {
  faxsvc::Message r = daemon_->Call(faxsvc::Message("jobs").Set("queue", "out").Set("all", 1));
  long last = 0;
  for (int i = 1; i <= r.GetInt("count"); ++i) last = std::max(last, long(r.Item(i).GetInt("id")));
  return last;
}

Arrival ArrivalWorld::WaitArrival(long job) {
  Arrival a;
  a.job = job;
  WaitFor(
      [&] {
        faxsvc::Message j = daemon_->Call(faxsvc::Message("job").Set("id", job)).Item(1);
        a.status = int(j.GetInt("status"));
        a.error = j.Get("error");
        return a.status == faxsvc::kJobCompleted || a.status == faxsvc::kJobFailed ||
               a.status == faxsvc::kJobRetriesExceeded || a.status == faxsvc::kJobCanceled;
      },
      60);
  faxsvc::Message far = daemon_->Call(faxsvc::Message("farend"));
  for (int i = 1; i <= far.GetInt("count"); ++i)
    if (far.Item(i).GetInt("job_id") == job) a.pages = ReadPages(far.Item(i).Get("path"));
  faxsvc::Message sent = daemon_->Call(faxsvc::Message("archive").Set("folder", "out"));
  for (int i = 1; i <= sent.GetInt("count"); ++i)
    if (sent.Item(i).GetInt("job_id") == job) {
      a.reportedPages = long(sent.Item(i).GetInt("pages"));
      a.archiveCompression = Compression(sent.Item(i).Get("path"));
    }
  return a;
}

faxsvc::FaxPage ArrivalWorld::ExpectedCover(const CoverChoice& choice, const std::string& name,
                                            const std::string& number, int pageCount, bool blankFields) {
  cover::CoverFields f;
  if (!blankFields) {
    f = {{"RecName", name},
         {"RecFaxNumber", number},
         {"Subject", choice.subject},
         {"Note", choice.note},
         {"TimeSent", GetUser(kUserInfo, "Sent")},
         {"PageCount", std::to_string(pageCount)},
         {"SdrName", "Jonas Bergmann"},
         {"SdrCompany", "Norvane Supplies"},
         {"SdrFaxNumber", "+49 30 5557 1200"},
         {"SdrOfficePhone", "+49 30 5557 1201"},
         {"SdrEmail", "jonas@norvane.test"}};
  }
  emf::Page drawn;
  faxsvc::FaxPage page;
  if (!cover::RenderPage(choice.file, f, &drawn, nullptr)) return page;
  page.width = drawn.width;
  page.height = drawn.height;
  page.pixels.resize(std::size_t(drawn.width) * std::size_t(drawn.height));
  for (int y = 0; y < drawn.height; ++y)
    for (int x = 0; x < drawn.width; ++x)
      page.pixels[std::size_t(y) * std::size_t(drawn.width) + std::size_t(x)] = drawn.Black(x, y);
  return page;
}

}  // namespace brevant::test
