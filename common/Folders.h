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
// The user's private temporary folder, ending with "/"; "" on error. It is
// "tmp" in the user's runtime folder (platform/fs/TempFiles.h), never a
// folder other users may write: the fixed names the program uses there
// ("Fax.Cov", "FaxPreview.tif", "Quortmp", a fax's "<CSID>.tiff") are
// created anew each time (platform::CreateFreshFile), never written
// through what was at the name.
std::string GetTempDir();
// A new, empty, uniquely named file "Fax......" in the temporary folder
// (mode 0600); "" on error. The caller deletes it.
std::string GetTempFile();
}  // namespace mCommon

}  // namespace brevant
