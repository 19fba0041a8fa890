// Shared memory blocks: byte buffers kept in a hidden temporary file of their own and
// mapped into memory on demand, so that another process holding the file (the paged-file
// service) reads and writes the same bytes with file I/O. A handle is the block's address.
#pragma once

#include "vkrt/base.h"

// The object behind a block handle (the handle is its address), allocated by vkSMCreate.
// Field order as the family's callers know it: a caller holding a block reaches its file
// through backingFile (the paged-file service gets that file by its handle's value). All
// fields after tag are zero until the backing file is created.
typedef struct VKSMBLOCK VKSMBLOCK;
struct VKSMBLOCK {
  GUID tag;  // {788B1650-6A19-4CF5-81BF-AAAAE6B27717} while the block is live
  DWORD lockCount;  // outstanding locks; 0 = not mapped
  DWORD mappedSize;  // size argument of the lock that made the view (0 while unmapped)
  DWORD createError;  // Win32 error of construction; 0 = success
  LPVOID view;  // start of the mapped view, or null
  HANDLE mapping;  // file-mapping object of the view, or null
  HANDLE backingFile;  // the temporary file, or null
};

// Creates an empty block. 0 with the handle stored; ERROR_INVALID_PARAMETER (87) for a
// null out pointer (nothing stored); ERROR_NOT_ENOUGH_MEMORY (8) when the block cannot be
// allocated; otherwise the error of creating the backing file (null stored). The thread's
// last error is not set.
VKRT_API DWORD vkSMCreate(HANDLE* block);
// Unmaps the block if it is locked, closes its file (deleted once no other process holds
// it) and frees it. FALSE with last error ERROR_INVALID_HANDLE (6) for a handle that is
// not a live block.
VKRT_API BOOL vkSMClose(HANDLE block);
// Maps the block. The first lock maps `size` bytes (0: the file's current length; more
// than the file extends it with zeros) and later locks return the same view whatever
// their size. 0 with the view stored; ERROR_INVALID_HANDLE (6) for an invalid handle or
// ERROR_INVALID_PARAMETER (87) for a null out pointer without storing and without setting
// the last error; otherwise the system error, with null stored and the block left
// unlocked (an empty block locked with size 0: ERROR_FILE_INVALID (1006)).
VKRT_API DWORD vkSMLock(HANDLE block, DWORD size, LPVOID* view);
// Ends one lock; the last one unmaps the view. Returns the remaining count (0 when the
// block was not locked); -1 with last error ERROR_INVALID_HANDLE (6) for an invalid handle.
VKRT_API int vkSMUnlock(HANDLE block);
// The size of the current view when it was mapped with a size, else the file's length
// (low 32 bits). 0 with last error ERROR_INVALID_HANDLE (6) for an invalid handle.
VKRT_API DWORD vkSMGetSize(HANDLE block);
