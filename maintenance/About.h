#pragma once
// What the about box shows and starts, without its window: the version text,
// registry reads, the system information tool, the product's addresses.
#include <cstdint>
#include <string>

namespace brevant {

inline constexpr const char* kProductWebPage = "https://www.norvane.com/pelorin";

// "Version " + major + "." + minor with at least two digits; when the
// product version (e.g. "1.20.7") has at least three parts and its first two
// equal major and minor as numbers, "." + the third part with at least four
// digits is appended ("Version 1.20.0007").
std::string AboutVersionText(int major, int minor, const std::string& productVersion);

// One registry value as text; "" when the key or value is missing.
std::string GetKeyValue(std::uint32_t root, const std::string& key, const std::string& valueName);

// The system information tool named in the registry store; when there is
// none, or it is not there, the message "System Information Is Unavailable
// At This Time". True when it started.
bool StartSysInfo();

// Opens the product web page, or a mail to the support address, through the
// desktop shell.
bool OpenProductWebPage();
bool OpenSupportMail();

}  // namespace brevant
