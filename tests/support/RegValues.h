#pragma once
// Registry values as a test sets and reads them, through the program's own
// registry class (the world's private hives).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/CWinReg.h"

namespace brevant::test {

constexpr std::uint32_t HKCU = CWinReg::HKEY_CURRENT_USER;
constexpr std::uint32_t HKLM = CWinReg::HKEY_LOCAL_MACHINE;

inline void SetRegString(std::uint32_t root, const std::string& key, const std::string& name,
                         const std::string& data) {
  CWinReg reg;
  ASSERT_TRUE(reg.InitForWrite(root, key, true)) << key;
  ASSERT_TRUE(reg.SetString(name, data)) << key << "\\" << name;
}

inline void SetRegDword(std::uint32_t root, const std::string& key, const std::string& name,
                        std::int32_t data) {
  CWinReg reg;
  ASSERT_TRUE(reg.InitForWrite(root, key, true)) << key;
  ASSERT_TRUE(reg.SetDword(name, data)) << key << "\\" << name;
}

// A string value ("" when it is missing or not a string); "<no key>" when
// the key itself is missing.
inline std::string RegString(std::uint32_t root, const std::string& key, const std::string& name) {
  CWinReg reg;
  return reg.InitForRead(root, key) ? reg.GetLongString(name) : "<no key>";
}

}  // namespace brevant::test
