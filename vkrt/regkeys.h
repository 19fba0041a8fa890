// Helpers of vkrt's registry families (providers, set-up servers, data classes): key
// handles that close themselves, key paths built from GUIDs, subkey walks, the
// library's task allocator, and the A/W string forms behind one template.
#pragma once

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "module.h"
#include "nxpal/regvalue.h"
#include "nxpal/windows.h"
#include "nxrtl/nxrtl.h"

namespace vkrt {

// ---- the library's task allocator -----------------------------------------------------
// Null when the allocator could not be had at load: callers report out of memory.
inline void* TaskAlloc(SIZE_T cb) {
  IMalloc* m = TaskAllocator();
  return m ? m->Alloc(cb) : nullptr;
}
inline void TaskFree(void* p) {
  if (!p) return;
  if (IMalloc* m = TaskAllocator()) m->Free(p);
}

// Runs an exported function's work so that no exception leaves the library: a failed
// allocation of the C++ library becomes the function's out-of-memory result.
template <typename R, typename Work>
R NoThrow(R noMemory, Work work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return noMemory;
  }
}

// ---- registry -------------------------------------------------------------------------
inline constexpr LPCWSTR kDataProvidersKey = u"Software\\Veltrak\\DataProviders";
inline constexpr LPCWSTR kSetupServersKey = u"Software\\Veltrak\\DataAsquiersSetupSvrs";
inline constexpr LPCWSTR kDataTypeHandlersKey = u"Software\\Veltrak\\DataTypeHandlers";

// Subkey and value names read while walking are at most this many characters; a
// longer name cannot be a GUID.
inline constexpr DWORD kNameChars = 64;

// An open key, closed when the holder goes. Predefined keys are never stored here.
class RegKey {
 public:
  RegKey() = default;
  ~RegKey() { Close(); }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  LONG Open(HKEY parent, LPCWSTR path, REGSAM access) {
    Close();
    return RegOpenKeyExW(parent, path, 0, access, &key_);
  }
  LONG Create(HKEY parent, LPCWSTR path, REGSAM access) {
    Close();
    return RegCreateKeyExW(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key_, nullptr);
  }
  void Close() {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
  }
  HKEY get() const { return key_; }
  explicit operator bool() const { return key_ != nullptr; }

 private:
  HKEY key_ = nullptr;
};

// One snapshot of the machine hive for a walk's reads (NxRegBeginRead): one transaction
// instead of one per registry call. Never held while a caller's callback runs, so that
// the callback may use the registry, from any thread, as it likes.
class ReadScope {
 public:
  ReadScope() : held_(NxRegBeginRead(HKEY_LOCAL_MACHINE) == ERROR_SUCCESS) {}
  ~ReadScope() { End(); }
  ReadScope(const ReadScope&) = delete;
  ReadScope& operator=(const ReadScope&) = delete;
  void End() {
    if (held_) NxRegEndRead();
    held_ = false;
  }

 private:
  bool held_;
};

// "<prefix>\{GUID}" into buf with the outside name builder; false when it refuses.
template <size_t N>
bool GuidPath(LPCWSTR prefix, const GUID& guid, WCHAR (&buf)[N]) {
  return nxFileNameFromGUIDW(prefix, nullptr, &guid, buf, static_cast<DWORD>(N)) != FALSE;
}

// Name of subkey `index`. ERROR_SUCCESS, ERROR_NO_MORE_ITEMS at the end, or another
// registry error. A name longer than kNameChars gives ERROR_MORE_DATA.
inline LONG EnumSubKey(HKEY key, DWORD index, WCHAR (&name)[kNameChars + 1]) {
  DWORD cch = kNameChars + 1;
  return RegEnumKeyExW(key, index, name, &cch, nullptr, nullptr, nullptr, nullptr);
}

// Parses a key or value name in registry form ("{...}", 38 characters).
inline bool ParseGuidName(LPCWSTR name, GUID* out) { return CLSIDFromString(name, out) == NOERROR; }

// Removes rootPath\{guid} (HKEY_LOCAL_MACHINE) with everything below it, and rootPath
// itself when no subkey is left. Failure to open rootPath: its code as HRESULT.
HRESULT RemoveGuidKey(LPCWSTR rootPath, const GUID& guid);

// GUIDs stored in binary values (ReqSrc): 16 bytes each, the Windows layout with
// Data1, Data2 and Data3 little-endian.
inline constexpr size_t kGuidBytes = 16;
void EncodeGuid(const GUID& g, BYTE* out);
GUID DecodeGuid(const BYTE* in);

// ---- A and W strings ------------------------------------------------------------------
// Ch is char (the A forms, UTF-8 here) or WCHAR (the W forms).
template <typename Ch>
struct Text;

template <>
struct Text<char> {
  static LONG QueryValue(HKEY key, LPCWSTR name, LPDWORD type, LPBYTE data, LPDWORD cb) {
    // The A form converts string data to UTF-8 and counts its bytes.
    std::string narrow = name ? nx::Utf16ToUtf8(name) : std::string();
    return RegQueryValueExA(key, name ? narrow.c_str() : nullptr, nullptr, type, data, cb);
  }
  static LONG SetString(HKEY key, LPCWSTR name, const char* s) {
    std::string narrow = name ? nx::Utf16ToUtf8(name) : std::string();
    return RegSetValueExA(key, name ? narrow.c_str() : nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(s),
                          static_cast<DWORD>(std::strlen(s) + 1));
  }
  static int Load(HMODULE module, UINT id, char* buf, int cch) { return LoadStringA(module, id, buf, cch); }
  static size_t Length(const char* s) { return std::strlen(s); }
};

template <>
struct Text<WCHAR> {
  static LONG QueryValue(HKEY key, LPCWSTR name, LPDWORD type, LPBYTE data, LPDWORD cb) {
    return RegQueryValueExW(key, name, nullptr, type, data, cb);
  }
  static LONG SetString(HKEY key, LPCWSTR name, const WCHAR* s) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(s),
                          static_cast<DWORD>((nx::WStrLen(s) + 1) * sizeof(WCHAR)));
  }
  static int Load(HMODULE module, UINT id, WCHAR* buf, int cch) { return LoadStringW(module, id, buf, cch); }
  static size_t Length(const WCHAR* s) { return nx::WStrLen(s); }
};

// Reads a value as stored into `out` (its bytes). ERROR_FILE_NOT_FOUND when absent.
// Short values take one registry call; a longer one (or one that grows meanwhile) is
// read again with the size the registry reported, a bounded number of times.
template <typename Ch>
LONG ReadValueBytes(HKEY key, LPCWSTR name, std::string* out) {
  return nx::ReadSizedValue(256, out, [&](LPBYTE data, DWORD* cb) {
    return Text<Ch>::QueryValue(key, name, nullptr, data, cb);
  });
}

// Loads string resource `id` of `module` into a new task-allocator buffer of `cch`
// characters (0: the string's own length plus its terminator). *text receives the
// buffer, *length the characters loaded (0 when the string is missing). False only
// when the buffer cannot be allocated.
template <typename Ch>
bool LoadResourceString(HMODULE module, UINT id, DWORD cch, Ch** text, DWORD* length) {
  // A string resource holds at most 65535 UTF-16 units (up to 3 UTF-8 bytes each): a
  // larger buffer is never needed, whatever a handler asks for.
  constexpr DWORD kMaxChars = sizeof(Ch) == 1 ? 3 * 65536 : 65536;
  *length = 0;
  if (cch > kMaxChars) cch = kMaxChars;
  if (cch == 0) {
    const WCHAR* inModule = nullptr;
    int n = LoadStringW(module, id, reinterpret_cast<LPWSTR>(&inModule), 0);
    size_t need = n > 0 ? static_cast<size_t>(n) : 0;
    if constexpr (sizeof(Ch) == 1) {
      if (n > 0) need = nx::Utf16ToUtf8(std::u16string_view(inModule, static_cast<size_t>(n))).size();
    }
    cch = static_cast<DWORD>(need + 1);
  }
  auto* buf = static_cast<Ch*>(TaskAlloc(static_cast<SIZE_T>(cch) * sizeof(Ch)));
  *text = buf;
  if (!buf) return false;
  buf[0] = 0;
  int n = Text<Ch>::Load(module, id, buf, static_cast<int>(cch));
  if (n <= 0) buf[0] = 0;
  *length = n > 0 ? static_cast<DWORD>(n) : 0;
  return true;
}

}  // namespace vkrt
