#include "app/WindowsModule.h"

#include <dlfcn.h>

#include <iostream>
#include <string>

#include "common/Errors.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "platform/process/Process.h"

namespace brevant {
namespace {

wizard::Windows* g_windows = nullptr;
bool g_tried = false;

std::string Folder(const std::string& path) {
  auto cut = path.rfind('/');
  return cut == std::string::npos ? "." : path.substr(0, cut);
}

wizard::Windows* LoadModule() {
  // Beside the executable in a build tree or a portable install; under
  // lib/brevant/ in a system install.
  std::string bin = Folder(platform::ExecutablePath());
  std::string tried;
  for (const std::string& path :
       {bin + "/" + wizard::kModuleFile, Folder(bin) + "/lib/brevant/" + wizard::kModuleFile}) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!handle) {
      const char* why = ::dlerror();
      tried += std::string(tried.empty() ? "" : "; ") + (why ? why : path);
      continue;
    }
    using Entry = wizard::Windows* (*)();
    auto entry = reinterpret_cast<Entry>(::dlsym(handle, wizard::kModuleEntry));
    if (!entry) {
      WriteErrorLog(kErrNotAvailable, path + " has no " + wizard::kModuleEntry, "Brevant.AppWindows");
      return nullptr;
    }
    return entry();
  }
  WriteErrorLog(kErrFileNotFound, "The window library cannot be loaded: " + tried, "Brevant.AppWindows");
  return nullptr;
}

}  // namespace

wizard::Windows* AppWindows() {
  if (!g_windows && !g_tried) {
    g_tried = true;
    g_windows = LoadModule();
    if (!g_windows)
      std::cerr << platform::ExecutableName() << ": no window can be shown (see Errors.log in "
                << GetProgramFolder() << "); messages follow here" << std::endl;
  }
  return g_windows;
}

bool LoadWindowsForMessages() {
  return AppWindows() != nullptr;
}

void SetAppWindows(wizard::Windows* windows) {
  g_windows = windows;
  g_tried = true;
}

}  // namespace brevant
