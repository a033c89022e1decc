#include "render/ProgressStatus.h"


namespace brevant::render {

namespace {
constexpr const char* kProgressKey = "Software\\Norvane\\Pelorin\\ProgressBar";
}

void ProgressStatus::Init(std::int32_t max, std::int32_t min, std::int32_t step, std::int32_t pos,
                          const std::string& caption) {
  if (!reg_.IsOpen() && !reg_.InitForWrite(CWinReg::HKEY_CURRENT_USER, kProgressKey, true)) return;
  reg_.SetDword("ProgressMin", min);
  reg_.SetDword("ProgressMax", max);
  reg_.SetDword("ProgressPos", pos);
  reg_.SetDword("ProgressStep", step);
  reg_.SetString("Caption", caption);
}

bool ProgressStatus::Aborted() {
  if (!reg_.IsOpen()) return false;
  if (reg_.GetDword("Abort") != 1) return false;
  reg_.SetDword("Abort", 0);
  return true;
}

void ProgressStatus::SetPos(std::int32_t pos) {
  if (reg_.IsOpen()) reg_.SetDword("ProgressPos", pos);
}

void ProgressStatus::SetStatusText(const std::string& text) {
  if (reg_.IsOpen()) reg_.SetString("Caption", text);
}

std::int32_t ProgressStatus::GetProgressMax() { return reg_.IsOpen() ? reg_.GetDword("ProgressMax") : 0; }

void ProgressStatus::Done() {
  if (!reg_.IsOpen()) return;
  for (const char* v : {"Caption", "ProgressMin", "ProgressMax", "ProgressStep", "ProgressPos", "Abort"})
    reg_.DeleteValue(v);
  reg_.CloseKey();
}

}  // namespace brevant::render
