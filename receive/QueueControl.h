#pragma once
// Receiving and fax queue control.
namespace brevant {

void AutoRecv();
void FaxPause();
void FaxStop();
void FaxRecv();

}  // namespace brevant
