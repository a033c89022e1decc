#pragma once
// Tells the lower libraries how to reach the fax service, which lives in a
// library above them: the fax printer check and the bug report ask through
// these probes.
namespace brevant {

void RegisterServiceProbes();

}  // namespace brevant
