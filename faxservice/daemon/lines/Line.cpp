#include "faxservice/daemon/lines/Line.h"

#include <map>

namespace brevant::faxd {

namespace {
// Filled during static initialisation by each kind's source file, read
// once the service starts.
struct Kind {
  LineFactory make;
  LineCheck check;
};
std::map<std::string, Kind>& Kinds() {
  static std::map<std::string, Kind> kinds;
  return kinds;
}
}  // namespace

bool RegisterLineKind(const std::string& kind, LineFactory factory, LineCheck check) {
  return Kinds().emplace(kind, Kind{std::move(factory), std::move(check)}).second;
}

bool FindLineKind(const std::string& kind, LineCheck* check) {
  auto it = Kinds().find(kind);
  if (it == Kinds().end()) return false;
  if (check) *check = it->second.check;
  return true;
}

std::unique_ptr<Line> MakeLine(const LineEnv& env, const faxsvc::Message& device) {
  std::string kind = device.Get("kind").empty() ? "loopback" : device.Get("kind");
  auto it = Kinds().find(kind);
  if (it == Kinds().end()) return nullptr;
  return it->second.make(env, device);
}

}  // namespace brevant::faxd
