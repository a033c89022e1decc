#pragma once
// How the layer over Linux reports a failure: an error number and a text.
// The numbers are the runtime error numbers Brevant's error records carry
// (5 invalid call, 53 file not found, 75 path/file access, ...), so the
// program's layer records a failure of this layer under the number it has
// always had. The layer itself writes no error record: its callers do.
#include <stdexcept>
#include <string>

namespace brevant::platform {

// The runtime error numbers failures below the program are reported under.
enum ErrorCode : long {
  kErrInvalidCall = 5,
  kErrSubscript = 9,
  kErrTypeMismatch = 13,
  kErrFileNotFound = 53,
  kErrPermission = 70,
  kErrPathFileAccess = 75,
  kErrPathNotFound = 76,
  kErrObjectNotSet = 91,
};

class Error : public std::runtime_error {
 public:
  Error(long code, const std::string& text) : std::runtime_error(text), code_(code) {}
  long Code() const { return code_; }

 private:
  long code_;
};

}  // namespace brevant::platform
