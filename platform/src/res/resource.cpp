// Module handles (load addresses found with dladdr), the table of registered module
// resources, and string loading (LoadStringW/A).
#include <dlfcn.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "nxpal/resource.h"
#include "nxpal/text.h"
#include "res/resource_table.h"

namespace nxpal {

namespace {

// Registered modules. Never destroyed: modules unregister from their static
// destructors, which may run after this library's own. Guarded by ModulesLock().
std::map<HMODULE, const NxModuleResources*>& Modules() {
  static auto* const modules = new std::map<HMODULE, const NxModuleResources*>;
  return *modules;
}

}  // namespace

std::shared_mutex& ModulesLock() {
  static auto* const lock = new std::shared_mutex;
  return *lock;
}

const NxModuleResources* FindModuleLocked(HMODULE module) {
  auto it = Modules().find(module);
  return it == Modules().end() ? nullptr : it->second;
}

HMODULE ProgramModule() {
  // The program headers of the main program lie inside its first loaded segment.
  static const HMODULE program = [] {
    Dl_info info{};
    for (unsigned long what : {AT_PHDR, AT_ENTRY}) {
      auto addr = reinterpret_cast<const void*>(getauxval(what));
      if (addr && dladdr(addr, &info) && info.dli_fbase) return static_cast<HMODULE>(info.dli_fbase);
    }
    return static_cast<HMODULE>(nullptr);
  }();
  return program;
}

}  // namespace nxpal

namespace {

using nxpal::FindModuleLocked;
using nxpal::ModulesLock;

HMODULE ModuleFromAddress(const void* addr) {
  Dl_info info{};
  if (!dladdr(addr, &info) || !info.dli_fbase) return nullptr;
  return static_cast<HMODULE>(info.dli_fbase);
}

struct NameSearch {
  std::string name;
  std::string programPath;
  HMODULE found = nullptr;
};

// True when `asked` names the module file at `path`: the whole path, the file name, or
// for a versioned library (libvkrt.so.1.0.0) the link name programs know it by
// (libvkrt.so), with or without the folder.
bool NamesModule(const std::string& asked, const std::string& path) {
  if (asked == path) return true;
  const size_t askedCut = asked.rfind('/') + 1;  // 0 without a folder
  const size_t pathCut = path.rfind('/') + 1;
  if (askedCut != 0 && asked.compare(0, askedCut, path, 0, pathCut) != 0) return false;  // another folder
  const std::string_view name = std::string_view(asked).substr(askedCut);
  const std::string_view base = std::string_view(path).substr(pathCut);
  if (name == base) return true;
  if (!name.ends_with(".so") || !base.starts_with(name)) return false;
  // What follows the link name is a version: ".N", ".N.N", ...
  std::string_view rest = base.substr(name.size());
  if (rest.empty()) return false;
  while (!rest.empty()) {
    if (rest.front() != '.') return false;
    rest.remove_prefix(1);
    size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
    if (digits == 0) return false;
    rest.remove_prefix(digits);
  }
  return true;
}

int MatchModule(struct dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<NameSearch*>(data);
  // The program itself is listed with an empty name.
  std::string path = info->dlpi_name && *info->dlpi_name ? info->dlpi_name : search->programPath;
  if (path.empty()) return 0;
  if (!NamesModule(search->name, path)) return 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type != PT_LOAD) continue;
    search->found = ModuleFromAddress(reinterpret_cast<const void*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr));
    return 1;
  }
  return 0;
}

DWORD ModuleByName(LPCWSTR name, HMODULE* out) {
  NameSearch search;
  search.name = nx::Utf16ToUtf8(name);
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n > 0) search.programPath.assign(exe, static_cast<size_t>(n));
  dl_iterate_phdr(MatchModule, &search);
  *out = search.found;
  return search.found ? ERROR_SUCCESS : ERROR_MOD_NOT_FOUND;
}

DWORD ModuleHandle(DWORD flags, LPCWSTR name, HMODULE* out) {
  if (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
    *out = ModuleFromAddress(name);
    return *out ? ERROR_SUCCESS : ERROR_MOD_NOT_FOUND;
  }
  if (!name) {
    *out = nxpal::ProgramModule();
    return *out ? ERROR_SUCCESS : ERROR_MOD_NOT_FOUND;
  }
  return ModuleByName(name, out);
}

// Checks what the platform layer relies on when it searches the tables.
bool WellFormed(const NxModuleResources* r) {
  if (r->version != NX_MODULE_RESOURCES_VERSION) return false;
  if ((r->stringCount && !r->strings) || (r->imageCount && !r->images)) return false;
  for (UINT i = 0; i < r->stringCount; ++i) {
    if (!r->strings[i].text || (i > 0 && r->strings[i - 1].id >= r->strings[i].id)) return false;
  }
  for (UINT i = 0; i < r->imageCount; ++i) {
    const NxIconImageResource& img = r->images[i];
    if (!img.png || !img.width || !img.height || (i > 0 && r->images[i - 1].id > img.id)) return false;
  }
  return true;
}

DWORD Register(HMODULE module, const NxModuleResources* resources) {
  std::unique_lock lock(ModulesLock());
  auto [it, inserted] = nxpal::Modules().emplace(module, resources);
  return inserted ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS;
}

DWORD Unregister(HMODULE module, const NxModuleResources* resources) {
  std::unique_lock lock(ModulesLock());
  auto it = nxpal::Modules().find(module);
  if (it == nxpal::Modules().end() || it->second != resources) return ERROR_RESOURCE_DATA_NOT_FOUND;
  nxpal::DropSharedIconsLocked(module);
  nxpal::Modules().erase(it);
  return ERROR_SUCCESS;
}

// Finds string id of a module and hands it to use() while the module's tables are
// guaranteed to stay; returns the error code of the search.
template <typename Use>
DWORD WithString(HINSTANCE hInstance, UINT id, Use use) {
  HMODULE module = hInstance ? hInstance : nxpal::ProgramModule();
  std::shared_lock lock(ModulesLock());
  const NxModuleResources* r = FindModuleLocked(module);
  if (!r) return ERROR_RESOURCE_DATA_NOT_FOUND;
  if (r->stringCount == 0) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  const NxStringResource* end = r->strings + r->stringCount;
  const NxStringResource* s =
      std::lower_bound(r->strings, end, id, [](const NxStringResource& e, UINT v) { return e.id < v; });
  if (s == end || s->id != id) return ERROR_RESOURCE_NAME_NOT_FOUND;
  use(*s);
  return ERROR_SUCCESS;
}

DWORD LoadStringWide(HINSTANCE hInstance, UINT id, LPWSTR buffer, int cchBufferMax, int* copied) {
  return WithString(hInstance, id, [&](const NxStringResource& s) {
    if (cchBufferMax == 0) {
      const WCHAR* text = s.text;
      std::memcpy(buffer, &text, sizeof(text));  // the caller passed a pointer's room
      *copied = static_cast<int>(s.length);
      return;
    }
    size_t n = std::min<size_t>(s.length, static_cast<size_t>(cchBufferMax) - 1);
    std::memcpy(buffer, s.text, n * sizeof(WCHAR));
    buffer[n] = 0;
    *copied = static_cast<int>(n);
  });
}

DWORD LoadStringNarrow(HINSTANCE hInstance, UINT id, LPSTR buffer, int cchBufferMax, int* copied) {
  std::u16string text;
  DWORD err = WithString(hInstance, id, [&](const NxStringResource& s) { text.assign(s.text, s.length); });
  if (err != ERROR_SUCCESS) return err;
  std::string utf8 = nx::Utf16ToUtf8(text);
  size_t n = std::min<size_t>(utf8.size(), static_cast<size_t>(cchBufferMax) - 1);
  // Back up to the start of a character cut in half.
  if (n < utf8.size())
    while (n > 0 && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) --n;
  std::memcpy(buffer, utf8.data(), n);
  buffer[n] = 0;
  *copied = static_cast<int>(n);
  return ERROR_SUCCESS;
}

}  // namespace

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
  HMODULE module = nullptr;
  DWORD err = ModuleHandle(0, lpModuleName, &module);
  if (err != ERROR_SUCCESS) SetLastError(err);
  return module;
}

BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
  constexpr DWORD kKnown = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                           GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
  constexpr DWORD kRefFlags = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  if (phModule) *phModule = nullptr;
  if (!phModule || (dwFlags & ~kKnown) || (dwFlags & kRefFlags) == kRefFlags) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD err = ModuleHandle(dwFlags, lpModuleName, phModule);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return FALSE;
  }
  return TRUE;
}

int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
  if (!lpBuffer || cchBufferMax < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  int copied = 0;
  DWORD err = LoadStringWide(hInstance, uID, lpBuffer, cchBufferMax, &copied);
  if (err != ERROR_SUCCESS) SetLastError(err);
  return copied;
}

int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
  if (!lpBuffer || cchBufferMax <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  int copied = 0;
  DWORD err = LoadStringNarrow(hInstance, uID, lpBuffer, cchBufferMax, &copied);
  if (err != ERROR_SUCCESS) SetLastError(err);
  return copied;
}

BOOL NxRegisterModuleResources(HMODULE module, const NxModuleResources* resources) {
  if (!module || !resources || !WellFormed(resources)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD err = Register(module, resources);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return FALSE;
  }
  return TRUE;
}

BOOL NxUnregisterModuleResources(HMODULE module, const NxModuleResources* resources) {
  DWORD err = Unregister(module, resources);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return FALSE;
  }
  return TRUE;
}
