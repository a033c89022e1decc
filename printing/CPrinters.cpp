#include "printing/CPrinters.h"

#include <strings.h>

#include "common/Errors.h"
#include "common/Logging.h"
#include "printing/Spooler.h"

namespace brevant {

CPrinters::CPrinters(std::function<void(const std::string&)> onPrinterAdded)
    : PrinterAdded(std::move(onPrinterAdded)) {
  Refresh();
}

CPrinters::~CPrinters() = default;

CPrinterInfo* CPrinters::Item(const std::string& name) const {
  for (const auto& p : printers_)
    if (strcasecmp(p->DeviceName().c_str(), name.c_str()) == 0) return p.get();
  return nullptr;
}

CPrinterInfo* CPrinters::Item(int index) const {
  if (index < 1 || std::size_t(index) > printers_.size()) return nullptr;
  return printers_[std::size_t(index - 1)].get();
}

std::vector<CPrinterInfo*> CPrinters::NewEnum() const {
  std::vector<CPrinterInfo*> out;
  for (const auto& p : printers_) out.push_back(p.get());
  return out;
}

void CPrinters::Refresh() {
  try {
    long err = 0;
    std::vector<std::string> names = spooler::PrinterNames(&err);
    printers_.clear();
    bad_ = err != 0;
    if (err)
      WriteErrorLog(err, "The printer list could not be read (error " + std::to_string(err) + ")",
                    "CPrinters.Refresh");
    for (const auto& name : names) {
      if (name.empty()) break;
      auto p = std::make_unique<CPrinterInfo>();
      p->SetDeviceName(name);
      printers_.push_back(std::move(p));
      if (PrinterAdded) PrinterAdded(name);
    }
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "CPrinters.Refresh");
  }
}

}  // namespace brevant
