#pragma once
// The pipeline's progress for the suite's progress window: the values of
// "Software\Norvane\Pelorin\ProgressBar" (current user), written here in
// one place, and the window's cancel request read back from "Abort".
#include <cstdint>
#include <string>

#include "common/CWinReg.h"

namespace brevant::render {

class ProgressStatus {
 public:
  ProgressStatus() = default;
  ~ProgressStatus() { Done(); }
  ProgressStatus(const ProgressStatus&) = delete;
  ProgressStatus& operator=(const ProgressStatus&) = delete;

  void Init(std::int32_t max, std::int32_t min, std::int32_t step, std::int32_t pos, const std::string& caption);
  // True once per cancel request ("Abort" = 1, then reset to 0).
  bool Aborted();
  void SetPos(std::int32_t pos);
  void SetStatusText(const std::string& text);
  std::int32_t GetProgressMax();
  // Removes the values: the window takes an empty key as the end.
  void Done();

 private:
  CWinReg reg_;
};

}  // namespace brevant::render
