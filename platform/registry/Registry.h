#pragma once
// The registry store: named keys with typed values under three roots, kept in
// one SQLite database per hive so that several processes read and write at
// once. The calls mirror the shape the rest of Brevant expects of a registry:
// integer key handles, result codes (0 = success), byte-sized value data.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brevant::reg {

using HKEY = std::uint32_t;
constexpr HKEY kClassesRoot = 0x80000000u;
constexpr HKEY kCurrentUser = 0x80000001u;
constexpr HKEY kLocalMachine = 0x80000002u;

// Access masks.
constexpr std::uint32_t kKeyQueryValue = 0x0001;
constexpr std::uint32_t kKeySetValue = 0x0002;
constexpr std::uint32_t kKeyCreateSubKey = 0x0004;
constexpr std::uint32_t kKeyRead = 0x20019;
constexpr std::uint32_t kKeyWrite = 0x20006;
constexpr std::uint32_t kKeyAllAccess = 0xF003F;

// Value types.
enum : std::uint32_t {
  REG_NONE = 0,
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_BINARY = 3,
  REG_DWORD = 4,
  REG_MULTI_SZ = 7,
};

// Result codes.
enum : long {
  kOk = 0,
  kFileNotFound = 2,
  kAccessDenied = 5,
  kInvalidHandle = 6,
  kInvalidParameter = 87,
  kMoreData = 234,
  kNoMoreItems = 259,
  kBadDb = 1009,
  kCantOpen = 1011,
  kCantWrite = 1013,
  kBusy = 170,
};

long OpenKey(HKEY root, std::string_view path, std::uint32_t access, HKEY* result);
// Opens the key, creating it and every missing parent first. A new key's
// path has at most kMaxKeyDepth levels of at most kMaxKeyNameLength
// characters each (else kInvalidParameter).
long CreateKey(HKEY root, std::string_view path, std::uint32_t access, HKEY* result);
constexpr std::size_t kMaxKeyDepth = 512;
constexpr std::size_t kMaxKeyNameLength = 255;
long CloseKey(HKEY key);
long SetValue(HKEY key, std::string_view name, std::uint32_t type, const void* data, std::uint32_t size);
// Copies the value into data (up to *size bytes). Strings (REG_SZ,
// REG_EXPAND_SZ) are returned with a terminating zero byte that counts in
// *size. When the buffer is too small: kMoreData, *size = bytes needed.
// data may be null to ask for the size only.
long QueryValue(HKEY key, std::string_view name, std::uint32_t* type, void* data, std::uint32_t* size);
long DeleteValue(HKEY key, std::string_view name);
long FlushKey(HKEY key);
// Writes the hive's journal into its file and empties the journal, so that
// no copy of a deleted value stays behind in either (deleted data is
// overwritten in the file itself).
long ScrubHive(HKEY root);
// Deletes a key with its values and all subkeys.
long DeleteKeyTree(HKEY root, std::string_view path);

struct Value {
  std::string name;
  std::uint32_t type = REG_NONE;
  std::string data;  // raw bytes as stored, no terminating zero added
};
long EnumSubKeys(HKEY key, std::vector<std::string>* names);
long EnumValues(HKEY key, std::vector<Value>* values);
// The key path of an open handle, as first created.
std::string KeyPath(HKEY key);
HKEY KeyRoot(HKEY key);

// Text of the last store failure of this thread ("" after success).
std::string LastErrorText();

// Value names that hold secrets: any name ending in "Password" (in any
// letter case). Listings show them masked; the machine-wide roots refuse
// them (SetValue: kAccessDenied), as every user reads those hives; the
// user's own are moved into the secret store (platform/secret).
bool IsSecretValueName(std::string_view valueName);

// Root names as .reg files and brevant-reg spell them.
std::string RootName(HKEY root);
// Accepts "HKEY_CURRENT_USER", "HKCU" and the other roots, any letter case.
bool ParseRoot(std::string_view name, HKEY* root);

// Where the hive files live (see BREVANT_REGISTRY_DIR). For tests and tools.
std::string HiveFile(HKEY root);
// Closes every open database so that the next call reopens it (tests that
// change BREVANT_REGISTRY_DIR between cases).
void ResetForTests();

}  // namespace brevant::reg
