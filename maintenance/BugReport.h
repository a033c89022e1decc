#pragma once
// Diagnostics: the bug report mail.
namespace brevant {

void MakeBugReport();

}  // namespace brevant
