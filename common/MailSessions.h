#pragma once
// The process-wide mail sessions: the mail store and the sending session,
// opened on first use and released at the end of the run.
namespace brevant::mCommon {

// Releases every mail session; safe to call more than once.
void Dispose();

}  // namespace brevant::mCommon
