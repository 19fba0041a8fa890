// Checks of the records a client sends: sizes, magic bytes and the name's terminator.
#include "records.h"

#include <cstring>

#include "nxpal/errors.h"

namespace pfsvc {

DWORD ParseConnectHeader(const uint8_t* bytes, size_t n, pfwire::ConnectHeader* out) {
  if (n != sizeof(pfwire::ConnectHeader)) return ERROR_BAD_LENGTH;
  *out = pfwire::DecodeConnectHeader(bytes);
  if (std::memcmp(out->magic, pfwire::kMagic, sizeof pfwire::kMagic) != 0) return ERROR_INVALID_DATA;
  return ERROR_SUCCESS;
}

bool OpenRequestSizeAllowed(uint32_t size) {
  return size >= pfwire::OpenRequestSize(0) && size <= pfwire::OpenRequestSize(kMaxNameLength);
}

DWORD ParseOpenRequest(const uint8_t* bytes, size_t n, uint32_t announced, OpenRequest* out) {
  if (n != announced || n < sizeof(pfwire::OpenRequestHead)) return ERROR_BAD_LENGTH;
  const pfwire::OpenRequestHead head = pfwire::DecodeOpenRequestHead(bytes);
  // The length is bounded first: 2n of a larger one wraps round 32 bits and could
  // match a small size.
  if (head.nameLength > kMaxNameLength || pfwire::OpenRequestSize(head.nameLength) != n) return ERROR_BAD_LENGTH;
  if (!pfwire::DecodeOpenName(bytes, head.nameLength, &out->name)) return ERROR_INVALID_NAME;
  std::memcpy(out->params, head.params, sizeof out->params);
  out->hasSink = head.hasSink != 0;
  return ERROR_SUCCESS;
}

DWORD ParseRequest(const uint8_t* bytes, size_t n, pfwire::Request* out) {
  if (n != sizeof(pfwire::Request)) return ERROR_BAD_LENGTH;
  *out = pfwire::DecodeRequest(bytes);
  return ERROR_SUCCESS;
}

}  // namespace pfsvc
