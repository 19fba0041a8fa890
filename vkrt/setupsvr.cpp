// Data acquisition set-up servers (HKLM\Software\Veltrak\DataAsquiersSetupSvrs):
// registering, removing and listing them; and the input device server test.
#include "regkeys.h"
#include "vkrt/bitflags.h"
#include "vkrt/dataclass.h"
#include "vkrt/setupsvr.h"

namespace {

using vkrt::RegKey;

template <typename Ch>
struct Server;
template <>
struct Server<char> {
  using Info = VKDATAASQSETSVRINFOA;
  static LONG ReadString(HKEY key, LPCWSTR name, char** out) {
    std::string narrow = name ? nx::Utf16ToUtf8(name) : std::string();
    return vkGetStringFromRVA(key, name ? narrow.c_str() : nullptr, out);
  }
};
template <>
struct Server<WCHAR> {
  using Info = VKDATAASQSETSVRINFOW;
  static LONG ReadString(HKEY key, LPCWSTR name, WCHAR** out) { return vkGetStringFromRVW(key, name, out); }
};

constexpr LPCWSTR kDescriptValue = u"Descript";

template <typename Ch>
HRESULT Register(const typename Server<Ch>::Info& info) {
  WCHAR path[MAX_PATH];
  if (!vkrt::GuidPath(vkrt::kSetupServersKey, info.clsid, path)) return E_INVALIDARG;
  RegKey key;
  if (LONG rc = key.Create(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS)) return HRESULT_FROM_WIN32(rc);
  LONG rc = vkrt::Text<Ch>::SetString(key.get(), nullptr, info.name);
  if (rc == ERROR_SUCCESS) rc = vkrt::Text<Ch>::SetString(key.get(), kDescriptValue, info.description);
  return HRESULT_FROM_WIN32(rc);
}

// A value read with vkGetStringFromRV carries its terminator only if it was stored
// with one; the entries handed out are always terminated.
template <typename Ch>
LONG ReadTerminated(HKEY key, LPCWSTR name, Ch** out) {
  Ch* text = nullptr;
  LONG rc = Server<Ch>::ReadString(key, name, &text);
  if (rc != ERROR_SUCCESS) {
    vkrt::TaskFree(text);
    return rc;
  }
  IMalloc* m = vkrt::TaskAllocator();  // it made the buffer, so it is there
  const size_t chars = m->GetSize(text) / sizeof(Ch);
  if (chars == 0 || text[chars - 1] != 0) {
    auto* grown = static_cast<Ch*>(m->Realloc(text, (chars + 1) * sizeof(Ch)));
    if (!grown) {
      m->Free(text);
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    grown[chars] = 0;
    text = grown;
  }
  *out = text;
  return ERROR_SUCCESS;
}

template <typename Ch>
HRESULT Enumerate(typename Server<Ch>::Info** servers, DWORD* count) {
  using Info = typename Server<Ch>::Info;
  RegKey root;
  if (LONG rc = root.Open(HKEY_LOCAL_MACHINE, vkrt::kSetupServersKey, KEY_READ)) return HRESULT_FROM_WIN32(rc);
  DWORD subKeys = 0;
  if (LONG rc = RegQueryInfoKeyW(root.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr))
    return HRESULT_FROM_WIN32(rc);
  if (subKeys == 0) return S_OK;  // no array: nothing to free
  auto* array = static_cast<Info*>(vkrt::TaskAlloc(static_cast<SIZE_T>(subKeys) * sizeof(Info)));
  if (!array) return HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
  std::memset(array, 0, static_cast<size_t>(subKeys) * sizeof(Info));
  *servers = array;
  *count = subKeys;

  WCHAR name[vkrt::kNameChars + 1];
  for (DWORD i = 0; i < subKeys; ++i) {
    LONG rc = vkrt::EnumSubKey(root.get(), i, name);
    if (rc == ERROR_NO_MORE_ITEMS) return S_OK;  // servers removed meanwhile: zero entries
    if (rc == ERROR_MORE_DATA) continue;  // too long for a CLSID: a zero entry
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    if (!vkrt::ParseGuidName(name, &array[i].clsid)) continue;
    RegKey server;
    if ((rc = server.Open(root.get(), name, KEY_READ))) return HRESULT_FROM_WIN32(rc);
    if ((rc = ReadTerminated(server.get(), nullptr, &array[i].name))) return HRESULT_FROM_WIN32(rc);
    if ((rc = ReadTerminated(server.get(), kDescriptValue, &array[i].description))) return HRESULT_FROM_WIN32(rc);
  }
  return S_OK;
}

template <typename Info>
void FreeServers(Info* servers, DWORD count) {
  for (DWORD i = 0; i < count; ++i) {
    vkrt::TaskFree(servers[i].description);
    vkrt::TaskFree(servers[i].name);
  }
  vkrt::TaskFree(servers);
}

// A provider that takes no inputs and has an output class with a zero low attribute
// byte is an input device server.
template <typename ClassInfo, typename Output>
HRESULT IsInputDeviceServer(WORD inputCount, WORD outputCount, const Output* outputs,
                            HRESULT (*getClassInfo)(const GUID*, ClassInfo*)) {
  if (inputCount != 0) return S_FALSE;
  if (outputCount && IsBadReadPtr(outputs, static_cast<UINT_PTR>(outputCount) * sizeof(Output))) return E_POINTER;
  for (WORD i = 0; i < outputCount; ++i) {
    ClassInfo info{};
    info.cbSize = sizeof(ClassInfo);
    info.mask = VKDCI_ATTRIBUTES;
    if (HRESULT hr = getClassInfo(&outputs[i].dataClass, &info); FAILED(hr)) return hr;
    if ((info.attributes & 0xFF) == 0) return S_OK;
  }
  return S_FALSE;
}

}  // namespace

HRESULT vkRegisterDataAsqSetSvrA(const VKDATAASQSETSVRINFOA* info) {
  if (!info || !info->name || !info->description) return E_INVALIDARG;
  return vkrt::NoThrow(E_OUTOFMEMORY, [&] { return Register<char>(*info); });
}

HRESULT vkRegisterDataAsqSetSvrW(const VKDATAASQSETSVRINFOW* info) {
  if (!info || !info->name || !info->description) return E_INVALIDARG;
  return Register<WCHAR>(*info);
}

HRESULT vkUnregisterDataAsqSetSvr(const CLSID* clsid) {
  if (!clsid) return E_INVALIDARG;
  return vkrt::RemoveGuidKey(vkrt::kSetupServersKey, *clsid);
}

HRESULT vkEnumDataAsqSetSvrA(VKDATAASQSETSVRINFOA** servers, DWORD* count) {
  if (!servers || !count) return E_INVALIDARG;
  *servers = nullptr;
  *count = 0;
  return vkrt::NoThrow(HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY), [&] { return Enumerate<char>(servers, count); });
}

HRESULT vkEnumDataAsqSetSvrW(VKDATAASQSETSVRINFOW** servers, DWORD* count) {
  if (!servers || !count) return E_INVALIDARG;
  *servers = nullptr;
  *count = 0;
  return Enumerate<WCHAR>(servers, count);
}

void vkFreeDataAsqSetSvrInfoA(VKDATAASQSETSVRINFOA* servers, DWORD count) {
  if (servers && count) FreeServers(servers, count);
}

void vkFreeDataAsqSetSvrInfoW(VKDATAASQSETSVRINFOW* servers, DWORD count) {
  if (servers && count) FreeServers(servers, count);
}

HRESULT vkIsInputDeviceServerA(const VKDATAPROVIDERINFOA* info) {
  if (IsBadReadPtr(info, sizeof(*info))) return E_POINTER;
  return IsInputDeviceServer(info->inputCount, info->outputCount, info->outputs, &vkGetDataClassInfoA);
}

HRESULT vkIsInputDeviceServerW(const VKDATAPROVIDERINFOW* info) {
  if (IsBadReadPtr(info, sizeof(*info))) return E_POINTER;
  return IsInputDeviceServer(info->inputCount, info->outputCount, info->outputs, &vkGetDataClassInfoW);
}
