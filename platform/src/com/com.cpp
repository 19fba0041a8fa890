// The COM task allocator (CoTaskMem*, CoGetMalloc) and in-process CoCreateInstance:
// the server library is named in the registry, loaded with dlopen and asked through
// its DllGetClassObject export.
#include "nxpal/com.h"

#include <dlfcn.h>
#include <link.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "nxpal/registry.h"
#include "nxpal/regvalue.h"
#include "nxpal/text.h"

namespace {

// ---- task allocator ----------------------------------------------------------------
// Each block is one malloc() allocation with a header in front that records the size
// asked for, so that IMalloc::GetSize answers exactly. The header keeps the caller's
// pointer aligned as malloc's own.
struct alignas(alignof(std::max_align_t)) BlockHeader {
  size_t size;
};
constexpr size_t kHeader = sizeof(BlockHeader);

BlockHeader* HeaderOf(void* pv) { return static_cast<BlockHeader*>(pv) - 1; }

void* TaskAlloc(size_t cb) {
  if (cb > SIZE_MAX - kHeader) return nullptr;
  auto* h = static_cast<BlockHeader*>(std::malloc(kHeader + cb));
  if (!h) return nullptr;
  h->size = cb;
  return h + 1;
}

void TaskFree(void* pv) {
  if (pv) std::free(HeaderOf(pv));
}

void* TaskRealloc(void* pv, size_t cb) {
  if (!pv) return TaskAlloc(cb);
  if (cb == 0) {
    TaskFree(pv);
    return nullptr;
  }
  if (cb > SIZE_MAX - kHeader) return nullptr;
  auto* h = static_cast<BlockHeader*>(std::realloc(HeaderOf(pv), kHeader + cb));
  if (!h) return nullptr;  // the old block is untouched
  h->size = cb;
  return h + 1;
}

size_t TaskSize(void* pv) { return pv ? HeaderOf(pv)->size : static_cast<size_t>(-1); }

// The one IMalloc of the process. It lives for ever: modules release it while they
// unload, possibly after this library's own static objects are gone, so it has no
// destructor to run and its count never frees anything.
class TaskMalloc final : public IMalloc {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IMalloc) {
      *ppv = static_cast<IMalloc*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // The count starts at 1 for the process's own reference and never falls below it.
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG n = refs_.load();
    while (n > 1 && !refs_.compare_exchange_weak(n, n - 1)) {
    }
    return n > 1 ? n - 1 : 1;
  }
  void* Alloc(SIZE_T cb) override { return TaskAlloc(cb); }
  void* Realloc(void* pv, SIZE_T cb) override { return TaskRealloc(pv, cb); }
  void Free(void* pv) override { TaskFree(pv); }
  // The size asked for; (SIZE_T)-1 for a null pointer, as on Windows.
  SIZE_T GetSize(void* pv) override { return TaskSize(pv); }
  // A foreign pointer cannot be recognised without reading memory before it, so the
  // answer is always "cannot tell".
  int DidAlloc(void*) override { return -1; }
  void HeapMinimize() override {}

 private:
  std::atomic<ULONG> refs_{1};
};

TaskMalloc& TheTaskMalloc() {
  static TaskMalloc* const instance = new TaskMalloc;  // never deleted, see above
  return *instance;
}

// ---- server libraries ---------------------------------------------------------------
// Loaded server libraries by path with their DllGetClassObject (null when the library
// loaded but lacks the export). Libraries are never unloaded: objects they made may
// live until the process ends. Guarded by mutex; the map itself is never destroyed, so
// creation keeps working while other modules run their static destructors.
struct ServerCache {
  std::mutex mutex;
  std::map<std::string, LPFNGETCLASSOBJECT> servers;
};

ServerCache& Servers() {
  static ServerCache* const cache = new ServerCache;
  return *cache;
}

// dlsym on a library handle also searches the libraries it depends on; a server
// without the export must not borrow one of a dependency's.
bool DefinedIn(void* handle, void* sym) {
  struct link_map* own = nullptr;
  struct link_map* found = nullptr;
  Dl_info info{};
  if (dlinfo(handle, RTLD_DI_LINKMAP, &own) != 0) return false;
  if (!dladdr1(sym, &info, reinterpret_cast<void**>(&found), RTLD_DL_LINKMAP)) return false;
  return own == found;
}

HRESULT LoadServer(const std::string& path, LPFNGETCLASSOBJECT* getClassObject) {
  ServerCache& cache = Servers();
  std::lock_guard<std::mutex> lock(cache.mutex);
  auto it = cache.servers.find(path);
  if (it == cache.servers.end()) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    void* sym = dlsym(handle, "DllGetClassObject");
    auto fn = sym && DefinedIn(handle, sym) ? reinterpret_cast<LPFNGETCLASSOBJECT>(sym) : nullptr;
    it = cache.servers.emplace(path, fn).first;
  }
  if (!it->second) return CO_E_ERRORINDLL;
  *getClassObject = it->second;
  return S_OK;
}

// Reads the server path of a class: REGDB_E_CLASSNOTREG when the key or a string
// default value is missing, REGDB_E_READREGDB when the registry fails otherwise.
HRESULT ServerPath(REFCLSID clsid, std::string* path) {
  WCHAR clsidText[NX_GUID_STRING_CCH];
  nx::FormatGuid(clsid, clsidText);
  std::u16string keyPath = u"Software\\Classes\\CLSID\\";
  keyPath += clsidText;
  keyPath += u"\\InprocServer32";

  auto failure = [](LSTATUS status) {
    return status == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND) || status == static_cast<LSTATUS>(ERROR_PATH_NOT_FOUND)
               ? REGDB_E_CLASSNOTREG
               : REGDB_E_READREGDB;
  };
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, &key);
  if (status != static_cast<LSTATUS>(ERROR_SUCCESS)) return failure(status);

  std::string bytes;
  DWORD type = 0;
  // The value can change between the size's read and the data's; bounded, see regvalue.h.
  status = nx::ReadSizedValue(MAX_PATH * sizeof(WCHAR), &bytes, [&](LPBYTE data, DWORD* cb) {
    return RegQueryValueExW(key, nullptr, nullptr, &type, data, cb);
  });
  RegCloseKey(key);
  if (status != static_cast<LSTATUS>(ERROR_SUCCESS)) return failure(status);
  if (type != REG_SZ && type != REG_EXPAND_SZ) return REGDB_E_CLASSNOTREG;
  std::u16string value(bytes.size() / sizeof(WCHAR), u'\0');
  std::memcpy(value.data(), bytes.data(), value.size() * sizeof(WCHAR));
  // Stored with or without its terminator.
  while (!value.empty() && value.back() == u'\0') value.pop_back();
  if (value.empty()) return REGDB_E_CLASSNOTREG;
  *path = nx::Utf16ToUtf8(value);
  return S_OK;
}

HRESULT CreateInstance(REFCLSID rclsid, LPUNKNOWN outer, DWORD clsctx, REFIID riid, LPVOID* ppv) {
  // Handlers (InprocHandler32) and out-of-process servers do not exist here.
  if ((clsctx & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  std::string path;
  HRESULT hr = ServerPath(rclsid, &path);
  if (FAILED(hr)) return hr;
  LPFNGETCLASSOBJECT getClassObject = nullptr;
  hr = LoadServer(path, &getClassObject);
  if (FAILED(hr)) return hr;

  IClassFactory* factory = nullptr;
  hr = getClassObject(rclsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  if (!factory) return CO_E_ERRORINDLL;  // success without an object: a broken server
  hr = factory->CreateInstance(outer, riid, ppv);
  factory->Release();
  if (FAILED(hr)) *ppv = nullptr;  // whatever the server left there is not ours
  return hr;
}

}  // namespace

LPVOID CoTaskMemAlloc(SIZE_T cb) { return TaskAlloc(cb); }
LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) { return TaskRealloc(pv, cb); }
void CoTaskMemFree(LPVOID pv) { TaskFree(pv); }

HRESULT CoGetMalloc(DWORD dwMemContext, LPMALLOC* ppMalloc) {
  if (dwMemContext != MEMCTX_TASK || !ppMalloc) {
    if (ppMalloc) *ppMalloc = nullptr;
    return E_INVALIDARG;
  }
  TaskMalloc& m = TheTaskMalloc();
  m.AddRef();
  *ppMalloc = &m;
  return S_OK;
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  return CreateInstance(rclsid, pUnkOuter, dwClsContext, riid, ppv);
}
