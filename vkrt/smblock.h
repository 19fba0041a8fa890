// The library's side of a shared memory block handle: the tag that marks a live block
// (the layout, VKSMBLOCK, is public in vkrt/sm.h) and the lookup of a handle, shared with
// the paged-file family, which hands the block's file to the service.
#pragma once

#include "vkrt/sm.h"

namespace vkrt {

inline constexpr GUID kBlockTag = nx::Guid("788B1650-6A19-4CF5-81BF-AAAAE6B27717");

// The live block behind a handle, or null.
VKSMBLOCK* FindBlock(HANDLE handle);

}  // namespace vkrt
