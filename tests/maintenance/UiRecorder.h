#pragma once
// Records the message boxes the code under test shows and answers them.
#include <cstdlib>
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
  ui::Answer MessageBox(const std::string& text, const std::string& caption, ui::Buttons, ui::Icon,
                        ui::Answer) override {
    messages.push_back(caption + ": " + text);
    return answer;
  }
  void DoEvents() override { ++events; }
  void SetCursor(ui::Cursor c) override { cursor = c; }
  void RunUntilWindowsClosed() override {}
  void ShowStatus(const std::string&, unsigned long) override {}
  void CloseStatus() override {}

  std::vector<std::string> messages;
  ui::Answer answer = ui::Answer::Ok;
  ui::Cursor cursor = ui::Cursor::Default;
  int events = 0;
};

}  // namespace brevant::test
