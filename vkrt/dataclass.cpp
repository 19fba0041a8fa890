// Data classes: the six built-in classes (names and icons among vkrt's resources), the
// cache of data class handlers that describe every other class, the removal of a
// handler's registrations, and the edited data set allocator.
#include <new>
#include <vector>

#include "regkeys.h"
#include "vkrt/dataclass.h"

namespace {

// ---- built-in classes -------------------------------------------------------------------
// Row r has its name in string 256 + r and its icon in icon 128 + r of vkrt's module.
struct BuiltInClass {
  GUID dataClass;
  DWORD attributes;
  GUID guidA;
  GUID guidB;
};
constexpr GUID kStoredDocument = nx::Guid("CFC9142F-6F66-4BE1-BB4C-F9EB77950D24");
constexpr BuiltInClass kBuiltIn[] = {
    {VKDC_PATIENT_INFO, 0x7E, GUID_NULL, kStoredDocument},
    {VKDC_REPORT, 0x407F, GUID_NULL, GUID_NULL},
    {VKDC_STUDY_STATISTICS, 0x287E, GUID_NULL, kStoredDocument},
    {VKDC_SESSION_PARAMETERS, 0x17E, GUID_NULL, kStoredDocument},
    {VKDC_RECORDER_EVENTS, 0x404, GUID_NULL, nx::Guid("CFC9142D-6F66-4BE1-BB4C-F9EB77950D24")},
    {VKDC_STUDY_EVENTS, 0x401, GUID_NULL, nx::Guid("CFC9142C-6F66-4BE1-BB4C-F9EB77950D24")},
};
constexpr UINT kFirstNameId = 256;
constexpr WORD kFirstIconId = 128;
// Built-in names are loaded into a buffer of this many characters (63 and a terminator).
constexpr DWORD kBuiltInNameChars = 64;

const BuiltInClass* FindBuiltIn(const GUID& dataClass) {
  for (const auto& row : kBuiltIn)
    if (row.dataClass == dataClass) return &row;
  return nullptr;
}

// The last error of a failed load as HRESULT; a failure without a code still fails.
HRESULT LastErrorResult() {
  DWORD code = GetLastError();
  return code ? HRESULT_FROM_WIN32(code) : E_FAIL;
}

HICON LoadClassIcon(HMODULE module, WORD id, INT size) {
  return static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

template <typename Info>
HRESULT FillBuiltIn(const BuiltInClass& row, Info* info) {
  using Ch = std::remove_pointer_t<decltype(info->name)>;
  const auto index = static_cast<UINT>(&row - kBuiltIn);
  HMODULE module = vkrt::Module();
  if (info->mask & VKDCI_NAME) {
    if (!vkrt::LoadResourceString<Ch>(module, kFirstNameId + index, kBuiltInNameChars, &info->name, &info->nameLength))
      return E_OUTOFMEMORY;
  }
  if (info->mask & VKDCI_ATTRIBUTES) info->attributes = row.attributes;
  if (info->mask & VKDCI_ICON) {
    info->icon = LoadClassIcon(module, static_cast<WORD>(kFirstIconId + index), info->iconSize);
    if (!info->icon) return LastErrorResult();
  }
  if (info->mask & VKDCI_GUIDA) info->guidA = row.guidA;
  if (info->mask & VKDCI_GUIDB) info->guidB = row.guidB;
  if (info->mask & VKDCI_DESCRIPTION) {
    info->description = nullptr;
    info->descriptionLength = 0;
  }
  return S_OK;
}

// ---- the handler cache --------------------------------------------------------------------
// One record per handler CLSID, most recently used first. The list and every record
// are guarded by vkrt's module lock (CacheLock); records unlink themselves.
struct VKCLASSHANDLERRECORD {
  CLSID clsid;
  HRESULT hrCreate;  // result of the handler's creation
  IDataClassHandler* handler;  // one reference, released with the record
  VKCLASSHANDLERRECORD* prev;
  VKCLASSHANDLERRECORD* next;
  VKCLASSHANDLERRECORD** head;  // the list the record is on; null when on none

  void LinkFront(VKCLASSHANDLERRECORD** list) {
    head = list;
    prev = nullptr;
    next = *list;
    if (next) next->prev = this;
    *list = this;
  }
  void Unlink() {
    if (!head) return;
    if (prev) prev->next = next;
    else *head = next;
    if (next) next->prev = prev;
    prev = next = nullptr;
    head = nullptr;
  }
  void MoveToFront() {
    VKCLASSHANDLERRECORD** list = head;
    if (!list || *list == this) return;
    Unlink();
    LinkFront(list);
  }
  // Unlinks the record, releases the handler and deletes the record. Unlinked first,
  // so a handler whose release calls back into vkrt finds the list consistent.
  static void Delete(VKCLASSHANDLERRECORD* record) {
    record->Unlink();
    if (record->handler) record->handler->Release();
    delete record;
  }
};

VKCLASSHANDLERRECORD* g_cache = nullptr;  // guarded by vkrt::ModuleLock()

// Holds vkrt's module lock for a scope, entered through the diagnostic enter function.
class CacheLock {
 public:
  CacheLock() { nxDebugCriticalSectionDeadLock(vkrt::ModuleLock()); }
  ~CacheLock() { LeaveCriticalSection(vkrt::ModuleLock()); }
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;
};

VKCLASSHANDLERRECORD* FindRecord(const CLSID& clsid) {
  for (auto* r = g_cache; r; r = r->next)
    if (r->clsid == clsid) return r;
  return nullptr;
}

void EmptyCache() {
  while (g_cache) VKCLASSHANDLERRECORD::Delete(g_cache);
}

// At unload the cache goes without the lock: no other thread can be inside vkrt then.
[[maybe_unused]] const bool g_unloadHook = (vkrt::AddUnloadHook(&EmptyCache), true);

// Offers the class to the cached handlers from the front; the first that describes it
// moves to the front. S_OK with the request filled, or S_FALSE. A handler that fails
// counts as not knowing the class, so the answer never depends on which unrelated
// handlers happen to be cached and in which order. Call with CacheLock held.
//
// The walk goes over a counted snapshot of the handlers: a handler that calls back
// into vkrt on this thread (the lock is recursive) may reorder or empty the cache
// without pulling a record from under the walk.
HRESULT AskCachedHandlers(const GUID& dataClass, VKDATACLASSREQUEST* request) {
  if (!g_cache) return S_FALSE;
  std::vector<IDataClassHandler*> handlers;
  size_t records = 0;
  for (auto* r = g_cache; r; r = r->next) ++records;
  handlers.reserve(records);  // may throw: before any reference is taken
  for (auto* r = g_cache; r; r = r->next)
    if (r->handler) {
      r->handler->AddRef();
      handlers.push_back(r->handler);
    }
  IDataClassHandler* describer = nullptr;
  for (IDataClassHandler* h : handlers) {
    *request = VKDATACLASSREQUEST{};
    request->cbSize = sizeof(VKDATACLASSREQUEST);
    request->dataClass = &dataClass;
    if (h->DescribeClass(request) == S_OK) {
      describer = h;
      break;
    }
  }
  if (describer)
    for (auto* r = g_cache; r; r = r->next)
      if (r->handler == describer) {
        r->MoveToFront();
        break;
      }
  for (IDataClassHandler* h : handlers) h->Release();
  return describer ? S_OK : S_FALSE;
}

// Fills the record from a handler's answer, in the order attributes, icon, name,
// GUIDs, description, stopping at the first failure. Call with CacheLock held.
template <typename Info>
HRESULT FillFromRequest(const VKDATACLASSREQUEST& request, Info* info) {
  using Ch = std::remove_pointer_t<decltype(info->name)>;
  if (info->mask & VKDCI_ATTRIBUTES) info->attributes = request.attributes;
  if (info->mask & VKDCI_ICON) {
    info->icon = LoadClassIcon(request.module, request.iconId, info->iconSize);
    if (!info->icon) return LastErrorResult();
  }
  if (info->mask & VKDCI_NAME) {
    if (!vkrt::LoadResourceString<Ch>(request.module, request.nameId, request.nameLength, &info->name,
                                      &info->nameLength))
      return E_OUTOFMEMORY;
  }
  if (info->mask & VKDCI_GUIDA) info->guidA = request.guidA ? *request.guidA : GUID_NULL;
  if (info->mask & VKDCI_GUIDB) info->guidB = request.guidB ? *request.guidB : GUID_NULL;
  if (info->mask & VKDCI_DESCRIPTION) {
    info->description = nullptr;
    info->descriptionLength = 0;
    if (request.descriptionId != 0 &&
        !vkrt::LoadResourceString<Ch>(request.module, request.descriptionId, request.descriptionLength,
                                      &info->description, &info->descriptionLength))
      return E_OUTOFMEMORY;
  }
  return S_OK;
}

// Creates (or moves to the front) a cache record for every handler registered under
// HKLM\Software\Veltrak\DataTypeHandlers\{dataClass}.
HRESULT LoadHandlers(const GUID& dataClass) {
  WCHAR path[256];
  if (!vkrt::GuidPath(vkrt::kDataTypeHandlersKey, dataClass, path)) return E_INVALIDARG;
  vkrt::RegKey key;
  if (LONG rc = key.Open(HKEY_LOCAL_MACHINE, path, KEY_READ)) return HRESULT_FROM_WIN32(rc);
  DWORD values = 0;
  if (LONG rc = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                                 nullptr, nullptr, nullptr))
    return HRESULT_FROM_WIN32(rc);
  for (DWORD i = 0; i < values; ++i) {
    WCHAR name[vkrt::kNameChars + 1];
    DWORD cch = vkrt::kNameChars + 1;
    LONG rc = RegEnumValueW(key.get(), i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;  // values removed meanwhile
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    CLSID clsid;
    if (HRESULT hr = CLSIDFromString(name, &clsid); FAILED(hr)) return hr;

    CacheLock lock;
    if (VKCLASSHANDLERRECORD* known = FindRecord(clsid)) {
      known->MoveToFront();
      continue;
    }
    auto* record = new (std::nothrow) VKCLASSHANDLERRECORD{clsid, S_OK, nullptr, nullptr, nullptr, nullptr};
    if (!record) return E_OUTOFMEMORY;
    void* handler = nullptr;
    record->hrCreate = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                        IID_IDataClassHandler, &handler);
    if (FAILED(record->hrCreate)) {
      HRESULT hr = record->hrCreate;
      VKCLASSHANDLERRECORD::Delete(record);
      return hr;
    }
    // The creation may have run handler code that cached the same CLSID meanwhile.
    if (VKCLASSHANDLERRECORD* known = FindRecord(clsid)) {
      static_cast<IDataClassHandler*>(handler)->Release();
      delete record;
      known->MoveToFront();
      continue;
    }
    record->handler = static_cast<IDataClassHandler*>(handler);
    record->LinkFront(&g_cache);
  }
  return S_OK;
}

// A class that no handler describes even after its registered handlers were loaded
// once: reported as not found (the search is bounded to one load per call).
constexpr HRESULT kClassNotDescribed = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

// The lock is held from the first walk through the load to the second walk, so that a
// vkFreeDataClassHandlers on another thread cannot empty the cache between the load
// and its use and make a registered class look unknown.
template <typename Info>
HRESULT GetClassInfo(const GUID& dataClass, Info* info) {
  if (const BuiltInClass* row = FindBuiltIn(dataClass)) return FillBuiltIn(*row, info);
  CacheLock lock;
  VKDATACLASSREQUEST request{};
  if (AskCachedHandlers(dataClass, &request) == S_OK) return FillFromRequest(request, info);
  if (HRESULT hr = LoadHandlers(dataClass); FAILED(hr)) return hr;
  if (AskCachedHandlers(dataClass, &request) == S_OK) return FillFromRequest(request, info);
  return kClassNotDescribed;
}

// ---- removing a handler's registrations -------------------------------------------------
LONG CleanupHandlerRecords(const CLSID& handler) {
  vkrt::RegKey root;
  if (LONG rc = root.Open(HKEY_LOCAL_MACHINE, vkrt::kDataTypeHandlersKey, KEY_ALL_ACCESS)) return rc;
  WCHAR value[NX_GUID_STRING_CCH];
  StringFromGUID2(handler, value, NX_GUID_STRING_CCH);
  WCHAR name[vkrt::kNameChars + 1];
  for (DWORD index = 0;;) {
    LONG rc = vkrt::EnumSubKey(root.get(), index, name);
    if (rc == ERROR_MORE_DATA) {  // not a class key: its name is too long for a GUID
      ++index;
      continue;
    }
    if (rc != ERROR_SUCCESS) break;
    vkrt::RegKey classKey;
    if (classKey.Open(root.get(), name, KEY_ALL_ACCESS) != ERROR_SUCCESS || RegDeleteValueW(classKey.get(), value)) {
      ++index;
      continue;
    }
    DWORD left = 0;
    if (RegQueryInfoKeyW(classKey.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &left, nullptr,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
        left != 0) {
      ++index;
      continue;
    }
    classKey.Close();
    // Deleted: the following keys move up to this index. (A key that cannot be
    // deleted no longer holds the value, so the next round moves past it.)
    RegDeleteKeyW(root.get(), name);
  }
  DWORD classes = 0;
  LONG rc = RegQueryInfoKeyW(root.get(), nullptr, nullptr, nullptr, &classes, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr);
  root.Close();
  if (rc == ERROR_SUCCESS && classes == 0) rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, vkrt::kDataTypeHandlersKey);
  return rc;
}

}  // namespace

HRESULT vkGetDataClassInfoA(const GUID* dataClass, VKDATACLASSINFOA* info) {
  if (!dataClass || !info) return E_INVALIDARG;
  return vkrt::NoThrow(E_OUTOFMEMORY, [&] { return GetClassInfo(*dataClass, info); });
}

HRESULT vkGetDataClassInfoW(const GUID* dataClass, VKDATACLASSINFOW* info) {
  if (!dataClass || !info) return E_INVALIDARG;
  return vkrt::NoThrow(E_OUTOFMEMORY, [&] { return GetClassInfo(*dataClass, info); });
}

void vkFreeDataClassHandlers() {
  CacheLock lock;
  EmptyCache();
}

LONG vkCleanupDataClassHandlerRecords(const CLSID* handler) {
  if (!handler) return ERROR_INVALID_PARAMETER;
  return CleanupHandlerRecords(*handler);
}

HRESULT vkAllocEditedDataSet(VKEDITEDDATASET** set, DWORD count, DWORD reserved) {
  if (!set || reserved != 0 || count > 0xFFFF) return E_INVALIDARG;
  const size_t size = sizeof(VKEDITEDDATASET) + static_cast<size_t>(count) * sizeof(VKEDITEDDATASETENTRY);
  auto* block = static_cast<VKEDITEDDATASET*>(vkrt::TaskAlloc(size));
  *set = block;
  if (!block) return E_OUTOFMEMORY;
  std::memset(static_cast<void*>(block), 0, size);
  if (count) {
    block->count = static_cast<WORD>(count);
    block->entries = reinterpret_cast<VKEDITEDDATASETENTRY*>(block + 1);
  }
  return S_OK;
}
