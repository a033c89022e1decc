#pragma once
// The windows the command front object opens, as seen from code that must
// not link Qt. The window library implements this interface; `brevant`
// loads that library (brevant-windows.so) with dlopen the first time a
// window is needed, so a run that opens no window never pays for Qt.
namespace brevant::wizard {

class Windows {
 public:
  virtual ~Windows() = default;
  // Loads the recipients page (its creation and load handlers run).
  // topmost: fax pages that came from the spool folder put the wizard in
  // front of everything, with no owner.
  virtual void LoadFaxNew(bool topmost) = 0;
  // Shows the loaded recipients page, modal: returns when the page is
  // unloaded (the wizard then goes on from the cover page).
  virtual void ShowFaxNewModal() = 0;
  // The cover page as the first page of the wizard, modeless.
  virtual void ShowFaxCover() = 0;
  // The sender details dialog, modeless; closing it ends the run.
  virtual void ShowSender() = 0;

  // Windows of other subsystems; each writes a not-available record until
  // its subsystem fills it in.
  virtual void ShowWarning(const char* message) = 0;  // modal
  virtual void ShowConfig() = 0;
  virtual void ShowImport() = 0;
  virtual void ShowAbout() = 0;
  virtual void ShowRepair() = 0;
  virtual void ShowSetCover() = 0;  // modal
};

// Name of the module's entry: extern "C" Windows* brevant_windows_module().
inline constexpr const char* kModuleEntry = "brevant_windows_module";
inline constexpr const char* kModuleFile = "brevant-windows.so";

}  // namespace brevant::wizard
