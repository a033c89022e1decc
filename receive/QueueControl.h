#pragma once
// Receiving and fax queue control.

namespace brevant {

// Toggles automatic answering on the first fax device ("autorecv").
void AutoRecv();
// Toggles the outgoing fax queue, or the fax in transmission ("pause").
void FaxPause();
// Cancels the first fax in transmission ("stop").
void FaxStop();
// Answers the call ringing on the first fax device ("recv"). Without a fax
// device nothing is shown: the device check only records why there is none.
void FaxRecv();

}  // namespace brevant
