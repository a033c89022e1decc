#pragma once
// The one seam between Brevant's logic and its windows: message boxes, the
// short waits that let pending window messages run, the mouse pointer, the
// owner window, and the list of loaded forms. The core calls only this; the
// window library installs a Qt backend when it is loaded (the first window,
// or the first message box of an attended run, loads it), tests install a
// recorder. Without a backend (no display, or BREVANT_UNATTENDED=1) every
// message box writes its text to stderr and takes its default answer, and
// long operations write one progress line to stderr per step.
#include <functional>
#include <string>
#include <vector>

namespace brevant::ui {

enum class Buttons { Ok, OkCancel, YesNo, YesNoCancel };
enum class Icon { None, Information, Warning, Critical, Question };
enum class Answer { Ok = 1, Cancel = 2, Yes = 6, No = 7 };
enum class Cursor { Default = 0, Arrow = 1, Wait = 11 };

class Backend {
 public:
  virtual ~Backend() = default;
  virtual Answer MessageBox(const std::string& text, const std::string& caption, Buttons buttons, Icon icon,
                            Answer defaultAnswer) = 0;
  // Let pending window messages run.
  virtual void DoEvents() = 0;
  virtual void SetCursor(Cursor c) = 0;
  // Runs the window loop until the last window has closed (modeless windows
  // keep the process alive this way). Returns at once when none is open.
  virtual void RunUntilWindowsClosed() = 0;
  // The run is over: helper threads the window system started end here, so
  // none is left running while the process ends.
  virtual void EndOfRun() {}
  // The status window of long operations ("Printing a.pdf..."), shown over
  // the owner window; owner 0 means no status window is wanted.
  virtual void ShowStatus(const std::string& text, unsigned long owner) = 0;
  virtual void CloseStatus() = 0;
  // A step of a long operation the user waits for: done of total steps on
  // the status window's bar over the owner (owner 0: no window), and line,
  // the same step told in one line for a reader of stderr. A window backend
  // shows the bar and ignores the line; the unattended one writes the line
  // (an empty line writes nothing). Backends without a status bar ignore it.
  virtual void ShowProgress(const std::string& line, long done, long total, unsigned long owner) {}
};

// Installs the backend (not owned); null returns to the unattended one.
void SetBackend(Backend* backend);
Backend* CurrentBackend();
bool Unattended();  // BREVANT_UNATTENDED=1

// Loads the window library, which installs its backend, for the first
// message box of an attended run that has shown no window yet. It returns
// false when no window can be shown; it is asked once per process.
using BackendLoader = bool (*)();
void SetBackendLoader(BackendLoader loader);

// Shows a message box with caption "Pelorin" unless another is given.
Answer MsgBox(const std::string& text, const std::string& caption = "Pelorin", Buttons buttons = Buttons::Ok,
              Icon icon = Icon::None, Answer defaultAnswer = Answer::Ok);
void DoEvents();
// Sleeps ms milliseconds, then lets pending window messages run.
void SleepEvents(long ms);
void SetCursor(Cursor c);
void RunUntilWindowsClosed();
void ShowStatus(const std::string& text, unsigned long owner);
void CloseStatus();
void ShowProgress(const std::string& line, long done, long total, unsigned long owner);

// Loaded forms, by name, with a way to unload each and what the window's
// close box does (which ends the run for the windows that end it). Windows
// register themselves when loaded and unregister when unloaded. At the end
// of an unattended run, every form still loaded is closed through its close
// box, so the run ends the way a user who closes the window ends it.
struct FormEntry {
  std::string name;
  std::function<void()> unload;
  std::function<void()> close;  // empty: unload
};
int RegisterForm(const std::string& name, std::function<void()> unload, std::function<void()> close = {});
void UnregisterForm(int id);
std::vector<std::string> LoadedForms();
void UnloadAllForms();

// The window system's active window at this moment (on X11 the window the
// window manager names as active, else the one with the keyboard focus);
// 0 when there is none or no window system answers (Wayland keeps other
// programs' windows to itself). Start-up takes it as the owner of every
// window the program shows.
using WindowHandle = unsigned long;
WindowHandle ForegroundWindow();

}  // namespace brevant::ui
