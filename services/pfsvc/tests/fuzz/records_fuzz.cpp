// Fuzzes the service's checks of what a client sends: one input is a connect header,
// the open request it announces, and requests of the connection pipe. An accepted open
// request must encode back to exactly the bytes it came from.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "nxpal/errors.h"
#include "records.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckOpenRequest(const uint8_t* data, size_t size, uint32_t announced) {
  // Its own allocation of exactly the message's size, as the session receives it.
  const std::vector<uint8_t> bytes(data, data + size);
  pfsvc::OpenRequest rq;
  if (pfsvc::ParseOpenRequest(bytes.data(), bytes.size(), announced, &rq) != ERROR_SUCCESS) return;
  const auto n = static_cast<uint32_t>(rq.name.size());
  Require(n <= pfsvc::kMaxNameLength && pfwire::OpenRequestSize(n) == size);
  Require(rq.name.find(u'\0') == std::u16string::npos);
  std::vector<uint8_t> again(size);
  pfwire::OpenRequestHead head{{rq.params[0], rq.params[1], rq.params[2], rq.params[3]}, rq.hasSink ? 1u : 0u, n};
  pfwire::Encode(head, again.data());
  pfwire::EncodeOpenName(rq.name.data(), n, again.data());
  // hasSink is a flag: any nonzero value reads as 1.
  std::vector<uint8_t> expected = bytes;
  if (rq.hasSink) nx::StoreLe32(expected.data() + offsetof(pfwire::OpenRequestHead, hasSink), 1);
  Require(again == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t headSize = std::min(size, sizeof(pfwire::ConnectHeader));
  pfwire::ConnectHeader cd;
  const DWORD err = pfsvc::ParseConnectHeader(data, headSize, &cd);
  if (err != ERROR_SUCCESS) {
    Require(err == ERROR_BAD_LENGTH || err == ERROR_INVALID_DATA);
    return 0;
  }
  data += headSize;
  size -= headSize;
  // The open request is the announced size's worth, or what there is of it.
  const size_t requestSize = std::min<size_t>(size, cd.requestSize);
  if (pfsvc::OpenRequestSizeAllowed(cd.requestSize)) CheckOpenRequest(data, requestSize, cd.requestSize);
  data += requestSize;
  size -= requestSize;
  // Requests follow in messages of the first byte's length.
  while (size > 0) {
    const size_t n = std::min<size_t>(size - 1, data[0] % 16);
    const std::vector<uint8_t> bytes(data + 1, data + 1 + n);
    pfwire::Request rq;
    if (pfsvc::ParseRequest(bytes.data(), bytes.size(), &rq) == ERROR_SUCCESS) Require(n == sizeof(pfwire::Request));
    data += n + 1;
    size -= n + 1;
  }
  return 0;
}
