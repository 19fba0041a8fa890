// Test support of the service: the client's records built by hand, so that tests (and
// the fuzz seeds) can send what no well-behaved client would.
#pragma once

#include <cstring>
#include <string>

#include "nxpal/windows.h"
#include "pfwire.h"

namespace svctest {

inline constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;

inline std::string Header(uint32_t pid, uint32_t event, uint32_t size, const char* magic = "SSKV") {
  pfwire::ConnectHeader cd{};
  std::memcpy(cd.magic, magic, 4);
  cd.processId = pid;
  cd.event = event;
  cd.requestSize = size;
  uint8_t b[sizeof cd];
  pfwire::Encode(cd, b);
  return std::string(reinterpret_cast<char*>(b), sizeof b);
}

// An open request naming `name` (UTF-8 here), with the test's usual parameters.
inline std::string Request(const std::string& name, uint32_t access = kAccess, uint32_t hasSink = 0) {
  std::u16string w = nx::Utf8ToUtf16(name);
  const auto n = static_cast<uint32_t>(w.size());
  pfwire::OpenRequestHead head{{access, 3, 0, 4096}, hasSink, n};
  std::string bytes(pfwire::OpenRequestSize(n), '\0');
  auto* out = reinterpret_cast<uint8_t*>(bytes.data());
  pfwire::Encode(head, out);
  pfwire::EncodeOpenName(w.data(), n, out);
  return bytes;
}

inline std::string Rq(uint32_t op, uint32_t a1, uint32_t a2) {
  uint8_t b[sizeof(pfwire::Request)];
  pfwire::Encode(pfwire::Request{op, a1, a2}, b);
  return std::string(reinterpret_cast<char*>(b), sizeof b);
}

}  // namespace svctest
