#include "printing/CDevMode.h"

#include <algorithm>
#include <cstring>

namespace brevant {

namespace {
constexpr std::size_t kDeviceNameOff = 0;
constexpr std::size_t kFormNameOff = 70;
constexpr std::size_t kNameLen = 32;
constexpr std::size_t kSpecVersionOff = 32;
constexpr std::size_t kSizeOff = 36;
constexpr std::size_t kFieldsOff = 40;
}  // namespace

void CDevMode::Load(const void* devMode) {
  if (!devMode) return;
  std::memcpy(bytes_.data(), devMode, kSize);
}

std::int16_t CDevMode::Get16(std::size_t off) const {
  return std::int16_t(bytes_[off] | (bytes_[off + 1] << 8));
}

std::int32_t CDevMode::Get32(std::size_t off) const {
  std::uint32_t v = std::uint32_t(bytes_[off]) | (std::uint32_t(bytes_[off + 1]) << 8) |
                    (std::uint32_t(bytes_[off + 2]) << 16) | (std::uint32_t(bytes_[off + 3]) << 24);
  return std::int32_t(v);
}

// A name field: up to its first NUL; a field with no NUL is taken whole,
// trimmed of blanks.
std::string CDevMode::Name(std::size_t off) const {
  const char* p = reinterpret_cast<const char*>(bytes_.data() + off);
  const void* nul = std::memchr(p, 0, kNameLen);
  if (nul) return std::string(p, static_cast<const char*>(nul));
  std::string s(p, kNameLen);
  std::size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  std::size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

DevModeBuilder::DevModeBuilder() {
  // DM_SPECVERSION 0x0401 and the size of the full 8-bit DEVMODE (156).
  bytes_[kSpecVersionOff] = 0x01;
  bytes_[kSpecVersionOff + 1] = 0x04;
  bytes_[kSizeOff] = 156;
}

DevModeBuilder& DevModeBuilder::DeviceName(const std::string& name) {
  std::memset(bytes_.data() + kDeviceNameOff, 0, kNameLen);
  std::memcpy(bytes_.data() + kDeviceNameOff, name.data(), std::min(name.size(), kNameLen - 1));
  return *this;
}

DevModeBuilder& DevModeBuilder::FormName(const std::string& name) {
  std::memset(bytes_.data() + kFormNameOff, 0, kNameLen);
  std::memcpy(bytes_.data() + kFormNameOff, name.data(), std::min(name.size(), kNameLen - 1));
  return Set32(kFieldsOff, std::int32_t(Fields() | DM_FORMNAME), 0);
}

std::uint32_t DevModeBuilder::Fields() const {
  return std::uint32_t(bytes_[kFieldsOff]) | (std::uint32_t(bytes_[kFieldsOff + 1]) << 8) |
         (std::uint32_t(bytes_[kFieldsOff + 2]) << 16) | (std::uint32_t(bytes_[kFieldsOff + 3]) << 24);
}

DevModeBuilder& DevModeBuilder::Set16(std::size_t offset, std::int16_t value, std::uint32_t field) {
  bytes_[offset] = std::uint8_t(value & 0xFF);
  bytes_[offset + 1] = std::uint8_t((std::uint16_t(value) >> 8) & 0xFF);
  if (field) Set32(kFieldsOff, std::int32_t(Fields() | field), 0);
  return *this;
}

DevModeBuilder& DevModeBuilder::Set32(std::size_t offset, std::int32_t value, std::uint32_t field) {
  std::uint32_t v = std::uint32_t(value);
  for (int i = 0; i < 4; ++i) bytes_[offset + std::size_t(i)] = std::uint8_t((v >> (8 * i)) & 0xFF);
  if (field) Set32(kFieldsOff, std::int32_t(Fields() | field), 0);
  return *this;
}

}  // namespace brevant
