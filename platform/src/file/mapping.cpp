// File mappings and their views: shared mmap of a regular file; the views are kept in a
// table of their own so that UnmapViewOfFile knows each view's length.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "file/fileobj.h"
#include "nxpal/file.h"

namespace nxpal {
namespace {

constexpr ULONGLONG kAllocationGranularity = 65536;

// The mapping keeps its own descriptor of the file (the handle's value).
class MappingObject : public KernelObject {
 public:
  MappingObject(int fd, ULONGLONG size, bool writable) : fd_(fd), size_(size), writable_(writable) {}
  ~MappingObject() override { close(fd_); }
  int Fd() const { return fd_; }
  ULONGLONG MapSize() const { return size_; }
  bool Writable() const { return writable_; }

 private:
  int fd_;
  ULONGLONG size_;
  bool writable_;
};

// Guards g_views: start address of each view -> its length.
std::mutex g_viewLock;
std::map<uintptr_t, size_t>& Views() {
  static auto* views = new std::map<uintptr_t, size_t>();
  return *views;
}

DWORD CreateMapping(HANDLE file, DWORD protect, ULONGLONG size, HANDLE* out) {
  auto f = FindHandleAs<FileObject>(file);
  if (!f || f->MappableFd() < 0) return ERROR_INVALID_HANDLE;
  const DWORD page = protect & 0xFF;
  if ((page != PAGE_READONLY && page != PAGE_READWRITE) || (protect & ~(0xFFu | SEC_COMMIT)) != 0)
    return ERROR_INVALID_PARAMETER;
  const bool writable = page == PAGE_READWRITE;
  if (writable && !f->CanWrite()) return ERROR_ACCESS_DENIED;
  struct stat st{};
  if (fstat(f->MappableFd(), &st) != 0) return Win32FromErrno(errno);
  const ULONGLONG length = static_cast<ULONGLONG>(st.st_size);
  if (size == 0) {
    if (length == 0) return ERROR_FILE_INVALID;
    size = length;
  } else if (size > length) {
    if (!writable) return ERROR_NOT_ENOUGH_MEMORY;
    if (ftruncate(f->MappableFd(), static_cast<off_t>(size)) != 0) return Win32FromErrno(errno);
  }
  int fd = RaiseDescriptor(fcntl(f->MappableFd(), F_DUPFD_CLOEXEC, 3));
  if (fd < 0) return Win32FromErrno(errno);
  *out = InsertHandle(fd, std::make_shared<MappingObject>(fd, size, writable));
  return ERROR_SUCCESS;
}

DWORD MapView(HANDLE mapping, DWORD access, ULONGLONG offset, SIZE_T bytes, void** out) {
  auto m = FindHandleAs<MappingObject>(mapping);
  if (!m) return ERROR_INVALID_HANDLE;
  if (offset % kAllocationGranularity != 0) return ERROR_MAPPED_ALIGNMENT;
  const bool write = (access & FILE_MAP_WRITE) != 0;
  if (write && !m->Writable()) return ERROR_ACCESS_DENIED;
  if (offset > m->MapSize()) return ERROR_ACCESS_DENIED;
  if (bytes == 0) bytes = static_cast<SIZE_T>(m->MapSize() - offset);
  if (bytes == 0 || bytes > m->MapSize() - offset) return ERROR_ACCESS_DENIED;
  void* p = mmap(nullptr, bytes, PROT_READ | (write ? PROT_WRITE : 0), MAP_SHARED, m->Fd(), static_cast<off_t>(offset));
  if (p == MAP_FAILED) return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : Win32FromErrno(errno);
  std::lock_guard<std::mutex> g(g_viewLock);
  Views()[reinterpret_cast<uintptr_t>(p)] = bytes;
  *out = p;
  return ERROR_SUCCESS;
}

}  // namespace
}  // namespace nxpal

using namespace nxpal;

HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect, DWORD maxSizeHigh, DWORD maxSizeLow,
                          LPCWSTR name) {
  HANDLE h = nullptr;
  DWORD err = name ? ERROR_NOT_SUPPORTED
                   : CreateMapping(file, protect, (static_cast<ULONGLONG>(maxSizeHigh) << 32) | maxSizeLow, &h);
  SetLastError(err);
  return err == ERROR_SUCCESS ? h : nullptr;
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes) {
  void* p = nullptr;
  DWORD err = MapView(mapping, access, (static_cast<ULONGLONG>(offsetHigh) << 32) | offsetLow, bytes, &p);
  SetLastError(err);
  return err == ERROR_SUCCESS ? p : nullptr;
}

BOOL UnmapViewOfFile(LPCVOID address) {
  size_t length = 0;
  {
    std::lock_guard<std::mutex> g(g_viewLock);
    auto it = Views().find(reinterpret_cast<uintptr_t>(address));
    if (it == Views().end()) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    length = it->second;
    Views().erase(it);
  }
  munmap(const_cast<void*>(address), length);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
