#pragma once
// Brevant's error convention: every procedure traps its own errors, writes
// one error record (number, description, "module.Procedure") and returns its
// failure value. Inside a procedure, a failure is a VbError carrying the
// error number; other exceptions are given the nearest number.
#include <stdexcept>
#include <string>

#include "platform/error/Error.h"

namespace brevant {

// Error numbers used across the program: those the layer over Linux also
// reports its failures under are its own (platform/error/Error.h), so a
// number means one thing above and below that layer.
enum ErrorNumber : long {
  kErrInvalidCall = platform::kErrInvalidCall,
  kErrOverflow = 6,
  kErrOutOfMemory = 7,
  kErrSubscript = platform::kErrSubscript,
  kErrTypeMismatch = platform::kErrTypeMismatch,
  kErrBadFileName = 52,
  kErrFileNotFound = platform::kErrFileNotFound,
  kErrFileExists = 58,
  kErrPermission = platform::kErrPermission,
  kErrPathFileAccess = platform::kErrPathFileAccess,
  kErrPathNotFound = platform::kErrPathNotFound,
  kErrObjectNotSet = platform::kErrObjectNotSet,
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
