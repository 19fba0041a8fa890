// The paged-file pipe protocol, spoken by vkrt (client) and pfsvc (service). Every
// record is one pipe message; every integer is 32-bit little-endian. The structs give
// the layout; Encode/Decode move them to and from wire bytes explicitly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "nxpal/bytes.h"

namespace pfwire {

// The service's well-known pipe; a connection pipe adds "_%08X" with the connection id.
inline constexpr char16_t kServicePipe[] = u"\\\\.\\pipe\\{CE653FE6-BE3D-4DC6-A7E8-A2E6B41DC5A4}";
inline constexpr char kPipeBaseName[] = "{CE653FE6-BE3D-4DC6-A7E8-A2E6B41DC5A4}";
inline constexpr uint8_t kMagic[4] = {'S', 'S', 'K', 'V'};

// Connect header, client to service on the service pipe.
struct ConnectHeader {
  uint8_t magic[4];  // 0: the bytes "SSKV"
  uint32_t processId;  // 4: the client's process id
  uint32_t event;  // 8: handle value, in the client, of an unnamed auto-reset event
  uint32_t requestSize;  // 12: size of the open request that follows (2n + 26)
};
static_assert(sizeof(ConnectHeader) == 16);
static_assert(offsetof(ConnectHeader, processId) == 4 && offsetof(ConnectHeader, event) == 8 &&
              offsetof(ConnectHeader, requestSize) == 12);

// Fixed part of the open request, directly after the connect header; the name follows.
struct OpenRequestHead {
  uint32_t params[4];  // 0: the four open parameters, in the caller's order
  uint32_t hasSink;  // 16: 1 when the client declared a progress sink, else 0
  uint32_t nameLength;  // 20: n, UTF-16 code units of the name without the terminator
  // 24: the name in UTF-16LE and its terminating zero (2n + 2 bytes)
};
static_assert(sizeof(OpenRequestHead) == 24);
static_assert(offsetof(OpenRequestHead, hasSink) == 16 && offsetof(OpenRequestHead, nameLength) == 20);
inline constexpr uint32_t OpenRequestSize(uint32_t n) { return sizeof(OpenRequestHead) + 2 * n + 2; }

// Open reply, service to client on the service pipe.
struct OpenReply {
  uint32_t status;  // 0: 0 = accepted, else the Win32 error the open fails with
  uint32_t connectionId;  // 4: names the connection pipe
  uint32_t reserved[2];  // 8: zero, not read by the client
};
static_assert(sizeof(OpenReply) == 16);
static_assert(offsetof(OpenReply, connectionId) == 4);

// Operations of a request.
enum Op : uint32_t { kClose = 0, kRead = 1, kWrite = 2, kSeekBegin = 3, kSeekCurrent = 4, kSeekEnd = 5 };

// Request, client to service on the connection pipe.
struct Request {
  uint32_t op;  // 0: Op
  uint32_t arg1;  // 4: read/write: byte count; seek: distance, low half; close: 0
  uint32_t arg2;  // 8: read/write: the block file's handle value in the client;
                  //    seek: distance, high half (signed 64-bit distance); close: 0
};
static_assert(sizeof(Request) == 12);
static_assert(offsetof(Request, arg1) == 4 && offsetof(Request, arg2) == 8);

// Status of a progress report; another Ack follows it.
inline constexpr uint32_t kProgress = 997;

// Reply, service to client on the connection pipe (none to a close).
struct Ack {
  uint32_t status;  // 0: 0 = done; kProgress = report, more follow; else the Win32 error
  uint32_t amount;  // 4: read/write: bytes moved so far; seek: new position, low half
  uint32_t total;  // 8: read/write: bytes asked for; seek: new position, high half
};
static_assert(sizeof(Ack) == 12);
static_assert(offsetof(Ack, amount) == 4 && offsetof(Ack, total) == 8);

inline void Encode(const ConnectHeader& r, uint8_t out[16]) {
  std::memcpy(out, r.magic, 4);
  nx::StoreLe32(out + 4, r.processId);
  nx::StoreLe32(out + 8, r.event);
  nx::StoreLe32(out + 12, r.requestSize);
}
inline ConnectHeader DecodeConnectHeader(const uint8_t in[16]) {
  ConnectHeader r;
  std::memcpy(r.magic, in, 4);
  r.processId = nx::LoadLe32(in + 4);
  r.event = nx::LoadLe32(in + 8);
  r.requestSize = nx::LoadLe32(in + 12);
  return r;
}

inline void Encode(const OpenRequestHead& r, uint8_t out[24]) {
  for (int i = 0; i < 4; ++i) nx::StoreLe32(out + 4 * i, r.params[i]);
  nx::StoreLe32(out + 16, r.hasSink);
  nx::StoreLe32(out + 20, r.nameLength);
}
inline OpenRequestHead DecodeOpenRequestHead(const uint8_t in[24]) {
  OpenRequestHead r;
  for (int i = 0; i < 4; ++i) r.params[i] = nx::LoadLe32(in + 4 * i);
  r.hasSink = nx::LoadLe32(in + 16);
  r.nameLength = nx::LoadLe32(in + 20);
  return r;
}

// The name after an open request's head: n units and the terminator, in a request of
// OpenRequestSize(n) bytes.
inline void EncodeOpenName(const char16_t* name, uint32_t n, uint8_t* request) {
  nx::PutUtf16Le(request + sizeof(OpenRequestHead), std::u16string_view(name, n));
  nx::StoreLe16(request + sizeof(OpenRequestHead) + 2 * n, 0);
}
// The name of a request of OpenRequestSize(n) bytes; false unless its one zero unit is
// the terminator.
inline bool DecodeOpenName(const uint8_t* request, uint32_t n, std::u16string* out) {
  const uint8_t* p = request + sizeof(OpenRequestHead);
  *out = nx::GetUtf16Le(p, n);
  return out->find(u'\0') == std::u16string::npos && nx::LoadLe16(p + 2 * n) == 0;
}

inline void Encode(const OpenReply& r, uint8_t out[16]) {
  nx::StoreLe32(out, r.status);
  nx::StoreLe32(out + 4, r.connectionId);
  nx::StoreLe32(out + 8, r.reserved[0]);
  nx::StoreLe32(out + 12, r.reserved[1]);
}
inline OpenReply DecodeOpenReply(const uint8_t in[16]) {
  OpenReply r{};
  r.status = nx::LoadLe32(in);
  r.connectionId = nx::LoadLe32(in + 4);
  return r;
}

inline void Encode(const Request& r, uint8_t out[12]) {
  nx::StoreLe32(out, r.op);
  nx::StoreLe32(out + 4, r.arg1);
  nx::StoreLe32(out + 8, r.arg2);
}
inline Request DecodeRequest(const uint8_t in[12]) { return Request{nx::LoadLe32(in), nx::LoadLe32(in + 4), nx::LoadLe32(in + 8)}; }

inline void Encode(const Ack& r, uint8_t out[12]) {
  nx::StoreLe32(out, r.status);
  nx::StoreLe32(out + 4, r.amount);
  nx::StoreLe32(out + 8, r.total);
}
inline Ack DecodeAck(const uint8_t in[12]) { return Ack{nx::LoadLe32(in), nx::LoadLe32(in + 4), nx::LoadLe32(in + 8)}; }

}  // namespace pfwire
