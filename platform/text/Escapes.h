#pragma once
// Byte escapes as a mark and two hexadecimal digits: "%" escapes in URIs,
// device URIs and the mail store's index, "=" escapes in quoted-printable
// vCard values.
#include <string>
#include <string_view>

namespace brevant::platform {

// s with every byte of `special` written as mark + two upper-case hex digits
// ("%3F" for "?"). `special` should hold the mark itself.
std::string HexEscape(std::string_view s, std::string_view special, char mark = '%');

// s with every mark + two hex digits turned back into its byte; a mark not
// followed by two hex digits stays as it is.
std::string HexUnescape(std::string_view s, char mark = '%');

}  // namespace brevant::platform
