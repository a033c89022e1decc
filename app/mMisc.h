#pragma once
// The entry procedure and the end of a run.
#include <cstddef>
#include <string>
#include <vector>

namespace brevant {

using StringList = std::vector<std::string>;  // indexed from 0

namespace mMisc {
// Runs one operation named by the command word of commandLine.
void Main(const std::string& commandLine);
// Reports forms that are still loaded as an error record.
void DumpLoadedForms();
}  // namespace mMisc

// Turns the files field into a list of paths; "@file" adds each line of a
// list file, "@@file" deletes the list file after reading. Throws VbError
// when a list file cannot be read, is not a regular file or is larger than
// kMaxListFileBytes.
StringList ParseFilesArg(const std::string& arg);
inline constexpr std::size_t kMaxListFileBytes = 1 << 20;

// Ends the run in order: "SetCoverPage" reset (code 0), PDF reader closed,
// spool folder emptied, forms unloaded, mail sessions released.
void exitApp(int code);

// Empties the spool folder (files only; subfolders stay); errors ignored.
void ClearSpoolFolder();
void UnloadAllForms();

// Splits text at sep the way the command line is split: an empty text gives
// no entries at all; otherwise every separator makes a new entry.
StringList SplitFields(const std::string& text, char sep);

}  // namespace brevant
