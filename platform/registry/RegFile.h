#pragma once
// The ".reg" text form of registry keys, as regedit writes it
// ("Windows Registry Editor Version 5.00"), so users can read, edit and
// move their settings. Export then import gives back the same keys, values
// and types, byte for byte.
#include <string>

namespace brevant::reg {

// Writes the key (root name + "\" + path, or a root alone) with its values and
// subkeys as .reg text. Returns false with *error set when the key is missing.
bool ExportKey(const std::string& fullKey, std::string* text, std::string* error);

// Applies .reg text: creates keys and sets values; "[-KEY]" deletes a key
// tree and "name"=- deletes a value. Stops at the first malformed line and
// names it in *error (lines before it stay applied).
bool ImportText(const std::string& text, std::string* error);

// Splits "HKCU\Software\X" into a root handle and a path.
bool SplitFullKey(const std::string& fullKey, unsigned* root, std::string* path);

}  // namespace brevant::reg
