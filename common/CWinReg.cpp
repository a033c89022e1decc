#include "common/CWinReg.h"

#include <cstring>
#include <vector>

#include "common/Errors.h"
#include "common/Logging.h"
#include "platform/registry/Registry.h"

namespace brevant {

CWinReg::~CWinReg() {
  CloseKey();
}

bool CWinReg::InitForRead(std::uint32_t root, const std::string& keyPath) {
  return InitForAccess(root, keyPath, kRead, false);
}

bool CWinReg::InitForWrite(std::uint32_t root, const std::string& keyPath, bool create) {
  return InitForAccess(root, keyPath, kWrite, create);
}

bool CWinReg::InitForAccess(std::uint32_t root, const std::string& keyPath, std::int32_t accessMask,
                            bool create) {
  reg::HKEY handle = 0;
  long rc = create ? reg::CreateKey(root, keyPath, std::uint32_t(accessMask), &handle)
                   : reg::OpenKey(root, keyPath, std::uint32_t(accessMask), &handle);
  if (key_ != 0) reg::CloseKey(key_);
  key_ = rc == reg::kOk ? handle : 0;
  if (rc == reg::kOk) return true;
  // A missing key has no description; a store failure says what went wrong,
  // directly followed by the fixed text.
  std::string description = reg::LastErrorText();
  WriteErrorLog(0,
                description + "failed open for " + std::to_string(accessMask) + " access " +
                    std::to_string(std::int32_t(root)) + "\\" + keyPath,
                "CWinReg.InitForAccess");
  return false;
}

void CWinReg::CloseKey() {
  if (key_ != 0) reg::CloseKey(key_);
  key_ = 0;
}

bool CWinReg::SetTyped(const std::string& valueName, std::uint32_t type, const std::string& data) {
  if (key_ == 0) return false;
  return reg::SetValue(key_, valueName, type, data.data(), std::uint32_t(data.size())) == reg::kOk;
}

bool CWinReg::SetString(const std::string& valueName, const std::string& data) {
  return SetTyped(valueName, reg::REG_SZ, data);
}

bool CWinReg::SetExpandString(const std::string& valueName, const std::string& data) {
  return SetTyped(valueName, reg::REG_EXPAND_SZ, data);
}

// The value must fit into bufferSize bytes with its terminating zero; the
// last byte returned is taken as that zero.
std::string CWinReg::QueryString(const std::string& valueName, std::uint32_t bufferSize) {
  if (key_ == 0) return "";
  std::vector<char> buf(bufferSize);
  std::uint32_t size = bufferSize, type = 0;
  long rc = reg::QueryValue(key_, valueName, &type, buf.data(), &size);
  if (rc != reg::kOk || (type != reg::REG_SZ && type != reg::REG_EXPAND_SZ) || size == 0) return "";
  return std::string(buf.data(), size - 1);
}

std::string CWinReg::GetString(const std::string& valueName) {
  return QueryString(valueName, 256);
}

std::string CWinReg::GetLongString(const std::string& valueName) {
  return QueryString(valueName, 65556);
}

bool CWinReg::SetDword(const std::string& valueName, std::int32_t data) {
  if (key_ == 0) return false;
  return reg::SetValue(key_, valueName, reg::REG_DWORD, &data, 4) == reg::kOk;
}

std::int32_t CWinReg::GetDword(const std::string& valueName) {
  if (key_ == 0) return 0;
  std::int32_t value = 0;
  std::uint32_t size = 4, type = 0;
  long rc = reg::QueryValue(key_, valueName, &type, &value, &size);
  return (rc == reg::kOk && type == reg::REG_DWORD) ? value : 0;
}

bool CWinReg::SetYesNo(const std::string& valueName, bool data) {
  return SetString(valueName, data ? "yes" : "no");
}

bool CWinReg::GetYesNo(const std::string& valueName) {
  std::string s = GetString(valueName);
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s == "yes";
}

bool CWinReg::DeleteValue(const std::string& valueName) {
  if (key_ == 0) return false;
  return reg::DeleteValue(key_, valueName) == reg::kOk;
}

bool CWinReg::FlushKey() {
  if (key_ == 0) return false;
  return reg::FlushKey(key_) == reg::kOk;
}

std::uint32_t CWinReg::ValueType(const std::string& valueName, std::uint32_t* size) {
  std::uint32_t type = 0, bytes = 0;
  if (key_ == 0 || reg::QueryValue(key_, valueName, &type, nullptr, &bytes) != reg::kOk) type = 0;
  if (size) *size = type ? bytes : 0;
  return type;
}

bool CWinReg::InitForReadIfPresent(std::uint32_t root, const std::string& keyPath) {
  reg::HKEY probe = 0;
  long rc = reg::OpenKey(root, keyPath, std::uint32_t(kRead), &probe);
  if (rc == reg::kOk) reg::CloseKey(probe);
  if (rc == reg::kFileNotFound) {
    CloseKey();
    return false;
  }
  return InitForRead(root, keyPath);
}

}  // namespace brevant
