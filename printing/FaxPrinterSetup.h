#pragma once
// The fax printer "Vestrel": its set-up and checks.
namespace brevant {

// "config" first gives the fax printer its data type and print processor.
void ConfigureFaxPrinterForConfig();
// True when the fax service's own printer driver is properly installed.
bool MSFaxProperlyInstalled();

}  // namespace brevant
