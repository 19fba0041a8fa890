// The records a client sends the service, checked apart from the sockets they come on:
// what a record may hold is decided here, who may send it in the session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "nxpal/types.h"
#include "pfwire.h"

namespace pfsvc {

inline constexpr uint32_t kMaxNameLength = 32767;  // UTF-16 units: the longest Windows path

// A connect header of n bytes: ERROR_BAD_LENGTH (24) unless n is its size,
// ERROR_INVALID_DATA (13) without the magic bytes.
DWORD ParseConnectHeader(const uint8_t* bytes, size_t n, pfwire::ConnectHeader* out);

// Whether a connect header may announce an open request of this size (a name of up to
// kMaxNameLength units).
bool OpenRequestSizeAllowed(uint32_t size);

// An open request as it arrived.
struct OpenRequest {
  uint32_t params[4] = {};  // the four open parameters, in the caller's order
  bool hasSink = false;  // the client declared a progress sink
  std::u16string name;  // without its terminator
};

// An open request of n bytes after a header that announced `announced`:
// ERROR_BAD_LENGTH (24) unless both sizes agree with the name's length,
// ERROR_INVALID_NAME (123) unless the name's one zero unit is its terminator.
DWORD ParseOpenRequest(const uint8_t* bytes, size_t n, uint32_t announced, OpenRequest* out);

// A request on the connection pipe of n bytes: ERROR_BAD_LENGTH (24) unless n is its size.
DWORD ParseRequest(const uint8_t* bytes, size_t n, pfwire::Request* out);

}  // namespace pfsvc
