#include "common/Errors.h"

#include <cerrno>
#include <new>
#include <system_error>

#include "platform/error/Error.h"

namespace brevant {

// The description of a library exception is the system's own text for its
// error number, never the library's diagnostic (which names its internals:
// "vector::_M_range_check: __n (which is 0) >= this->size()"). Our own
// runtime errors say what failed in the system's terms and keep their text.
ErrInfo CurrentError() noexcept {
  try {
    throw;
  } catch (const VbError& e) {
    return {e.Number(), e.what()};
  } catch (const platform::Error& e) {
    // A failure of a layer below (platform, mail, fax service client),
    // under the number it carries.
    return {e.Code(), e.what()};
  } catch (const std::system_error& e) {
    auto c = e.code().value();
    if (c == ENOENT) return {kErrFileNotFound, "File not found"};
    if (c == EACCES || c == EPERM) return {kErrPermission, "Permission denied"};
    return {kErrPathFileAccess, "Path/File access error"};
  } catch (const std::bad_alloc&) {
    return {kErrOutOfMemory, "Out of memory"};
  } catch (const std::length_error&) {
    return {kErrOutOfMemory, "Out of memory"};
  } catch (const std::out_of_range&) {
    return {kErrSubscript, "Subscript out of range"};
  } catch (const std::invalid_argument&) {
    return {kErrTypeMismatch, "Type mismatch"};
  } catch (const std::overflow_error&) {
    return {kErrOverflow, "Overflow"};
  } catch (const std::runtime_error& e) {
    return {kErrInvalidCall, e.what()};
  } catch (...) {
    return {kErrInvalidCall, "Invalid procedure call or argument"};
  }
}

}  // namespace brevant
