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

bool FillLineSettings(const faxsvc::Message& config, std::span<const LineSetting> known,
                      const std::string& kind, std::initializer_list<const char*> keptElsewhere,
                      faxsvc::Message* full, std::string* why) {
  std::string names;
  for (const LineSetting& key : known) names += (names.empty() ? "" : ", ") + std::string(key.name);
  for (const char* name : keptElsewhere) names += ", " + std::string(name);
  for (const auto& [k, v] : config.Fields()) {
    bool taken = false;
    for (const LineSetting& key : known) taken |= k == key.name;
    for (const char* name : keptElsewhere) taken |= k == name;
    if (!taken) {
      *why = "unknown " + kind + " setting \"" + k.substr(0, 32) + "\" (known: " + names + ")";
      return false;
    }
  }
  for (const LineSetting& key : known)
    full->Set(key.name, config.Has(key.name) ? config.Get(key.name) : key.fallback);
  return true;
}

bool OnOffSettings(faxsvc::Message& full, std::initializer_list<const char*> flags, std::string* why) {
  for (const char* flag : flags) {
    const std::string v = full.Get(flag);
    const char* onOff = v == "1" || v == "on" || v == "yes"   ? "1"
                        : v == "0" || v == "off" || v == "no" ? "0"
                                                              : nullptr;
    if (!onOff) {
      *why = std::string(flag) + " must be on or off";
      return false;
    }
    full.Set(flag, onOff);
  }
  return true;
}

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
