#pragma once
// Which operating system Brevant runs on, as the rest of the program asks
// it: the XP check (chooses between the fax service's Windows XP objects and
// folders and its Windows 2000 ones) and the one-line description of the bug
// report.
//
// On Linux the Windows version record lives in the registry store, under the
// local machine's "Software\Microsoft\Windows NT\CurrentVersion": the string
// "CurrentVersion" ("major.minor", e.g. "5.1") and the string
// "CurrentBuildNumber" (e.g. "2600"). A missing key or value gives the
// default 5.1, build 2600, platform "Windows NT" (id 2), so the Windows XP
// edition of the fax service is used unless an installation or a test says
// otherwise. A value that is there but unusable (not a string, too long,
// not "major.minor" or not a number) makes the query fail: both checks
// return "" and an error record is written.
#include <cstdint>
#include <string>

namespace brevant {

struct OsVersionInfo {
  std::uint32_t platformId = 2;
  std::uint32_t major = 5;
  std::uint32_t minor = 1;
  std::uint32_t build = 2600;
};

inline constexpr const char* kWindowsVersionKey = "Software\\Microsoft\\Windows NT\\CurrentVersion";

// Reads the version record; false when it is unusable (no record: the
// callers' answer "" says so).
bool QueryOsVersion(OsVersionInfo* info);

namespace mCommon {
// "XP" for versions 5.1 and 5.2 (compared as texts: major "5", minor
// greater than "0"), else ""; "" when the version query fails.
std::string CheckXP();
// "Windows NT Win version: 5.1 Build:  2600" for the default record (the
// major version and the build are each preceded by one blank); "" when the
// version query fails.
std::string GetOSDescription();
// The Linux system under it, for diagnostics: the PRETTY_NAME of
// /etc/os-release, then the kernel name, release and machine of uname.
std::string GetSystemDescription();
}  // namespace mCommon

}  // namespace brevant
