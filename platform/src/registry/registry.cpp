// The exported Reg* functions: argument checks in order, the operation, and the
// copy into the caller's buffers (UTF-16 for W, UTF-8 for A).
#include "nxpal/registry.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>

#include "nxpal/text.h"
#include "registry/registry_ops.h"

namespace {

using namespace nxpal;

std::u16string_view View(LPCWSTR s) { return s ? std::u16string_view(s, nx::WStrLen(s)) : std::u16string_view(); }
std::u16string Wide(LPCSTR s) { return s ? nx::Utf8ToUtf16(s) : std::u16string(); }

// Copies a name and its terminator into a buffer of *cch characters; *cch becomes the
// length without the terminator. ERROR_MORE_DATA (buffer untouched) when it does not fit.
template <typename Ch>
LONG PutName(std::basic_string_view<Ch> name, Ch* buf, LPDWORD cch) {
  if (name.size() + 1 > *cch) return ERROR_MORE_DATA;
  std::copy(name.begin(), name.end(), buf);
  buf[name.size()] = 0;
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// Keys have no class here: an empty one.
template <typename Ch>
LONG PutEmptyClass(Ch* cls, LPDWORD cch) {
  if (!cch) return ERROR_SUCCESS;
  if (cls) {
    if (*cch < 1) return ERROR_MORE_DATA;
    cls[0] = 0;
  }
  *cch = 0;
  return ERROR_SUCCESS;
}

// Data: with a buffer too small, ERROR_MORE_DATA and the needed size in *cb; with no
// buffer, just the size.
LONG PutData(const std::string& bytes, LPBYTE data, LPDWORD cb) {
  if (!cb) return ERROR_SUCCESS;
  auto need = static_cast<DWORD>(bytes.size());
  if (data) {
    if (*cb < need) {
      *cb = need;
      return ERROR_MORE_DATA;
    }
    std::memcpy(data, bytes.data(), bytes.size());
  }
  *cb = need;
  return ERROR_SUCCESS;
}

void PutInfo(const KeyInfo& info, LPDWORD cSubKeys, LPDWORD cbMaxSubKeyLen, LPDWORD cbMaxClassLen, LPDWORD cValues,
             LPDWORD cbMaxValueNameLen, LPDWORD cbMaxValueLen, LPDWORD cbSecurityDescriptor, PFILETIME lastWrite) {
  if (cSubKeys) *cSubKeys = info.subKeys;
  if (cbMaxSubKeyLen) *cbMaxSubKeyLen = info.maxSubKeyLen;
  if (cbMaxClassLen) *cbMaxClassLen = 0;
  if (cValues) *cValues = info.values;
  if (cbMaxValueNameLen) *cbMaxValueNameLen = info.maxValueNameLen;
  if (cbMaxValueLen) *cbMaxValueLen = info.maxValueLen;
  if (cbSecurityDescriptor) *cbSecurityDescriptor = 0;
  if (lastWrite) *lastWrite = ToFileTime(info.written);
}

constexpr DWORD kOpenOptions = REG_OPTION_OPEN_LINK;
// Volatile keys are accepted and kept like the others; links are not supported.
constexpr DWORD kCreateOptions = REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK;

}  // namespace

// ---- open and create -------------------------------------------------------------------

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  if (!phkResult || (ulOptions & ~kOpenOptions)) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  return OpenKey(hKey, View(lpSubKey), samDesired, phkResult);
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  if (!phkResult || (ulOptions & ~kOpenOptions)) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  return OpenKey(hKey, Wide(lpSubKey), samDesired, phkResult);
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*Reserved*/, LPWSTR /*lpClass*/, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
  if (!lpSubKey || (dwOptions & ~kCreateOptions) || !phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  DWORD disposition = 0;
  LONG rc = CreateKey(hKey, View(lpSubKey), dwOptions, samDesired, phkResult, &disposition);
  if (rc == ERROR_SUCCESS && lpdwDisposition) *lpdwDisposition = disposition;
  return rc;
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
  if (!lpSubKey || (dwOptions & ~kCreateOptions) || !phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  DWORD disposition = 0;
  LONG rc = CreateKey(hKey, Wide(lpSubKey), dwOptions, samDesired, phkResult, &disposition);
  if (rc == ERROR_SUCCESS && lpdwDisposition) *lpdwDisposition = disposition;
  return rc;
}

// ---- values ----------------------------------------------------------------------------

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
  if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
  return SetValue(hKey, View(lpValueName), dwType, lpData, cbData);
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
  if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
  std::string data = DataFromUtf8(dwType, lpData, cbData);
  return SetValue(hKey, Wide(lpValueName), dwType, reinterpret_cast<const BYTE*>(data.data()),
                  static_cast<DWORD>(data.size()));
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  Value v;
  if (LONG rc = QueryValue(hKey, View(lpValueName), &v)) return rc;
  if (lpType) *lpType = v.type;
  return PutData(v.data, lpData, lpcbData);
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  Value v;
  if (LONG rc = QueryValue(hKey, Wide(lpValueName), &v)) return rc;
  if (lpType) *lpType = v.type;
  return PutData(DataToUtf8(v.type, v.data), lpData, lpcbData);
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) { return DeleteValue(hKey, View(lpValueName)); }

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) { return DeleteValue(hKey, Wide(lpValueName)); }

// ---- enumeration and information -------------------------------------------------------

namespace {

// The W functions hand out names and data as stored (UTF-16); the A functions in UTF-8.
template <typename Ch>
std::basic_string<Ch> CallerName(const std::u16string& stored) {
  if constexpr (std::is_same_v<Ch, char>) return nx::Utf16ToUtf8(stored);
  else return stored;
}
template <typename Ch>
std::string CallerData(const Value& v) {
  if constexpr (std::is_same_v<Ch, char>) return DataToUtf8(v.type, v.data);
  else return v.data;
}

template <typename Ch>
LSTATUS EnumKeyAs(HKEY hKey, DWORD dwIndex, Ch* lpName, LPDWORD lpcchName, LPDWORD lpReserved, Ch* lpClass,
                  LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  std::u16string name;
  int64_t written = 0;
  if (LONG rc = EnumKey(hKey, dwIndex, &name, &written)) return rc;
  if (LONG rc = PutName<Ch>(CallerName<Ch>(name), lpName, lpcchName)) return rc;
  if (LONG rc = PutEmptyClass(lpClass, lpcchClass)) return rc;
  if (lpftLastWriteTime) *lpftLastWriteTime = ToFileTime(written);
  return ERROR_SUCCESS;
}

template <typename Ch>
LSTATUS EnumValueAs(HKEY hKey, DWORD dwIndex, Ch* lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                    LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  Value v;
  if (LONG rc = EnumValue(hKey, dwIndex, &v)) return rc;
  if (LONG rc = PutName<Ch>(CallerName<Ch>(v.name), lpValueName, lpcchValueName)) return rc;
  if (lpType) *lpType = v.type;
  return PutData(CallerData<Ch>(v), lpData, lpcbData);
}

template <typename Ch>
LSTATUS QueryInfoKeyAs(HKEY hKey, Ch* lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                       LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                       LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                       PFILETIME lpftLastWriteTime) {
  if ((lpClass && !lpcchClass) || lpReserved) return ERROR_INVALID_PARAMETER;
  KeyInfo info;
  if (LONG rc = QueryInfo(hKey, std::is_same_v<Ch, char>, &info)) return rc;
  if (LONG rc = PutEmptyClass(lpClass, lpcchClass)) return rc;
  PutInfo(info, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen,
          lpcbSecurityDescriptor, lpftLastWriteTime);
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  return EnumKeyAs(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass, lpftLastWriteTime);
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  return EnumKeyAs(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass, lpftLastWriteTime);
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return EnumValueAs(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType, lpData, lpcbData);
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return EnumValueAs(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType, lpData, lpcbData);
}

LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         PFILETIME lpftLastWriteTime) {
  return QueryInfoKeyAs(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen,
                        lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime);
}

LSTATUS RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         PFILETIME lpftLastWriteTime) {
  return QueryInfoKeyAs(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen,
                        lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime);
}

// ---- deletion and closing --------------------------------------------------------------

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  return DeleteKey(hKey, View(lpSubKey));
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  return DeleteKey(hKey, Wide(lpSubKey));
}

LSTATUS RegCloseKey(HKEY hKey) { return CloseKey(hKey); }

LSTATUS NxRegBeginRead(HKEY hKey) { return BeginReadScope(hKey); }

void NxRegEndRead(void) { EndReadScope(); }
