// The object behind a shared memory block handle, shared with the paged-file family,
// which hands the block's file to the service.
#pragma once

#include "nxpal/windows.h"

// Field order as the family's callers know it; all fields after tag are zero until the
// backing file is created.
struct VKSMBLOCK {
  GUID tag;  // kBlockTag while the block is live
  DWORD lockCount;  // outstanding locks; 0 = not mapped
  DWORD mappedSize;  // size argument of the lock that made the view (0 while unmapped)
  DWORD createError;  // Win32 error of construction; 0 = success
  LPVOID view;  // start of the mapped view, or null
  HANDLE mapping;  // file-mapping object of the view, or null
  HANDLE backingFile;  // the temporary file, or null
};

namespace vkrt {

inline constexpr GUID kBlockTag = nx::Guid("788B1650-6A19-4CF5-81BF-AAAAE6B27717");

// The live block behind a handle, or null.
VKSMBLOCK* FindBlock(HANDLE handle);

}  // namespace vkrt
