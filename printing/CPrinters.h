#pragma once
// CPrinters: the installed printers, in the order the spooler lists them,
// each a CPrinterInfo keyed by its name. Created filled; `Refresh` reads
// the list again and tells `PrinterAdded` about every printer it adds.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "printing/CPrinterInfo.h"

namespace brevant {

class CPrinters {
 public:
  // onPrinterAdded, when given, hears the first filling too.
  explicit CPrinters(std::function<void(const std::string&)> onPrinterAdded = {});
  ~CPrinters();
  CPrinters(const CPrinters&) = delete;
  CPrinters& operator=(const CPrinters&) = delete;

  int Count() const { return int(printers_.size()); }
  // The printer of that name (letter case ignored), or by 1-based index;
  // null when there is none.
  CPrinterInfo* Item(const std::string& name) const;
  CPrinterInfo* Item(int index) const;
  // True when the printer list could not be read completely.
  bool PrintersCollectionBad() const { return bad_; }
  std::vector<CPrinterInfo*> NewEnum() const;
  void Refresh();

  // Raised once for every printer added during Refresh.
  std::function<void(const std::string&)> PrinterAdded;

 private:
  std::vector<std::unique_ptr<CPrinterInfo>> printers_;
  bool bad_ = false;
};

}  // namespace brevant
