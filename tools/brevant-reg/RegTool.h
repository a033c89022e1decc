#pragma once
// brevant-reg: see, change, export and import Brevant's settings in the
// registry store from the command line.
#include <iosfwd>
#include <string>
#include <vector>

namespace brevant::regtool {

// Runs one brevant-reg command; output and errors go to the given streams.
// Returns the process exit code (0 success, 1 failure).
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace brevant::regtool
