// Test support for vkrt's registry families: direct reads and writes of the machine
// hive (to set up registrations the library would never write, and to check what it
// wrote), and the registration of the sample data class handler.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nxpal/windows.h"

namespace vkrttest {

inline std::u16string GuidText(const GUID& g) {
  WCHAR buf[NX_GUID_STRING_CCH];
  StringFromGUID2(g, buf, NX_GUID_STRING_CCH);
  return buf;
}

inline std::u16string W(const char* utf8) { return nx::Utf8ToUtf16(utf8); }

inline bool KeyExists(const std::u16string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Creates the key (with its parents) and, when `data` is given, sets one value.
inline void Put(const std::u16string& path, const WCHAR* name = nullptr, DWORD type = REG_NONE,
                const void* data = nullptr, DWORD size = 0) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  if (data || type != REG_NONE) {
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  }
  RegCloseKey(key);
}

// A REG_SZ value stored with its terminator.
inline void PutString(const std::u16string& path, const WCHAR* name, const std::u16string& text) {
  Put(path, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

// A value's type and bytes; false when it cannot be read.
inline bool Get(const std::u16string& path, const WCHAR* name, DWORD* type, std::string* bytes) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD cb = 0;
  LONG rc = RegQueryValueExW(key, name, nullptr, type, nullptr, &cb);
  if (rc == ERROR_SUCCESS) {
    bytes->assign(cb, '\0');
    rc = RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<BYTE*>(bytes->data()), &cb);
  }
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

// A REG_SZ value's text without its terminator; "<missing>" when absent.
inline std::u16string GetString(const std::u16string& path, const WCHAR* name) {
  DWORD type = 0;
  std::string bytes;
  if (!Get(path, name, &type, &bytes)) return u"<missing>";
  std::u16string text(bytes.size() / 2, u'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * 2);
  while (!text.empty() && text.back() == 0) text.pop_back();
  return text;
}

inline void Delete(const std::u16string& path) {
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str()), ERROR_SUCCESS) << nx::Utf16ToUtf8(path);
}

inline const std::u16string kProviders = u"Software\\Veltrak\\DataProviders";
inline const std::u16string kServers = u"Software\\Veltrak\\DataAsquiersSetupSvrs";
inline const std::u16string kHandlers = u"Software\\Veltrak\\DataTypeHandlers";

// Makes `library` the in-process server of `clsid`.
inline void RegisterServer(const CLSID& clsid, const char* library) {
  PutString(u"Software\\Classes\\CLSID\\" + GuidText(clsid) + u"\\InprocServer32", nullptr, W(library));
}

// Lists `handler` under DataTypeHandlers\{dataClass}, as a handler registers itself.
inline void ListHandler(const GUID& dataClass, const CLSID& handler) {
  PutString(kHandlers + u"\\" + GuidText(dataClass), GuidText(handler).c_str(), u"");
}

}  // namespace vkrttest
