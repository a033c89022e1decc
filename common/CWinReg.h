#pragma once
// CWinReg: the one way Brevant reads and writes the registry store. An
// object holds at most one open key; open it with InitForRead or
// InitForWrite, read or write its values, close it with CloseKey (or let the
// object close it when it is released). Strings are 8-bit.
#include <cstdint>
#include <string>

namespace brevant {

class CWinReg {
 public:
  static constexpr std::int32_t kRead = 0x20019;
  static constexpr std::int32_t kWrite = 0x2001F;
  static constexpr std::uint32_t HKEY_CLASSES_ROOT = 0x80000000u;
  static constexpr std::uint32_t HKEY_CURRENT_USER = 0x80000001u;
  static constexpr std::uint32_t HKEY_LOCAL_MACHINE = 0x80000002u;

  CWinReg() = default;
  ~CWinReg();
  CWinReg(const CWinReg&) = delete;
  CWinReg& operator=(const CWinReg&) = delete;

  bool InitForRead(std::uint32_t root, const std::string& keyPath);
  bool InitForWrite(std::uint32_t root, const std::string& keyPath, bool create);
  bool InitForAccess(std::uint32_t root, const std::string& keyPath, std::int32_t accessMask, bool create);
  void CloseKey();
  bool SetString(const std::string& valueName, const std::string& data);
  bool SetExpandString(const std::string& valueName, const std::string& data);
  std::string GetString(const std::string& valueName);
  std::string GetLongString(const std::string& valueName);
  bool SetDword(const std::string& valueName, std::int32_t data);
  std::int32_t GetDword(const std::string& valueName);
  bool SetYesNo(const std::string& valueName, bool data);
  bool GetYesNo(const std::string& valueName);
  bool DeleteValue(const std::string& valueName);
  bool FlushKey();

  bool IsOpen() const { return key_ != 0; }
  // Type of a value of the open key (REG_SZ 1, REG_EXPAND_SZ 2, REG_DWORD 4,
  // ...); 0 when it is missing or no key is open. *size gets its data size.
  std::uint32_t ValueType(const std::string& valueName, std::uint32_t* size = nullptr);
  // InitForRead of a key that most installations never create (a setting of
  // our own that only some users make): a missing key is no failure and
  // writes no record; any other failure is recorded as InitForRead does.
  bool InitForReadIfPresent(std::uint32_t root, const std::string& keyPath);

 private:
  std::string QueryString(const std::string& valueName, std::uint32_t bufferSize);
  bool SetTyped(const std::string& valueName, std::uint32_t type, const std::string& data);
  std::uint32_t key_ = 0;
};

}  // namespace brevant
