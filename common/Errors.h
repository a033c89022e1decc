#pragma once
// Brevant's error convention: every procedure traps its own errors, writes
// one error record (number, description, "module.Procedure") and returns its
// failure value. Inside a procedure, a failure is a VbError carrying the
// error number; other exceptions are given the nearest number.
#include <stdexcept>
#include <string>

namespace brevant {

// Error numbers used across the program.
enum ErrorNumber : long {
  kErrInvalidCall = 5,
  kErrOverflow = 6,
  kErrOutOfMemory = 7,
  kErrSubscript = 9,
  kErrTypeMismatch = 13,
  kErrBadFileName = 52,
  kErrFileNotFound = 53,
  kErrFileExists = 58,
  kErrPermission = 70,
  kErrPathFileAccess = 75,
  kErrPathNotFound = 76,
  kErrObjectNotSet = 91,
  kErrNotAvailable = 438,
};

class VbError : public std::runtime_error {
 public:
  VbError(long number, const std::string& description) : std::runtime_error(description), number_(number) {}
  long Number() const { return number_; }

 private:
  long number_;
};

// The pending error of a procedure: number 0 and "" when there is none.
struct ErrInfo {
  long number = 0;
  std::string description;
  bool Pending() const { return number != 0 || !description.empty(); }
};

// Call inside a catch block: the number and description of the exception
// being handled.
ErrInfo CurrentError() noexcept;

// For procedures whose steps run with errors not stopping them: each Step
// runs, a failure is kept as the pending error (the last one wins), and the
// procedure inspects it once at the end.
class PendingError {
 public:
  template <class F>
  void Step(F&& f) noexcept {
    try {
      f();
    } catch (...) {
      err_ = CurrentError();
    }
  }
  bool Any() const { return err_.Pending(); }
  const ErrInfo& Get() const { return err_; }
  void Set(ErrInfo e) { err_ = std::move(e); }
  void Clear() { err_ = {}; }

 private:
  ErrInfo err_;
};

}  // namespace brevant
