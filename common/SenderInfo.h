#pragma once
// The sender's details, kept where the fax service keeps its own:
// "Software\Microsoft\Fax\UserInfo" of the current user.
namespace brevant::mCommon {

// Reads the eleven sender values into the fax job (a missing value reads "").
void GetSenderInfo();
// Writes the eleven sender fields of the fax job (empty ones as "").
void SetSenderInfo();

}  // namespace brevant::mCommon
