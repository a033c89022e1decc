#pragma once
// CPrinterInfo: one printer of the spooler with the information read at its
// last `Refresh`, its default device mode, its queue, its status as text and
// the pause, resume and purge commands. On CUPS a printer is a queue of the
// local scheduler; see printing/Spooler.h for how its fields are filled.
#include <cstdint>
#include <memory>
#include <string>

#include "printing/CDevMode.h"
#include "printing/CPrinterJobs.h"

namespace brevant {

namespace spooler {
struct PrinterRecord;
}

class CPrinterInfo {
 public:
  CPrinterInfo();
  ~CPrinterInfo();
  CPrinterInfo(const CPrinterInfo&) = delete;
  CPrinterInfo& operator=(const CPrinterInfo&) = delete;

  const std::string& DeviceName() const { return deviceName_; }
  void SetDeviceName(const std::string& name);
  // Whether this is the user's default printer (names compared in upper
  // case). Setting true makes it the default; setting false does nothing.
  bool IsDefault() const;
  void SetIsDefault(bool value);
  bool CanAdminister() const;
  const std::string& DisplayName() const { return displayName_; }
  std::uint32_t GetPrinterError() const { return getPrinterError_; }
  bool IsPaused() const { return (Status() & 0x1) != 0; }
  bool IsShared() const { return (Attributes() & 0x8) != 0; }
  bool IsToFile() const;
  bool IsLocal() const { return (Attributes() & 0x40) != 0; }
  bool IsNetwork() const { return (Attributes() & 0x10) != 0; }
  std::string StatusText() const;
  std::uint32_t Attributes() const;
  std::uint32_t AveragePPM() const;
  std::string Comment() const;
  std::string Datatype() const;
  std::uint32_t DefaultPriority() const;
  const CDevMode& DevMode() const { return *devMode_; }
  std::string DriverName() const;
  CPrinterJobs& Jobs() { return jobs_; }
  std::string Location() const;
  std::string Parameters() const;
  std::string PortName() const;
  std::string PrinterName() const;
  std::string PrintProcessor() const;
  std::uint32_t Priority() const;
  std::string SeparatorPageFile() const;
  std::string ServerName() const;
  std::string ShareName() const;
  std::uint32_t StartTime() const;
  std::uint32_t Status() const;
  std::uint32_t UntilTime() const;
  bool ControlPause();
  bool ControlPurge();
  bool ControlResume();
  void Refresh();
  // Opens the scheduler's page of this printer (its options and driver
  // settings) in the desktop's browser; the parent window is not used.
  void ShowPropertiesDialog(long parentWindow);

  // The status text for status bits, or for a failed read's error code.
  static std::string StatusTextFor(std::uint32_t status, std::uint32_t printerError);
  // "Laser on SRV" for the network printer \\SRV\Laser; else deviceName.
  static std::string MakeDisplayName(const std::string& deviceName, std::uint32_t attributes,
                                     const std::string& serverName, const std::string& printerName);

 private:
  bool Control(int command, const char* procedure);
  std::string deviceName_;
  std::string displayName_;
  std::uint32_t getPrinterError_ = 0;
  std::unique_ptr<spooler::PrinterRecord> rec_;
  std::unique_ptr<CDevMode> devMode_;
  CPrinterJobs jobs_;
};

}  // namespace brevant
