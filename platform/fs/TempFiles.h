#pragma once
// Temporary files of Brevant's programs. They never go straight into a
// folder other users may write (/tmp): there a name that can be foreseen
// ("Fax.Cov", a fax's station id + ".tiff") is a name another user can
// leave a symbolic link at, and the program would write through it into a
// file of the user's own. Each user's temporary files live in a folder of
// that user's alone, and each is created anew (never opened through what
// was at its name).
#include <sys/types.h>

#include <string>

namespace brevant::platform {

// The user's private folder for temporary files, ending with "/": "tmp" in
// the user's runtime folder (NamedEvent::RuntimeDir), made with mode 0700
// and reached only through folders of root's or the user's own. When that
// folder is refused (another user made it first, a link on the way), a
// folder of this process's own made with mkdtemp (see MakePrivateFolder)
// serves for the rest of the run and is removed when the process ends;
// *why says (once, as it is made) why the runtime folder was refused. ""
// with *why when neither can be had.
std::string PrivateTempFolder(std::string* why);

// A new folder of mode 0700 made with mkdtemp ("<prefix>XXXXXX") in
// $TMPDIR, or in /tmp when $TMPDIR is unset or refused (it must be reached
// without a link, through folders only root or the user may change, or
// sticky ones like /tmp). Ends with "/"; "" with *why on failure. For
// programs outside the user's session (the print scheduler's backend) and
// as the fall-back of PrivateTempFolder.
std::string MakePrivateFolder(const std::string& prefix, std::string* why);

// A name another party chose (a fax's station id, a subject, a document
// title) made into one file name: no "/", no control characters, no
// leading dots, at most 100 bytes (a multi-byte character is never cut).
// fallback when nothing of it is left.
std::string SafeFileName(const std::string& name, const std::string& fallback);

// Creates the file at path anew for writing: whatever is at that name (a
// file, a link left there: the link itself, never what it points to) is
// removed first, then the file is made with O_CREAT|O_EXCL|O_NOFOLLOW and
// the given mode (less the umask). Meant for the user's own folders; in a
// folder others may write the second step fails rather than write through
// something put back in between. The descriptor, open for reading and
// writing, or -1 with *why.
int CreateFreshFile(const std::string& path, mode_t mode, std::string* why);
// The same, filled with a copy of the file `from`, or with `data`, and
// closed. False with *why (nothing is left at path then).
bool CopyToFreshFile(const std::string& from, const std::string& path, mode_t mode, std::string* why);
bool WriteFreshFile(const std::string& path, const std::string& data, mode_t mode, std::string* why);
// A new empty folder at path, mode 0700: what was at the name (a folder
// with its files, a file, a link) is removed first.
bool CreateFreshFolder(const std::string& path, std::string* why);

// A new, empty, uniquely named file "<prefix>XXXXXX<suffix>" in folder
// (mkstemps: exclusive, mode 0600); its path, or "" with *why.
std::string MakeUniqueFile(const std::string& folder, const std::string& prefix, const std::string& suffix,
                           std::string* why);

}  // namespace brevant::platform
