#pragma once
// Passwords Brevant keeps for the user (the SMTP login, a fax server's):
// in the desktop's secret store (the Secret Service over D-Bus, through
// libsecret, loaded on first use), or, where no secret service runs, in a
// file only the user may read ("secrets" in the user's Brevant config
// folder, mode 0600). Never in the registry store, which other programs
// and a bug report read: a value left there in clear is moved out the first
// time it is read.
#include <optional>
#include <string>

#include "platform/registry/Registry.h"

namespace brevant::platform::secrets {

enum class Where { None, SecretService, File };

// Stores value under name (label: what the desktop's key manager shows).
// Returns where it went, or None with *why when neither place took it.
Where Store(const std::string& name, const std::string& label, const std::string& value, std::string* why);
// The value stored under name, or nullopt; *where tells which store held it.
std::optional<std::string> Lookup(const std::string& name, Where* where = nullptr);
// Removes name from both stores.
void Clear(const std::string& name);

// The user-only file: in BREVANT_REGISTRY_DIR when set (tests, portable
// installs), else $XDG_CONFIG_HOME/brevant/secrets.
std::string FilePath();

// What registry listings show in place of a secret value (one whose name
// reg::IsSecretValueName says holds a secret).
inline constexpr const char* kMask = "********";

// A secret that belongs to a registry value (root, key, value name): its
// stored value. A clear value found in the registry (not the mask) is
// moved into the secret store first and deleted from the registry; *why
// tells when that could not be done (the clear value is then returned and
// left in place).
std::string ReadRegistrySecret(reg::HKEY root, const std::string& key, const std::string& valueName,
                               std::string* why = nullptr);
// Stores a registry value's secret and removes any clear copy from the
// registry. False with *why when no store took it.
bool WriteRegistrySecret(reg::HKEY root, const std::string& key, const std::string& valueName,
                         const std::string& value, std::string* why);
// Moves every secret value (reg::IsSecretValueName) of a hive into the secret
// store, as after importing a ".reg" file. False with *why when one stayed.
bool MoveRegistrySecrets(reg::HKEY root, std::string* why);

}  // namespace brevant::platform::secrets
