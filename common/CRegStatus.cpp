#include "common/CRegStatus.h"

#include "common/CWinReg.h"
#include "common/Errors.h"
#include "common/Logging.h"

namespace brevant {

namespace {

template <class F>
auto Trapped(const char* source, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, source);
    return decltype(f())();
  }
}

}  // namespace

CRegStatus::CRegStatus() = default;

CRegStatus::~CRegStatus() {
  Done();
}

CWinReg& CRegStatus::Reg() {
  if (!reg_) reg_ = std::make_unique<CWinReg>();
  return *reg_;
}

void CRegStatus::Init(std::int32_t max, std::int32_t min, std::int32_t step, std::int32_t pos,
                      const std::string& caption) {
  Trapped("CRegStatus.Init", [&] {
    CWinReg& r = Reg();
    if (!r.InitForWrite(CWinReg::HKEY_CURRENT_USER, kKey, true)) return;
    r.SetDword("ProgressMin", min);
    r.SetDword("ProgressMax", max);
    r.SetDword("ProgressPos", pos);
    r.SetDword("ProgressStep", step);
    r.SetString("Caption", caption);
  });
}

bool CRegStatus::Aborted() {
  return Trapped("CRegStatus.Aborted", [&] {
    CWinReg& r = Reg();
    if (r.GetDword("Abort") != 1) return false;  // other types read as 0
    r.SetDword("Abort", 0);
    return true;
  });
}

void CRegStatus::SetStep(std::int32_t step) {
  Trapped("CRegStatus.SetStep", [&] { Reg().SetDword("ProgressStep", step); });
}

void CRegStatus::SetPos(std::int32_t pos) {
  Trapped("CRegStatus.SetPos", [&] { Reg().SetDword("ProgressPos", pos); });
}

void CRegStatus::SetStatusText(const std::string& text) {
  Trapped("CRegStatus.SetStatusText", [&] { Reg().SetString("Caption", text); });
}

void CRegStatus::SetRange(std::int32_t min, std::int32_t max) {
  Trapped("CRegStatus.SetRange", [&] {
    Reg().SetDword("ProgressMin", min);
    Reg().SetDword("ProgressMax", max);
  });
}

std::int32_t CRegStatus::GetProgressMax() {
  return Trapped("CRegStatus.GetProgressMax", [&] { return Reg().GetDword("ProgressMax"); });
}

void CRegStatus::Done() {
  if (!reg_) return;
  try {
    for (const char* v : {"Caption", "ProgressMin", "ProgressMax", "ProgressStep", "ProgressPos", "Abort"})
      reg_->DeleteValue(v);
    reg_->CloseKey();
  } catch (...) {
    // errors ignored
  }
  reg_.reset();
}

}  // namespace brevant
