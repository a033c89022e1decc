#include "tools/brevant-faxd/Line.h"

#include <map>

namespace brevant::faxd {

namespace {
// Filled during static initialisation by each kind's source file, read
// once the service starts.
std::map<std::string, LineFactory>& Kinds() {
  static std::map<std::string, LineFactory> kinds;
  return kinds;
}
}  // namespace

bool RegisterLineKind(const std::string& kind, LineFactory factory) {
  return Kinds().emplace(kind, std::move(factory)).second;
}

std::unique_ptr<Line> MakeLine(const LineEnv& env, const faxsvc::Message& device) {
  std::string kind = device.Get("kind").empty() ? "loopback" : device.Get("kind");
  auto it = Kinds().find(kind);
  if (it == Kinds().end()) return nullptr;
  return it->second(env, device);
}

}  // namespace brevant::faxd
