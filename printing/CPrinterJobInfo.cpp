#include "printing/CPrinterJobInfo.h"

#include "printing/Spooler.h"

namespace brevant {

CPrinterJobInfo::CPrinterJobInfo() : rec_(std::make_unique<spooler::JobRecord>()) {}
CPrinterJobInfo::~CPrinterJobInfo() = default;

std::string CPrinterJobInfo::Datatype() const {
  return rec_->Datatype;
}
std::string CPrinterJobInfo::Document() const {
  return rec_->Document;
}
std::string CPrinterJobInfo::DriverName() const {
  return rec_->DriverName;
}
std::uint32_t CPrinterJobInfo::JobId() const {
  return rec_->JobId;
}
std::string CPrinterJobInfo::MachineName() const {
  return rec_->MachineName;
}
std::string CPrinterJobInfo::NotifyName() const {
  return rec_->NotifyName;
}
std::uint32_t CPrinterJobInfo::PagesPrinted() const {
  return rec_->PagesPrinted;
}
std::string CPrinterJobInfo::Parameters() const {
  return rec_->Parameters;
}
std::uint32_t CPrinterJobInfo::Position() const {
  return rec_->Position;
}
std::string CPrinterJobInfo::PrinterName() const {
  return rec_->PrinterName;
}
std::string CPrinterJobInfo::PrintProcessor() const {
  return rec_->PrintProcessor;
}
std::uint32_t CPrinterJobInfo::Priority() const {
  return rec_->Priority;
}
std::uint32_t CPrinterJobInfo::Size() const {
  return rec_->Size;
}
std::uint32_t CPrinterJobInfo::StartTime() const {
  return rec_->StartTime;
}
std::uint32_t CPrinterJobInfo::Status() const {
  return rec_->Status;
}
std::uint32_t CPrinterJobInfo::Time() const {
  return rec_->Time;
}
std::uint32_t CPrinterJobInfo::TotalPages() const {
  return rec_->TotalPages;
}
std::uint32_t CPrinterJobInfo::UntilTime() const {
  return rec_->UntilTime;
}
std::string CPrinterJobInfo::UserName() const {
  return rec_->UserName;
}

std::tm CPrinterJobInfo::Submitted() const {
  std::tm local{};
  std::time_t t = rec_->Submitted;
  ::localtime_r(&t, &local);
  return local;
}

std::string CPrinterJobInfo::StatusText() const {
  return StatusTextFor(rec_->Status, rec_->StatusString);
}

std::string CPrinterJobInfo::StatusTextFor(std::uint32_t status, const std::string& statusString) {
  if (!statusString.empty()) return statusString;
  std::string text;
  // The base text: the last of these present wins.
  if (status & 0x1) text = "Paused";
  if (status & 0x2) text = "Error";
  if (status & 0x400) text = "User Intervention Required";
  static const struct {
    std::uint32_t bit;
    const char* text;
  } kAppended[] = {{0x20, "Offline"},    {0x40, "Paper Out"},   {0x4, "Deleting..."},
                   {0x8, "Spooling..."}, {0x10, "Printing..."}, {0x800, "Restarting..."},
                   {0x80, "Printed"},    {0x100, "Deleted"},    {0x200, "Cannot Print"}};
  for (const auto& a : kAppended) {
    if (!(status & a.bit)) continue;
    text = text.empty() ? a.text : text + " - " + a.text;
  }
  return text;
}

void CPrinterJobInfo::RaiseSizeMax(std::uint32_t v) {
  if (v > sizeMax_) sizeMax_ = v;
}

void CPrinterJobInfo::RaiseTotalPagesMax(std::uint32_t v) {
  if (v > totalPagesMax_) totalPagesMax_ = v;
}

void CPrinterJobInfo::Load(const spooler::JobRecord& record) {
  *rec_ = record;
  devMode_.Load(record.devMode.data());
  sizeMax_ = record.Size;
  totalPagesMax_ = record.TotalPages;
}

}  // namespace brevant
