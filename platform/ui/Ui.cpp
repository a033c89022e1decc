#include "platform/ui/Ui.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <thread>

#include "platform/env/Environment.h"

namespace brevant::ui {
namespace {

void CloseLoadedForms();
extern Backend* g_backend;

// Message boxes and progress go to stderr; the window system, when one is
// loaded (unattended runs draw their windows off screen), still runs its
// pending events.
class UnattendedBackend : public Backend {
 public:
  Answer MessageBox(const std::string& text, const std::string& caption, Buttons, Icon,
                    Answer defaultAnswer) override {
    std::cerr << caption << ": " << text << std::endl;
    return defaultAnswer;
  }
  void DoEvents() override {
    if (g_backend) g_backend->DoEvents();
  }
  void SetCursor(Cursor) override {}
  // Nobody answers the windows of an unattended run: the answers their
  // windows give themselves run first, then what is left is closed the way
  // its close box closes it, which ends the run through exitApp.
  void RunUntilWindowsClosed() override {
    DoEvents();
    CloseLoadedForms();
    DoEvents();
    if (g_backend) g_backend->EndOfRun();
  }
  void ShowStatus(const std::string& text, unsigned long) override { std::cerr << text << std::endl; }
  void CloseStatus() override {}
  void ShowProgress(const std::string& line, long, long, unsigned long) override {
    if (!line.empty()) std::cerr << line << std::endl;
  }
};

Backend* g_backend = nullptr;
UnattendedBackend g_unattended;
BackendLoader g_loader = nullptr;
bool g_loaderAsked = false;

struct Forms {
  int next = 1;
  std::map<int, FormEntry> entries;
};
Forms& TheForms() {
  static Forms f;
  return f;
}

void CloseLoadedForms() {
  // A form's close handler may unload other forms (exitApp unloads them
  // all); each round works on what is still loaded. A form that stays
  // loaded after its close box is unloaded.
  for (int round = 0; round < 16 && !TheForms().entries.empty(); ++round) {
    auto [id, entry] = *TheForms().entries.begin();
    try {
      if (entry.close) entry.close();
      if (TheForms().entries.count(id) && entry.unload) entry.unload();
    } catch (...) {
      // a form that refuses is reported by the end of the run
    }
    TheForms().entries.erase(id);
  }
}

}  // namespace

void SetBackend(Backend* backend) {
  g_backend = backend;
}

void SetBackendLoader(BackendLoader loader) {
  g_loader = loader;
  g_loaderAsked = false;
}

Backend* CurrentBackend() {
  if (g_backend && !Unattended()) return g_backend;
  return &g_unattended;
}

bool Unattended() {
  return platform::env::Get(platform::env::Var::Unattended) == "1";
}

Answer MsgBox(const std::string& text, const std::string& caption, Buttons buttons, Icon icon,
              Answer defaultAnswer) {
  // The user must see the box: the first one of an attended run loads the
  // window library when no window has done so yet.
  if (!g_backend && !g_loaderAsked && g_loader && !Unattended()) {
    g_loaderAsked = true;
    g_loader();
  }
  return CurrentBackend()->MessageBox(text, caption, buttons, icon, defaultAnswer);
}

void DoEvents() {
  CurrentBackend()->DoEvents();
}

void SleepEvents(long ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  DoEvents();
}

void SetCursor(Cursor c) {
  CurrentBackend()->SetCursor(c);
}

void RunUntilWindowsClosed() {
  CurrentBackend()->RunUntilWindowsClosed();
}
void ShowStatus(const std::string& text, unsigned long owner) {
  CurrentBackend()->ShowStatus(text, owner);
}
void CloseStatus() {
  CurrentBackend()->CloseStatus();
}
void ShowProgress(const std::string& line, long done, long total, unsigned long owner) {
  CurrentBackend()->ShowProgress(line, done, total, owner);
}

int RegisterForm(const std::string& name, std::function<void()> unload, std::function<void()> close) {
  Forms& f = TheForms();
  int id = f.next++;
  f.entries[id] = FormEntry{name, std::move(unload), std::move(close)};
  return id;
}

void UnregisterForm(int id) {
  TheForms().entries.erase(id);
}

std::vector<std::string> LoadedForms() {
  std::vector<std::string> out;
  for (auto& [id, e] : TheForms().entries) out.push_back(e.name);
  return out;
}

void UnloadAllForms() {
  // Unloading a form unregisters it; work on a copy.
  auto copy = TheForms().entries;
  for (auto& [id, e] : copy) {
    try {
      if (e.unload) e.unload();
    } catch (...) {
      // A form that refuses to unload stays listed and is reported.
    }
  }
}

}  // namespace brevant::ui
