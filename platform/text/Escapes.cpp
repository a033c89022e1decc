#include "platform/text/Escapes.h"

namespace brevant::platform {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string HexEscape(std::string_view s, std::string_view special, char mark) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (special.find(c) == std::string_view::npos) {
      out += c;
      continue;
    }
    const auto b = static_cast<unsigned char>(c);
    out += mark;
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string HexUnescape(std::string_view s, char mark) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == mark && i + 2 < s.size()) {
      int hi = HexDigit(s[i + 1]), lo = HexDigit(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

}  // namespace brevant::platform
