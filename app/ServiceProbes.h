#pragma once
// Tells the lower libraries how to reach the fax service, which lives in a
// library above them: the fax printer check asks through its probe.
namespace brevant {

void RegisterServiceProbes();

}  // namespace brevant
