#pragma once
// The passwords of the service's lines (a SIP line's account password),
// kept apart from the database and from every reply: one file per line in
// STATE/secrets/ (folder 0700, files 0600, owned by the service's user),
// written whole or not at all. Requests that add or change a line put the
// password here; the line reads it when it (re)connects; removing the line
// removes it.
#include <string>

namespace brevant::faxd {

bool PutLineSecret(const std::string& stateDir, long long line, const std::string& value, std::string* why);
// "" when the line has none.
std::string LineSecret(const std::string& stateDir, long long line);
void RemoveLineSecret(const std::string& stateDir, long long line);

}  // namespace brevant::faxd
