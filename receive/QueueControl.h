#pragma once
// Receiving and fax queue control.
#include <functional>
#include <string>

namespace brevant {

// Toggles automatic answering on the first fax device ("autorecv").
void AutoRecv();
// Toggles the outgoing fax queue, or the fax in transmission ("pause").
void FaxPause();
// Cancels the first fax in transmission ("stop").
void FaxStop();
// Answers the call ringing on the first fax device ("recv").
void FaxRecv();
// The same, with the command front object's fax warning shown when no fax
// device is installed.
void FaxRecv(const std::function<void(const std::string&)>& showWarning);

}  // namespace brevant
