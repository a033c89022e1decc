#pragma once
// The process-wide mail sessions: the mail store and the sending session,
// opened on first use and released at the end of the run.
namespace brevant::mCommon {

// Prepares the sessions for an operation that receives or imports faxes;
// with resetJob, empties the recipient names and attachments of the fax job
// and reads the sender details again.
void Start(bool resetJob);
// Releases every mail session; safe to call more than once.
void Dispose();

}  // namespace brevant::mCommon
