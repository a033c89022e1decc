#pragma once
// The folders all of Brevant shares: program folder, install folder, spool
// folder, temporary folder and files, and the computer's name.
#include <string>

namespace brevant {

// The program folder: where the logs and "FaxGroup.xml" live. It is
// BREVANT_PROGRAM_DIR when set (an installed launcher sets it to a per-user
// folder), else the executable's folder when writable, else
// $XDG_DATA_HOME/brevant (~/.local/share/brevant). No trailing "/".
std::string GetProgramFolder();
// The folder that holds the executables (quorrender and the tools).
std::string GetExecutableFolder();

// The install folder: "DestDir" of "Software\Norvane\Pelorin" (local machine).
std::string GetInstallFolder();

// Install folder + "/QuorSpool/", or program folder + "/QuorSpool/" when
// "DestDir" is missing, empty or not a string. Ends with "/". Errors are
// ignored; an install folder that does not exist is kept (the fax printer
// writes there too).
std::string GetSpoolFolder();

// The folder of "FaxGroup.xml", the settings every user of an installation
// shares: for an installed copy (programs in <prefix>/lib/brevant) the
// system folder /etc/brevant (<prefix>/etc/brevant for other prefixes),
// readable by all and writable by the administrators' group
// "brevant-fax-admin"; for a build tree or a portable copy its program
// folder. No trailing "/".
std::string GetGroupFileFolder();

// The computer's name, read once per run.
std::string GetLocalComputerName();

namespace mCommon {
// The system temporary folder ($TMPDIR, else /tmp), ending with "/"; "" on error.
std::string GetTempDir();
// A new, empty, uniquely named file "Fax......" in the temporary folder; ""
// on error. The caller deletes it.
std::string GetTempFile();
}  // namespace mCommon

}  // namespace brevant
