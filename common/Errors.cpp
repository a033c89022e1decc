#include "common/Errors.h"

#include <cerrno>
#include <filesystem>
#include <new>

namespace brevant {

ErrInfo CurrentError() noexcept {
  try {
    throw;
  } catch (const VbError& e) {
    return {e.Number(), e.what()};
  } catch (const std::filesystem::filesystem_error& e) {
    auto c = e.code().value();
    long n = c == ENOENT ? kErrFileNotFound : (c == EACCES || c == EPERM) ? kErrPermission : kErrPathFileAccess;
    return {n, e.what()};
  } catch (const std::bad_alloc&) {
    return {kErrOutOfMemory, "Out of memory"};
  } catch (const std::out_of_range& e) {
    return {kErrSubscript, std::string("Subscript out of range: ") + e.what()};
  } catch (const std::invalid_argument& e) {
    return {kErrTypeMismatch, std::string("Type mismatch: ") + e.what()};
  } catch (const std::exception& e) {
    return {kErrInvalidCall, e.what()};
  } catch (...) {
    return {kErrInvalidCall, "Unknown error"};
  }
}

}  // namespace brevant
