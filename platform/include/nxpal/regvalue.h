// Reading a registry value whose size is not known in advance: the "more data" exchange
// (ERROR_MORE_DATA with the size needed, then a read with that size), with a bound.
// C++ only; for the layer's own callers and the libraries above it.
#pragma once

#include <algorithm>
#include <string>

#include "errors.h"
#include "types.h"

namespace nx {

// Reads with at most this many calls: a value that another writer keeps growing, or a
// size that never settles, ends in ERROR_MORE_DATA instead of a loop without end.
inline constexpr int kMoreDataAttempts = 4;

// `read(data, &cb)` is one RegQueryValueEx-style call into `data` of `cb` bytes that sets
// `cb` to the bytes read, or on ERROR_MORE_DATA to the bytes needed. The first call has
// `cb` bytes; each next one the size reported, at least one byte more than the last.
// ERROR_SUCCESS with the bytes in `out`, the call's own error, or ERROR_MORE_DATA.
template <typename Read>
LSTATUS ReadSizedValue(DWORD cb, std::string* out, Read&& read) {
  for (int attempt = 0; attempt < kMoreDataAttempts; ++attempt) {
    out->assign(cb, '\0');
    DWORD got = cb;
    const LSTATUS rc = read(reinterpret_cast<LPBYTE>(out->data()), &got);
    if (rc == static_cast<LSTATUS>(ERROR_MORE_DATA)) {
      cb = std::max<DWORD>(got, cb + 1);
      continue;
    }
    if (rc == static_cast<LSTATUS>(ERROR_SUCCESS)) out->resize(std::min<DWORD>(got, cb));
    return rc;
  }
  out->clear();
  return static_cast<LSTATUS>(ERROR_MORE_DATA);
}

}  // namespace nx
