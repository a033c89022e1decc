#pragma once
// The three logs in the program folder: the trace log (executable name +
// ".log"), "Errors.log" and "Debug.log". Each write opens the file for
// appending, writes one whole record under an exclusive lock and closes it,
// so records from several processes never interleave and a crash loses at
// most the record being written.
#include <string>

namespace brevant {

// Appends a trace line. Throws VbError (75) when the log cannot be written,
// so the failure reaches the caller's own handler.
void WriteTraceLog(const std::string& procedure, const std::string& message);

// Appends an error record; for the "brevant" executable the message
// "Error (n) in source: description" also goes to the trace log. Never
// throws: when the record cannot be written the failure goes to stderr.
void WriteErrorLog(long number, const std::string& description, const std::string& source);

// Appends a debug record. Throws VbError (75) when it cannot be written.
void WriteDebugLog(const std::string& procedure, const std::string& message);

// Writes the error record of an operation this build does not provide.
void NotAvailable(const std::string& source);

// "major.minor.revision" of this program.
std::string ProgramVersion();

// Full paths of the three logs.
std::string TraceLogPath();
std::string ErrorLogPath();
std::string DebugLogPath();

// Local time as the record formats write it: "#yyyy-MM-dd HH:mm:ss#" for
// record fields, and the general date text of trace lines.
std::string RecordDateTime();
std::string GeneralDateTime();

}  // namespace brevant
