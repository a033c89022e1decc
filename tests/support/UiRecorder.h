#pragma once
// Stands in for the message boxes while it lives: each box the code under
// test shows is recorded as "caption: text" and answered (with the box's own
// default unless a test sets an answer). The run is attended meanwhile, so
// boxes reach the recorder instead of stderr.
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/Ui.h"

namespace brevant::test {

class UiRecorder : public ui::Backend {
 public:
  UiRecorder() {
    ::unsetenv("BREVANT_UNATTENDED");
    ui::SetBackend(this);
  }
  ~UiRecorder() override {
    ui::SetBackend(nullptr);
    ::setenv("BREVANT_UNATTENDED", "1", 1);
  }
  UiRecorder(const UiRecorder&) = delete;
  UiRecorder& operator=(const UiRecorder&) = delete;

  ui::Answer MessageBox(const std::string& text, const std::string& caption, ui::Buttons, ui::Icon,
                        ui::Answer defaultAnswer) override {
    messages.push_back(caption + ": " + text);
    return answer.value_or(defaultAnswer);
  }
  void DoEvents() override {
    if (onDoEvents) onDoEvents();
  }
  void SetCursor(ui::Cursor c) override { cursor = c; }
  void RunUntilWindowsClosed() override {}
  void ShowStatus(const std::string&, unsigned long) override {}
  void CloseStatus() override {}

  std::vector<std::string> messages;
  std::optional<ui::Answer> answer;
  ui::Cursor cursor = ui::Cursor::Default;
  // What "DoEvents" runs (the window tests let Qt handle its events).
  std::function<void()> onDoEvents;
};

}  // namespace brevant::test
