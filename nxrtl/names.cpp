// nxFileNameFromGUIDA/W: "<prefix>\{GUID}", the registry paths and file names that the
// runtime library builds from class ids.
#include <cstring>

#include "nxrtl/nxrtl.h"

namespace {

// Shared by both forms: checks, then writes prefix, backslash, GUID and terminator.
template <typename Ch>
BOOL FileNameFromGuid(const Ch* prefix, const GUID* guid, Ch* out, DWORD cch) {
  if (!prefix || !guid || !out) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  size_t prefixLen = 0;
  while (prefix[prefixLen]) ++prefixLen;
  // prefix + '\' + 38 characters + terminator
  if (static_cast<size_t>(cch) < prefixLen + 1 + NX_GUID_STRING_LEN + 1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::memmove(out, prefix, prefixLen * sizeof(Ch));  // the caller may build in place
  out[prefixLen] = static_cast<Ch>('\\');
  nx::FormatGuid(*guid, out + prefixLen + 1);
  return TRUE;
}

}  // namespace

BOOL nxFileNameFromGUIDA(LPCSTR prefix, LPCSTR /*reserved*/, const GUID* guid, LPSTR out, DWORD cch) {
  return FileNameFromGuid(prefix, guid, out, cch);
}

BOOL nxFileNameFromGUIDW(LPCWSTR prefix, LPCWSTR /*reserved*/, const GUID* guid, LPWSTR out, DWORD cch) {
  return FileNameFromGuid(prefix, guid, out, cch);
}
