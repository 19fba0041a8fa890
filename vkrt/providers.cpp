// The data provider registry: registrations under HKLM\Software\Veltrak\DataProviders
// written, removed, read into self-contained information blocks, copied and searched.
#include <algorithm>
#include <string>
#include <vector>

#include "regkeys.h"
#include "vkrt/providers.h"

namespace {

using vkrt::RegKey;

template <typename Ch>
struct Record;
template <>
struct Record<char> {
  using Info = VKDATAPROVIDERINFOA;
  using Output = VKDATAPROVIDEROUTPUTA;
};
template <>
struct Record<WCHAR> {
  using Info = VKDATAPROVIDERINFOW;
  using Output = VKDATAPROVIDEROUTPUTW;
};

// ---- a registration in memory -----------------------------------------------------------
// What a block holds, independent of where it came from (the registry or a record).
// Strings are the bytes as stored; they are terminated when laid out.
struct ProviderData {
  struct Output {
    GUID dataClass;
    std::string name;  // empty: no name
  };
  struct Input {
    GUID dataClass;
    std::vector<GUID> reqSrc;
  };
  CLSID clsid{};
  std::string description;
  std::vector<Output> outputs;
  std::vector<Input> inputs;
};

// Entries beyond what the 16-bit counts of the record hold are not stored.
constexpr size_t kMaxEntries = 0xFFFF;

// Bytes a string takes in a block: W data rounded down to whole characters, plus a
// terminator when the stored data lack one. 0 for an empty string.
template <typename Ch>
size_t StoredBytes(const std::string& raw) {
  size_t n = raw.size() / sizeof(Ch) * sizeof(Ch);
  if (n == 0) return 0;
  Ch last;
  std::memcpy(&last, raw.data() + n - sizeof(Ch), sizeof(Ch));
  return last == 0 ? n : n + sizeof(Ch);
}

// Lays out one zero-filled task-allocator block: header, output entries, input
// entries, then the description, the output names in order and the ReqSrc arrays in
// order (aligned for GUIDs). Every pointer refers into the block itself. `noMemory` is
// the caller's out-of-memory result.
template <typename Ch>
HRESULT LayOut(const ProviderData& data, typename Record<Ch>::Info** block, DWORD* blockSize, HRESULT noMemory) {
  using Info = typename Record<Ch>::Info;
  using Output = typename Record<Ch>::Output;
  const size_t outputs = std::min(data.outputs.size(), kMaxEntries);
  const size_t inputs = std::min(data.inputs.size(), kMaxEntries);

  size_t size = sizeof(Info) + outputs * sizeof(Output) + inputs * sizeof(VKDATAPROVIDERINPUT);
  size += std::max(StoredBytes<Ch>(data.description), sizeof(Ch));  // never null: empty at least
  for (size_t i = 0; i < outputs; ++i) size += StoredBytes<Ch>(data.outputs[i].name);
  size = (size + alignof(GUID) - 1) / alignof(GUID) * alignof(GUID);
  for (size_t i = 0; i < inputs; ++i) size += data.inputs[i].reqSrc.size() * sizeof(GUID);
  if (size > 0xFFFFFFFFu) return noMemory;

  auto* base = static_cast<BYTE*>(vkrt::TaskAlloc(size));
  if (!base) return noMemory;
  std::memset(base, 0, size);
  auto* info = reinterpret_cast<Info*>(base);
  auto* outs = reinterpret_cast<Output*>(base + sizeof(Info));
  auto* ins = reinterpret_cast<VKDATAPROVIDERINPUT*>(base + sizeof(Info) + outputs * sizeof(Output));
  BYTE* cursor = reinterpret_cast<BYTE*>(ins + inputs);

  // Copies a string's bytes; the terminator, when added, is already there (zero fill).
  auto putString = [&](const std::string& raw) -> Ch* {
    size_t n = StoredBytes<Ch>(raw);
    if (n == 0) return nullptr;
    std::memcpy(cursor, raw.data(), raw.size() / sizeof(Ch) * sizeof(Ch));  // whole characters only
    Ch* s = reinterpret_cast<Ch*>(cursor);
    cursor += n;
    return s;
  };

  info->clsid = data.clsid;
  info->inputCount = static_cast<WORD>(inputs);
  info->outputCount = static_cast<WORD>(outputs);
  info->outputs = outs;
  info->inputs = inputs ? ins : nullptr;
  info->description = putString(data.description);
  if (!info->description) {
    info->description = reinterpret_cast<Ch*>(cursor);
    cursor += sizeof(Ch);
  }
  for (size_t i = 0; i < outputs; ++i) {
    outs[i].dataClass = data.outputs[i].dataClass;
    outs[i].name = putString(data.outputs[i].name);
  }
  cursor = base + (static_cast<size_t>(cursor - base) + alignof(GUID) - 1) / alignof(GUID) * alignof(GUID);
  for (size_t i = 0; i < inputs; ++i) {
    const auto& src = data.inputs[i].reqSrc;
    ins[i].dataClass = data.inputs[i].dataClass;
    ins[i].reqSrcCount = static_cast<DWORD>(src.size());
    if (!src.empty()) {
      ins[i].reqSrc = reinterpret_cast<GUID*>(cursor);
      std::copy(src.begin(), src.end(), ins[i].reqSrc);
      cursor += src.size() * sizeof(GUID);
    }
  }
  *block = info;
  if (blockSize) *blockSize = static_cast<DWORD>(size);
  return S_OK;
}

// ---- reading the registry -------------------------------------------------------------------
// A value's bytes; an absent value reads as empty.
template <typename Ch>
LONG ReadOptional(HKEY key, LPCWSTR name, std::string* out) {
  LONG rc = vkrt::ReadValueBytes<Ch>(key, name, out);
  if (rc == ERROR_FILE_NOT_FOUND) {
    out->clear();
    return ERROR_SUCCESS;
  }
  return rc;
}

// Walks the GUID-named subkeys of `parent`, calling visit(guid, openedSubKey) for each;
// other names (too long to be a GUID included) are skipped. The end of the subkeys
// ends the walk without error; any other failure ends it with its code.
template <typename Visit>
LONG ForEachGuidSubKey(HKEY parent, Visit visit) {
  WCHAR name[vkrt::kNameChars + 1];
  for (DWORD index = 0;; ++index) {
    LONG rc = vkrt::EnumSubKey(parent, index, name);
    if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) return rc;
    GUID guid;
    if (!vkrt::ParseGuidName(name, &guid)) continue;
    RegKey sub;
    if (LONG orc = sub.Open(parent, name, KEY_READ)) return orc;
    if (LONG vrc = visit(guid, sub.get())) return vrc;
  }
}

// Reads a provider's registration in one snapshot of the hive (GetInfo holds it), so a
// registration that changes while it is read gives a consistent block of what was seen.
template <typename Ch>
HRESULT ReadProvider(const CLSID& clsid, ProviderData* data) {
  WCHAR path[MAX_PATH];
  if (!vkrt::GuidPath(vkrt::kDataProvidersKey, clsid, path)) return E_INVALIDARG;
  RegKey provider, out, in;
  if (LONG rc = provider.Open(HKEY_LOCAL_MACHINE, path, KEY_READ)) return HRESULT_FROM_WIN32(rc);
  if (LONG rc = out.Open(provider.get(), u"Out", KEY_READ)) return HRESULT_FROM_WIN32(rc);
  LONG inRc = in.Open(provider.get(), u"In", KEY_READ);
  if (inRc != ERROR_SUCCESS && inRc != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(inRc);

  data->clsid = clsid;
  if (LONG rc = ReadOptional<Ch>(provider.get(), nullptr, &data->description)) return HRESULT_FROM_WIN32(rc);
  LONG rc = ForEachGuidSubKey(out.get(), [&](const GUID& dataClass, HKEY key) -> LONG {
    if (data->outputs.size() >= kMaxEntries) return ERROR_SUCCESS;
    ProviderData::Output output{dataClass, {}};
    if (LONG vrc = ReadOptional<Ch>(key, nullptr, &output.name)) return vrc;
    data->outputs.push_back(std::move(output));
    return ERROR_SUCCESS;
  });
  if (rc) return HRESULT_FROM_WIN32(rc);
  if (!in) return S_OK;
  rc = ForEachGuidSubKey(in.get(), [&](const GUID& dataClass, HKEY key) -> LONG {
    if (data->inputs.size() >= kMaxEntries) return ERROR_SUCCESS;
    std::string bytes;
    if (LONG vrc = ReadOptional<WCHAR>(key, u"ReqSrc", &bytes)) return vrc;
    ProviderData::Input input{dataClass, {}};
    for (size_t at = 0; at + vkrt::kGuidBytes <= bytes.size(); at += vkrt::kGuidBytes)
      input.reqSrc.push_back(vkrt::DecodeGuid(reinterpret_cast<const BYTE*>(bytes.data()) + at));
    data->inputs.push_back(std::move(input));
    return ERROR_SUCCESS;
  });
  return HRESULT_FROM_WIN32(rc);
}

// Reading a block: out of memory is told with the Win32 code.
constexpr HRESULT kNoMemoryForBlock = HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);

template <typename Ch>
HRESULT GetInfo(const CLSID& clsid, typename Record<Ch>::Info** info) {
  ProviderData data;
  vkrt::ReadScope snapshot;  // joins the caller's when it has one
  if (HRESULT hr = ReadProvider<Ch>(clsid, &data); FAILED(hr)) return hr;
  snapshot.End();
  return LayOut<Ch>(data, info, nullptr, kNoMemoryForBlock);
}

// ---- registering ----------------------------------------------------------------------------
// Every pointer that registering or copying follows must be there before anything is
// written. Null inputs with a non-zero count mean no inputs.
template <typename Info>
bool RecordIsComplete(const Info& info) {
  if (!info.description) return false;
  if (info.outputCount && !info.outputs) return false;
  if (info.inputCount && info.inputs)
    for (WORD i = 0; i < info.inputCount; ++i) {
      const VKDATAPROVIDERINPUT& input = info.inputs[i];
      if (input.reqSrcCount && (!input.reqSrc || input.reqSrcCount > 0xFFFFFFFFu / vkrt::kGuidBytes)) return false;
    }
  return true;
}

template <typename Ch>
HRESULT Register(const typename Record<Ch>::Info& info) {
  WCHAR path[MAX_PATH];
  if (!vkrt::GuidPath(vkrt::kDataProvidersKey, info.clsid, path)) return E_INVALIDARG;
  RegKey provider, out;
  if (LONG rc = provider.Create(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS)) return HRESULT_FROM_WIN32(rc);
  if (LONG rc = vkrt::Text<Ch>::SetString(provider.get(), nullptr, info.description)) return HRESULT_FROM_WIN32(rc);
  if (LONG rc = out.Create(provider.get(), u"Out", KEY_ALL_ACCESS)) return HRESULT_FROM_WIN32(rc);
  WCHAR name[NX_GUID_STRING_CCH];
  for (WORD i = 0; i < info.outputCount; ++i) {
    StringFromGUID2(info.outputs[i].dataClass, name, NX_GUID_STRING_CCH);
    RegKey key;
    if (LONG rc = key.Create(out.get(), name, KEY_ALL_ACCESS)) return HRESULT_FROM_WIN32(rc);
    if (info.outputs[i].name)
      if (LONG rc = vkrt::Text<Ch>::SetString(key.get(), nullptr, info.outputs[i].name)) return HRESULT_FROM_WIN32(rc);
  }
  if (info.inputCount == 0 || !info.inputs) return S_OK;
  RegKey in;
  if (LONG rc = in.Create(provider.get(), u"In", KEY_ALL_ACCESS)) return HRESULT_FROM_WIN32(rc);
  for (WORD i = 0; i < info.inputCount; ++i) {
    const VKDATAPROVIDERINPUT& input = info.inputs[i];
    StringFromGUID2(input.dataClass, name, NX_GUID_STRING_CCH);
    RegKey key;
    if (LONG rc = key.Create(in.get(), name, KEY_ALL_ACCESS)) return HRESULT_FROM_WIN32(rc);
    if (input.reqSrcCount == 0) continue;
    std::vector<BYTE> bytes(input.reqSrcCount * vkrt::kGuidBytes);
    for (DWORD k = 0; k < input.reqSrcCount; ++k) vkrt::EncodeGuid(input.reqSrc[k], &bytes[k * vkrt::kGuidBytes]);
    if (LONG rc = RegSetValueExW(key.get(), u"ReqSrc", 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size())))
      return HRESULT_FROM_WIN32(rc);
  }
  return S_OK;
}

// ---- copying --------------------------------------------------------------------------------
template <typename Ch>
HRESULT Copy(const typename Record<Ch>::Info& source, typename Record<Ch>::Info** copy, DWORD* size) {
  auto bytesOf = [](const Ch* s) {
    return s ? std::string(reinterpret_cast<const char*>(s), (vkrt::Text<Ch>::Length(s) + 1) * sizeof(Ch))
             : std::string();
  };
  ProviderData data;
  data.clsid = source.clsid;
  data.description = bytesOf(source.description);
  for (WORD i = 0; i < source.outputCount; ++i)
    data.outputs.push_back({source.outputs[i].dataClass, bytesOf(source.outputs[i].name)});
  for (WORD i = 0; source.inputs && i < source.inputCount; ++i) {
    const VKDATAPROVIDERINPUT& input = source.inputs[i];
    data.inputs.push_back({input.dataClass, std::vector<GUID>(input.reqSrc, input.reqSrc + input.reqSrcCount)});
  }
  return LayOut<Ch>(data, copy, size, E_OUTOFMEMORY);
}

// ---- searching ------------------------------------------------------------------------------
template <typename Ch>
HRESULT EnumProviders(const GUID& dataClass, VKENUMDATAPROVIDERSPROC proc, LPVOID context) {
  using Info = typename Record<Ch>::Info;
  RegKey root;
  if (LONG rc = root.Open(HKEY_LOCAL_MACHINE, vkrt::kDataProvidersKey, KEY_READ)) return HRESULT_FROM_WIN32(rc);
  bool matched = false;
  WCHAR name[vkrt::kNameChars + 1];
  for (DWORD index = 0;; ++index) {
    // The provider's name and its whole registration are read in one snapshot.
    vkrt::ReadScope snapshot;
    LONG rc = vkrt::EnumSubKey(root.get(), index, name);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    CLSID clsid;
    if (!vkrt::ParseGuidName(name, &clsid)) continue;
    Info* info = nullptr;
    if (HRESULT hr = GetInfo<Ch>(clsid, &info); FAILED(hr)) return hr;
    snapshot.End();
    const bool match = std::any_of(info->outputs, info->outputs + info->outputCount, [&](const auto& output) {
      return dataClass == GUID_NULL || output.dataClass == dataClass;
    });
    if (!match) {
      vkrt::TaskFree(info);
      continue;
    }
    matched = true;
    const int answer = proc(info, context);
    if (answer != VKENUM_KEEPBLOCK) vkrt::TaskFree(info);
    if (answer == VKENUM_STOP) return S_FALSE;
  }
  return matched ? S_OK : S_FALSE;
}

HRESULT EnumProviderClass(const GUID& dataClass, BOOL output, VKENUMPROVIDERCLASSPROC proc, LPVOID context) {
  WCHAR relative[64];
  if (!vkrt::GuidPath(output ? u"Out" : u"In", dataClass, relative)) return E_INVALIDARG;
  RegKey root;
  if (LONG rc = root.Open(HKEY_LOCAL_MACHINE, vkrt::kDataProvidersKey, KEY_READ)) return HRESULT_FROM_WIN32(rc);
  WCHAR name[vkrt::kNameChars + 1];
  for (DWORD index = 0;; ++index) {
    vkrt::ReadScope snapshot;
    LONG rc = vkrt::EnumSubKey(root.get(), index, name);
    if (rc == ERROR_NO_MORE_ITEMS) return S_OK;
    if (rc == ERROR_MORE_DATA) continue;  // too long for a CLSID
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    RegKey provider, side;
    if (LONG orc = provider.Open(root.get(), name, KEY_READ)) return HRESULT_FROM_WIN32(orc);
    if (side.Open(provider.get(), relative, KEY_READ) != ERROR_SUCCESS) continue;
    CLSID clsid;
    if (HRESULT hr = CLSIDFromString(name, &clsid); FAILED(hr)) return hr;
    snapshot.End();
    if (!proc(&clsid, context)) return S_FALSE;
  }
}

}  // namespace

HRESULT vkRegisterDataProviderA(const VKDATAPROVIDERINFOA* info) {
  if (!info || !RecordIsComplete(*info)) return E_INVALIDARG;
  return vkrt::NoThrow(E_OUTOFMEMORY, [&] { return Register<char>(*info); });
}

HRESULT vkRegisterDataProviderW(const VKDATAPROVIDERINFOW* info) {
  if (!info || !RecordIsComplete(*info)) return E_INVALIDARG;
  return vkrt::NoThrow(E_OUTOFMEMORY, [&] { return Register<WCHAR>(*info); });
}

HRESULT vkUnregisterDataProvider(const CLSID* clsid) {
  if (!clsid) return E_INVALIDARG;
  return vkrt::RemoveGuidKey(vkrt::kDataProvidersKey, *clsid);
}

HRESULT vkGetDataProviderInfoA(const CLSID* clsid, VKDATAPROVIDERINFOA** info) {
  if (!clsid || !info) return E_INVALIDARG;
  *info = nullptr;
  return vkrt::NoThrow(kNoMemoryForBlock, [&] { return GetInfo<char>(*clsid, info); });
}

HRESULT vkGetDataProviderInfoW(const CLSID* clsid, VKDATAPROVIDERINFOW** info) {
  if (!clsid || !info) return E_INVALIDARG;
  *info = nullptr;
  return vkrt::NoThrow(kNoMemoryForBlock, [&] { return GetInfo<WCHAR>(*clsid, info); });
}

HRESULT vkCopyDataProviderInfoA(VKDATAPROVIDERINFOA** copy, const VKDATAPROVIDERINFOA* source, DWORD* size) {
  if (!copy || !source || !RecordIsComplete(*source)) return E_INVALIDARG;
  *copy = nullptr;
  return vkrt::NoThrow(E_OUTOFMEMORY, [&] { return Copy<char>(*source, copy, size); });
}

HRESULT vkCopyDataProviderInfoW(VKDATAPROVIDERINFOW** copy, const VKDATAPROVIDERINFOW* source, DWORD* size) {
  if (!copy || !source || !RecordIsComplete(*source)) return E_INVALIDARG;
  *copy = nullptr;
  return vkrt::NoThrow(E_OUTOFMEMORY, [&] { return Copy<WCHAR>(*source, copy, size); });
}

HRESULT vkEnumDataProvidersA(const GUID* dataClass, VKENUMDATAPROVIDERSPROC proc, LPVOID context) {
  if (!dataClass || !proc) return E_INVALIDARG;
  return vkrt::NoThrow(kNoMemoryForBlock, [&] { return EnumProviders<char>(*dataClass, proc, context); });
}

HRESULT vkEnumDataProvidersW(const GUID* dataClass, VKENUMDATAPROVIDERSPROC proc, LPVOID context) {
  if (!dataClass || !proc) return E_INVALIDARG;
  return vkrt::NoThrow(kNoMemoryForBlock, [&] { return EnumProviders<WCHAR>(*dataClass, proc, context); });
}

HRESULT vkEnumDataProviderClass(const GUID* dataClass, BOOL output, VKENUMPROVIDERCLASSPROC proc, LPVOID context) {
  if (!dataClass || !proc) return E_INVALIDARG;
  return EnumProviderClass(*dataClass, output, proc, context);
}
