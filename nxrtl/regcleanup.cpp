// nxRegCleanupKeyW: removes one subkey with everything below it, then tells the caller
// whether the parent key is left empty of subkeys.
#include <string>
#include <vector>

#include "nxrtl/nxrtl.h"

namespace {

constexpr DWORD kUnknownCount = 0xFFFFFFFFu;  // "cannot tell": the caller keeps its key

// Deletes parent\name and its whole tree, deepest keys first. Subkey names are read
// before any is deleted, so a subkey that cannot be deleted cannot stall the walk.
void DeleteTree(HKEY parent, const std::u16string& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  std::vector<std::u16string> children;
  WCHAR buf[256];  // key names are at most 255 characters
  for (DWORD i = 0;; ++i) {
    DWORD cch = 256;
    if (RegEnumKeyExW(key, i, buf, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.emplace_back(buf, cch);
  }
  for (const auto& child : children) DeleteTree(key, child);
  RegCloseKey(key);
  RegDeleteKeyW(parent, name.c_str());  // its values go with it
}

}  // namespace

DWORD nxRegCleanupKeyW(HKEY key, LPCWSTR name) {
  // An empty name would be the key itself: only a named subkey is ever removed.
  if (name && *name) DeleteTree(key, name);
  DWORD subKeys = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr) != ERROR_SUCCESS)
    return kUnknownCount;
  return subKeys;
}
