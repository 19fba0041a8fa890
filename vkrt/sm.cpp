// Shared memory blocks: a hidden, delete-on-close temporary file per block, mapped on
// the first lock and unmapped on the last unlock. A block belongs to one thread at a
// time (its callers' contract); the table of live blocks has its own lock.
#include <cstdio>
#include <new>
#include <string>

#include "livetable.h"
#include "smblock.h"
#include "vkrt/sm.h"

namespace vkrt {
namespace {

// Part of every block file's name, so that the files of this family are recognisable.
constexpr char kFilePrefix[] = "{CE653FE6-BE3D-4DC6-A7E8-A2E6B41DC5A4}";

LiveTable<VKSMBLOCK>& Blocks() {
  static auto* table = new LiveTable<VKSMBLOCK>();
  return *table;
}

// "<temp folder>{CE653FE6-...}_<process id>_<block address>.tmp", numbers in upper-case
// hexadecimal: the process id keeps processes apart, the address live blocks of one.
DWORD BackingFileName(const VKSMBLOCK* block, std::u16string* name) {
  WCHAR dir[MAX_PATH];
  DWORD len = GetTempPathW(MAX_PATH, dir);
  if (len == 0) return GetLastError();
  if (len >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  char tail[128];
  snprintf(tail, sizeof tail, "%s_%X_%llX.tmp", kFilePrefix, static_cast<unsigned>(GetCurrentProcessId()),
           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(block)));
  *name = std::u16string(dir, len);
  for (const char* p = tail; *p; ++p) *name += static_cast<char16_t>(*p);
  return ERROR_SUCCESS;
}

// Unmaps the view and closes its mapping; the block is unlocked afterwards.
void ReleaseView(VKSMBLOCK* b) {
  if (b->view) UnmapViewOfFile(b->view);
  if (b->mapping) CloseHandle(b->mapping);
  b->view = nullptr;
  b->mapping = nullptr;
  b->mappedSize = 0;
  b->lockCount = 0;
}

void Construct(VKSMBLOCK* b) {
  b->tag = kBlockTag;
  b->lockCount = b->mappedSize = b->createError = 0;
  b->view = nullptr;
  b->mapping = b->backingFile = nullptr;
  std::u16string name;
  DWORD err = BackingFileName(b, &name);
  if (err != ERROR_SUCCESS) {
    b->createError = err;
    return;
  }
  HANDLE f = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         CREATE_NEW,
                         FILE_FLAG_RANDOM_ACCESS | FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_TEMPORARY |
                             FILE_ATTRIBUTE_HIDDEN,
                         nullptr);
  if (f == INVALID_HANDLE_VALUE) b->createError = GetLastError();
  else b->backingFile = f;
}

void Destroy(VKSMBLOCK* b) {
  ReleaseView(b);
  if (b->backingFile) CloseHandle(b->backingFile);
  b->tag = GUID{};
  delete b;
}

DWORD Lock(VKSMBLOCK* b, DWORD size, LPVOID* view) {
  if (b->lockCount++ > 0) {
    *view = b->view;  // later locks share the first view; their size does not count
    return ERROR_SUCCESS;
  }
  DWORD err = ERROR_SUCCESS;
  b->mapping = CreateFileMappingW(b->backingFile, nullptr, PAGE_READWRITE | SEC_COMMIT, 0, size, nullptr);
  if (!b->mapping) err = GetLastError();
  if (err == ERROR_SUCCESS) {
    b->view = MapViewOfFile(b->mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (!b->view) err = GetLastError();
  }
  if (err != ERROR_SUCCESS) {
    ReleaseView(b);
    *view = nullptr;
    return err;
  }
  b->mappedSize = size;
  *view = b->view;
  return ERROR_SUCCESS;
}

}  // namespace

VKSMBLOCK* FindBlock(HANDLE handle) { return Blocks().Find(handle, kBlockTag); }

}  // namespace vkrt

using namespace vkrt;

DWORD vkSMCreate(HANDLE* block) {
  if (!block) return ERROR_INVALID_PARAMETER;
  auto* b = new (std::nothrow) VKSMBLOCK;
  if (!b) {
    *block = nullptr;
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  Construct(b);
  DWORD err = b->createError;
  if (err != ERROR_SUCCESS) {
    Destroy(b);
    *block = nullptr;
    return err;
  }
  Blocks().Add(b);
  *block = b;
  return ERROR_SUCCESS;
}

BOOL vkSMClose(HANDLE block) {
  VKSMBLOCK* b = FindBlock(block);
  if (!b || !Blocks().Remove(b)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Destroy(b);
  return TRUE;
}

DWORD vkSMLock(HANDLE block, DWORD size, LPVOID* view) {
  VKSMBLOCK* b = FindBlock(block);
  if (!b) return ERROR_INVALID_HANDLE;
  if (!view) return ERROR_INVALID_PARAMETER;
  return Lock(b, size, view);
}

int vkSMUnlock(HANDLE block) {
  VKSMBLOCK* b = FindBlock(block);
  if (!b) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  if (b->lockCount == 0) return 0;
  if (--b->lockCount == 0) ReleaseView(b);
  return static_cast<int>(b->lockCount);
}

DWORD vkSMGetSize(HANDLE block) {
  VKSMBLOCK* b = FindBlock(block);
  if (!b) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (b->mappedSize != 0) return b->mappedSize;
  return GetFileSize(b->backingFile, nullptr);
}
