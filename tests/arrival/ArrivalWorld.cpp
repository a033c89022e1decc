#include "tests/arrival/ArrivalWorld.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "common/ClientConfig.h"
#include "faxjob/CXmlGroups.h"
#include "platform/emf/Emf.h"
#include "render/cover/CoverPage.h"
#include "tests/arrival/Marks.h"
#include "tests/render/TiffCheck.h"
#include "tests/support/RegValues.h"

namespace brevant::test {
namespace {

// The sender details every cover page shows: the stored value, its field.
const struct {
  const char *value, *field, *text;
} kSender[] = {{"FullName", "SdrName", "Jonas Bergmann"},
               {"Company", "SdrCompany", "Norvane Supplies"},
               {"FaxNumber", "SdrFaxNumber", "+49 30 5557 1200"},
               {"OfficePhone", "SdrOfficePhone", "+49 30 5557 1201"},
               {"MailBox", "SdrEmail", "jonas@norvane.test"}};

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
  for (const auto& s : kSender) SetRegString(HKCU, kUserInfoKey, s.value, s.text);
  UseDeliveryPath(0);
  ChooseCover(std::nullopt);
}

ArrivalWorld::~ArrivalWorld() {
  ::unsetenv("BREVANT_FAX_PRINTER");
}

void ArrivalWorld::UseDeliveryPath(int programType, const std::string& address) {
  Config().ProgramType = programType;
  Config().EmailFax = address;
  CXmlGroups groups;
  groups.WriteCfgProps();
}

void ArrivalWorld::ChooseCover(const std::optional<CoverChoice>& choice) {
  SetRegString(HKCU, kPelorinKey, "SetCoverPage", choice ? "1" : "0");
  SetRegString(HKCU, kPelorinKey, "CoverPageSubject", choice ? choice->subject : "");
  SetRegString(HKCU, kPelorinKey, "CoverPageNote", choice ? choice->note : "");
  SetRegString(HKCU, kUserInfoKey, "CoverPageFile", choice ? choice->file : "");
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
      const auto archived = ReadBilevel(sent.Item(i).Get("path"));
      a.archiveCompression = archived.empty() ? 0 : archived[0].compression;
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
         {"TimeSent", RegString(HKCU, kUserInfoKey, "Sent")},
         {"PageCount", std::to_string(pageCount)}};
    for (const auto& s : kSender) f[s.field] = s.text;
  }
  emf::Page drawn;
  faxsvc::FaxPage page;
  if (!cover::RenderPage(choice.file, f, &drawn, nullptr)) return page;
  page.width = drawn.width;
  page.height = drawn.height;
  for (int y = 0; y < drawn.height; ++y)
    for (int x = 0; x < drawn.width; ++x) page.pixels.push_back(drawn.Black(x, y));
  return page;
}

void ExpectPages(const Arrival& a, std::size_t skip, int count, Mark mark, int first) {
  ASSERT_EQ(a.pages.size(), skip + std::size_t(count)) << a.error;
  for (std::size_t i = 0; i < a.pages.size(); ++i) {
    const faxsvc::FaxPage& p = a.pages[i];
    EXPECT_EQ(p.width, 1728) << "page " << i + 1;
    EXPECT_TRUE(p.yres == 196.0f || p.yres == 98.0f) << p.yres;
    const int n = first + int(i) - int(skip);
    if (i < skip) continue;
    if (mark != Mark::FaxPages)
      EXPECT_EQ(InkOutsidePrintable(p), std::vector<std::string>{})
          << "page " << i + 1 << " reaches the fax's edge";
    if (mark == Mark::Lines) {
      EXPECT_EQ(TextLines(p), 3 * n) << "page " << i + 1 << " is not text page " << n;
      continue;
    }
    EXPECT_EQ(Squares(p), n) << "page " << i + 1 << " is not page " << n;
    if (mark != Mark::SquaresUnframed)
      EXPECT_EQ(MissingSides(p), std::vector<std::string>{}) << "page " << i + 1 << " lost its edges";
  }
}

void ArrivalWorld::ExpectCover(const Arrival& a, const CoverChoice& choice, const std::string& name,
                               const std::string& number, int pageCount) {
  ASSERT_FALSE(a.pages.empty()) << "no cover page arrived";
  const double filled = Difference(a.pages[0], ExpectedCover(choice, name, number, pageCount));
  // Fax lines carry G4 pages whole: a wrong digit (about 400 pixels) shows.
  EXPECT_LT(filled, 0.00006) << "the cover page is not the one its fields make";
  EXPECT_GT(Difference(a.pages[0], ExpectedCover(choice, "", "", 0, true)), 4 * filled + 0.002)
      << "the cover page arrived without its fields";
}

}  // namespace brevant::test
