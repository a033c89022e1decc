#include "printing/CPrinterInfo.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "common/Errors.h"
#include "common/Logging.h"
#include "platform/process/Process.h"
#include "printing/Spooler.h"

namespace brevant {

namespace {
std::string Upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}
}  // namespace

CPrinterInfo::CPrinterInfo()
    : rec_(std::make_unique<spooler::PrinterRecord>()), devMode_(std::make_unique<CDevMode>()) {}
CPrinterInfo::~CPrinterInfo() = default;

void CPrinterInfo::SetDeviceName(const std::string& name) {
  deviceName_ = name;
  Refresh();
}

bool CPrinterInfo::IsDefault() const {
  try {
    return !deviceName_.empty() && Upper(spooler::DefaultPrinterName()) == Upper(deviceName_);
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "CPrinterInfo.IsDefault");
    return false;
  }
}

void CPrinterInfo::SetIsDefault(bool value) {
  if (!value) return;
  try {
    spooler::SetDefaultPrinterName(deviceName_);
    Refresh();
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "CPrinterInfo.IsDefault");
  }
}

bool CPrinterInfo::CanAdminister() const {
  try {
    return spooler::CanAdminister(deviceName_);
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "CPrinterInfo.CanAdminister");
    return false;
  }
}

bool CPrinterInfo::IsToFile() const {
  return Upper(rec_->PortName).find("FILE:") != std::string::npos;
}

std::string CPrinterInfo::StatusText() const {
  return StatusTextFor(rec_->Status, getPrinterError_);
}

std::string CPrinterInfo::StatusTextFor(std::uint32_t status, std::uint32_t printerError) {
  if (printerError != 0) {
    std::string text = spooler::SystemMessage(long(printerError));
    if (text.empty()) return "Error (" + std::to_string(printerError) + ") not defined.";
    return text.size() >= 2 ? text.substr(0, text.size() - 2) : "";
  }
  static const struct {
    std::uint32_t status;
    const char* text;
  } kTexts[] = {
      {0, "Ready"},
      {0x1, "Paused"},
      {0x2, "Error"},
      {0x4, "Deleting..."},
      {0x8, "Paper Jam"},
      {0x10, "Paper Out"},
      {0x20, "Manual Feed Required"},
      {0x40, "Paper Problem"},
      {0x80, "Offline"},
      {0x100, "Downloading Job"},
      {0x200, "Busy"},
      {0x400, "Printing"},
      {0x800, "Output Bill Full"},
      {0x1000, "Not Available"},
      {0x2000, "Waiting"},
      {0x4000, "Processing Job"},
      {0x8000, "Initializing"},
      {0x10000, "Warming Up"},
      {0x20000, "Toner Low"},
      {0x40000, "Toner Out"},
      {0x80000, "Page too Complex"},
      {0x100000, "User Intervention Required"},
      {0x200000, "Out of Memory"},
      {0x400000, "Door Open"},
      {0x800000, "Unable to connect"},
      {0x1000000, "Power Save Mode"},
  };
  for (const auto& t : kTexts)
    if (t.status == status) return t.text;
  char hex[16];
  std::snprintf(hex, sizeof hex, "%X", status);
  return hex;
}

std::string CPrinterInfo::MakeDisplayName(const std::string& deviceName, std::uint32_t attributes,
                                          const std::string& serverName, const std::string& printerName) {
  if ((attributes & 0x10) && serverName.size() >= 3 && serverName.compare(0, 2, "\\\\") == 0) {
    std::size_t slash = printerName.find('\\', 2);
    if (slash != std::string::npos) return printerName.substr(slash + 1) + " on " + serverName.substr(2);
  }
  return deviceName;
}

std::uint32_t CPrinterInfo::Attributes() const {
  return rec_->Attributes;
}
std::uint32_t CPrinterInfo::AveragePPM() const {
  return rec_->AveragePPM;
}
std::string CPrinterInfo::Comment() const {
  return rec_->Comment;
}
std::string CPrinterInfo::Datatype() const {
  return rec_->Datatype;
}
std::uint32_t CPrinterInfo::DefaultPriority() const {
  return rec_->DefaultPriority;
}
std::string CPrinterInfo::DriverName() const {
  return rec_->DriverName;
}
std::string CPrinterInfo::Location() const {
  return rec_->Location;
}
std::string CPrinterInfo::Parameters() const {
  return rec_->Parameters;
}
std::string CPrinterInfo::PortName() const {
  return rec_->PortName;
}
std::string CPrinterInfo::PrinterName() const {
  return rec_->PrinterName;
}
std::string CPrinterInfo::PrintProcessor() const {
  return rec_->PrintProcessor;
}
std::uint32_t CPrinterInfo::Priority() const {
  return rec_->Priority;
}
std::string CPrinterInfo::SeparatorPageFile() const {
  return rec_->SeparatorPageFile;
}
std::string CPrinterInfo::ServerName() const {
  return rec_->ServerName;
}
std::string CPrinterInfo::ShareName() const {
  return rec_->ShareName;
}
std::uint32_t CPrinterInfo::StartTime() const {
  return rec_->StartTime;
}
std::uint32_t CPrinterInfo::Status() const {
  return rec_->Status;
}
std::uint32_t CPrinterInfo::UntilTime() const {
  return rec_->UntilTime;
}

bool CPrinterInfo::Control(int command, const char* procedure) {
  try {
    bool ok = spooler::CanAdminister(deviceName_) && spooler::ControlPrinter(deviceName_, command) == 0;
    Refresh();
    return ok;
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, procedure);
    return false;
  }
}

bool CPrinterInfo::ControlPause() {
  return Control(1, "CPrinterInfo.ControlPause");
}
bool CPrinterInfo::ControlPurge() {
  return Control(3, "CPrinterInfo.ControlPurge");
}
bool CPrinterInfo::ControlResume() {
  return Control(2, "CPrinterInfo.ControlResume");
}

void CPrinterInfo::Refresh() {
  try {
    *rec_ = spooler::PrinterRecord{};
    devMode_ = std::make_unique<CDevMode>();
    spooler::PrinterRecord r;
    long err = spooler::GetPrinter(deviceName_, &r);
    if (err == 0) {
      *rec_ = r;
      devMode_->Load(r.devMode.data());
      getPrinterError_ = 0;
    } else if (err != spooler::kErrInvalidPrinterName) {
      // A printer that does not exist keeps empty information and no error
      // text; a scheduler that cannot be asked is an error to show.
      getPrinterError_ = std::uint32_t(err);
    }
    displayName_ = MakeDisplayName(deviceName_, rec_->Attributes, rec_->ServerName, rec_->PrinterName);
    if (jobs_.DeviceName() != deviceName_)
      jobs_.SetDeviceName(deviceName_);
    else
      jobs_.Refresh();
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "CPrinterInfo.Refresh");
  }
}

void CPrinterInfo::ShowPropertiesDialog(long parentWindow) {
  try {
    if (!platform::ShellExecute("open", spooler::PrinterWebPage(deviceName_)))
      WriteTraceLog("CPrinterInfo.ShowPropertiesDialog", "no browser to show " + deviceName_);
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "CPrinterInfo.ShowPropertiesDialog");
  }
}

}  // namespace brevant
