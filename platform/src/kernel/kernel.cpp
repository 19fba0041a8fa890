// The table of live kernel handles, and Win32 codes for errno values.
#include "kernel/kernel.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <mutex>
#include <unordered_map>

#include "nxpal/errors.h"

namespace nxpal {
namespace {

// Guards the map; never held while waiting or calling into an object.
std::mutex g_tableLock;
std::unordered_map<int, std::shared_ptr<KernelObject>>& Table() {
  static auto* table = new std::unordered_map<int, std::shared_ptr<KernelObject>>();
  return *table;
}

}  // namespace

int RaiseDescriptor(int fd) {
  if (fd < 0 || fd >= 3) return fd;
  int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int saved = errno;
  close(fd);
  errno = saved;
  return high;
}

HANDLE InsertHandle(int fd, std::shared_ptr<KernelObject> obj) {
  std::lock_guard<std::mutex> g(g_tableLock);
  Table()[fd] = std::move(obj);
  return FdToHandle(fd);
}

std::shared_ptr<KernelObject> FindHandle(HANDLE h) {
  intptr_t v = reinterpret_cast<intptr_t>(h);
  if (v <= 0 || v > INT32_MAX) return nullptr;
  std::lock_guard<std::mutex> g(g_tableLock);
  auto it = Table().find(static_cast<int>(v));
  return it == Table().end() ? nullptr : it->second;
}

bool RemoveHandle(HANDLE h) {
  intptr_t v = reinterpret_cast<intptr_t>(h);
  if (v <= 0 || v > INT32_MAX) return false;
  std::shared_ptr<KernelObject> victim;  // destroyed after the table lock is left
  std::lock_guard<std::mutex> g(g_tableLock);
  auto it = Table().find(static_cast<int>(v));
  if (it == Table().end()) return false;
  victim = std::move(it->second);
  Table().erase(it);
  return true;
}

DWORD Win32FromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC: return ERROR_DISK_FULL;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EBUSY: return ERROR_BUSY;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EIO: return ERROR_GEN_FAILURE;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENXIO:
    case ENODEV: return ERROR_DEV_NOT_EXIST;
    case ECONNREFUSED: return ERROR_PIPE_BUSY;
    case ENOTSUP: return ERROR_NOT_SUPPORTED;
    case ENOMEDIUM: return ERROR_NOT_READY;
    case EFBIG: return ERROR_DISK_FULL;
    case ESRCH: return ERROR_INVALID_HANDLE;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace nxpal
