#pragma once
// The two settings windows the command front object opens: the client
// configuration ("config") and the default cover page ("setcover"). Each
// runs modally and ends the program through exitApp (code 0 for the
// configuration, 1 for the cover page so the stored choice survives).
namespace brevant::configui {

using ExitAppFn = void (*)(int code);

// frmConfigureClient, caption "Pelorin Configure".
void ShowConfigDialog(ExitAppFn exitApp);
// frmSetCover, caption "Set Cover Page".
void ShowSetCoverDialog(ExitAppFn exitApp);

}  // namespace brevant::configui
