#include "platform/ui/Ui.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <thread>

namespace brevant::ui {
namespace {

class UnattendedBackend : public Backend {
 public:
  Answer MessageBox(const std::string& text, const std::string& caption, Buttons, Icon,
                    Answer defaultAnswer) override {
    std::cerr << caption << ": " << text << std::endl;
    return defaultAnswer;
  }
  void DoEvents() override {}
  void SetCursor(Cursor) override {}
  void RunUntilWindowsClosed() override {}
  void ShowStatus(const std::string& text, unsigned long) override { std::cerr << text << std::endl; }
  void CloseStatus() override {}
  void ShowProgress(const std::string& line, long, long, unsigned long) override {
    if (!line.empty()) std::cerr << line << std::endl;
  }
};

UnattendedBackend g_unattended;
Backend* g_backend = nullptr;

struct Forms {
  int next = 1;
  std::map<int, FormEntry> entries;
};
Forms& TheForms() {
  static Forms f;
  return f;
}

}  // namespace

void SetBackend(Backend* backend) { g_backend = backend; }

Backend* CurrentBackend() {
  if (g_backend && !Unattended()) return g_backend;
  return &g_unattended;
}

bool Unattended() {
  const char* v = std::getenv("BREVANT_UNATTENDED");
  return v && std::strcmp(v, "1") == 0;
}

Answer MsgBox(const std::string& text, const std::string& caption, Buttons buttons, Icon icon,
              Answer defaultAnswer) {
  return CurrentBackend()->MessageBox(text, caption, buttons, icon, defaultAnswer);
}

void DoEvents() { CurrentBackend()->DoEvents(); }

void SleepEvents(long ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  DoEvents();
}

void SetCursor(Cursor c) { CurrentBackend()->SetCursor(c); }

void RunUntilWindowsClosed() { CurrentBackend()->RunUntilWindowsClosed(); }
void ShowStatus(const std::string& text, unsigned long owner) { CurrentBackend()->ShowStatus(text, owner); }
void CloseStatus() { CurrentBackend()->CloseStatus(); }
void ShowProgress(const std::string& line, long done, long total, unsigned long owner) {
  CurrentBackend()->ShowProgress(line, done, total, owner);
}

int RegisterForm(const std::string& name, std::function<void()> unload) {
  Forms& f = TheForms();
  int id = f.next++;
  f.entries[id] = FormEntry{name, std::move(unload)};
  return id;
}

void UnregisterForm(int id) { TheForms().entries.erase(id); }

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

WindowHandle ForegroundWindow() { return 0; }

}  // namespace brevant::ui
