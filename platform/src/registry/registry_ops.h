// The registry operations behind the exported Reg* functions: handles, paths, access
// rights and one transaction per call. Names are UTF-16; the A/W wrappers convert.
#pragma once

#include <string>
#include <string_view>

#include "registry/registry_store.h"

namespace nxpal {

// Longest key name component and value name, in characters (Windows' limits).
inline constexpr size_t kMaxKeyNameLen = 255;
inline constexpr size_t kMaxValueNameLen = 16383;

// Rights that change a key (KEY_SET_VALUE, KEY_CREATE_SUB_KEY, KEY_CREATE_LINK, DELETE,
// WRITE_DAC, WRITE_OWNER).
inline constexpr REGSAM kWriteRights = 0x0002 | 0x0004 | 0x0020 | 0x00010000 | 0x00040000 | 0x00080000;
inline constexpr REGSAM kDeleteRight = 0x00010000;

// Each returns a Win32 code. Handles are checked against the table of live handles
// (ERROR_INVALID_HANDLE), then against the key (ERROR_KEY_DELETED).
LONG OpenKey(HKEY parent, std::u16string_view subKey, REGSAM sam, HKEY* result);
LONG CreateKey(HKEY parent, std::u16string_view subKey, DWORD options, REGSAM sam, HKEY* result,
               DWORD* disposition);
LONG SetValue(HKEY key, std::u16string_view name, DWORD type, const BYTE* data, DWORD cb);
LONG QueryValue(HKEY key, std::u16string_view name, Value* out);
LONG EnumKey(HKEY key, DWORD index, std::u16string* name, int64_t* written);
LONG EnumValue(HKEY key, DWORD index, Value* out);
// With utf8, name and data lengths are counted as the A functions return them.
LONG QueryInfo(HKEY key, bool utf8, KeyInfo* info);
LONG DeleteKey(HKEY key, std::u16string_view subKey);
LONG DeleteValue(HKEY key, std::u16string_view name);
LONG CloseKey(HKEY key);
// This thread's read scope on the hive of `key` (Txn::BeginReadScope).
LONG BeginReadScope(HKEY key);
void EndReadScope();

// Conversions of the A functions: UTF-8 names, and string data (REG_SZ, REG_EXPAND_SZ,
// REG_MULTI_SZ) converted between UTF-8 and the stored UTF-16.
bool IsStringType(DWORD type);
std::string DataToUtf8(DWORD type, const std::string& stored);
std::string DataFromUtf8(DWORD type, const BYTE* data, DWORD cb);

}  // namespace nxpal
