#pragma once
// CRegStatus: this program's side of the progress channel it shares with the
// suite's progress window. While documents are printed, the position, range,
// step and status text go to the current user's key
// "Software\Norvane\Pelorin\ProgressBar"; the window writes "Abort" = 1 there
// when the user cancels. Every value is written or read in one registry call,
// so the other process sees each change as soon as the call returns.
#include <cstdint>
#include <memory>
#include <string>

namespace brevant {

class CWinReg;

class CRegStatus {
 public:
  CRegStatus();
  // Calls Done.
  ~CRegStatus();
  CRegStatus(const CRegStatus&) = delete;
  CRegStatus& operator=(const CRegStatus&) = delete;

  // Opens the key for writing (created when missing) and writes
  // "ProgressMin", "ProgressMax", "ProgressPos", "ProgressStep", "Caption".
  void Init(std::int32_t max, std::int32_t min, std::int32_t step, std::int32_t pos,
            const std::string& caption);
  // True when "Abort" holds the DWORD 1; it is reset to 0 first, so each
  // cancel request is reported once. Anything else gives False.
  bool Aborted();
  void SetStep(std::int32_t step);
  void SetPos(std::int32_t pos);
  void SetStatusText(const std::string& text);
  // "ProgressMin", then "ProgressMax".
  void SetRange(std::int32_t min, std::int32_t max);
  // "ProgressMax"; 0 when missing.
  std::int32_t GetProgressMax();
  // Deletes the six values (errors ignored) and closes the key. The key
  // itself stays; empty, it tells the window the operation is over.
  void Done();

  static constexpr const char* kKey = "Software\\Norvane\\Pelorin\\ProgressBar";

 private:
  // The registry object, created on first use. Operations before Init find
  // no open key and write nothing.
  CWinReg& Reg();
  std::unique_ptr<CWinReg> reg_;
};

}  // namespace brevant
