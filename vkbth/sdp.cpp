// Service discovery: finds the RFCOMM channel that a device offers for a service class,
// with BlueZ's asynchronous SDP client so that every wait is abortable.
#include <bluetooth/bluetooth.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>
#include <poll.h>
#include <sys/socket.h>

#include "socket.h"

namespace vkbth::ws {
namespace {

constexpr ULONGLONG kQueryLimit100ns = 10ull * 10'000'000;  // the whole query, 10 s

// Filled by the response callback.
struct Answer {
  bool done = false;
  ULONG channel = 0;
};

// The attribute lists of a service search: a sequence of records, each a sequence of
// attributes. Takes the first record that names an RFCOMM channel.
void OnResponse(uint8_t type, uint16_t status, uint8_t* rsp, size_t size, void* udata) {
  auto* answer = static_cast<Answer*>(udata);
  answer->done = true;
  if (type != SDP_SVC_SEARCH_ATTR_RSP || status != 0 || !rsp || size == 0) return;
  uint8_t dtd = 0;
  int seqLen = 0;
  int bufSize = static_cast<int>(size);
  int scanned = sdp_extract_seqtype(rsp, bufSize, &dtd, &seqLen);
  if (scanned <= 0) return;
  while (scanned < bufSize) {
    int recSize = 0;
    sdp_record_t* rec = sdp_extract_pdu(rsp + scanned, bufSize - scanned, &recSize);
    if (!rec) break;
    if (recSize <= 0) {
      sdp_record_free(rec);
      break;
    }
    scanned += recSize;
    sdp_list_t* protos = nullptr;
    int channel = 0;
    if (sdp_get_access_protos(rec, &protos) == 0) {
      channel = sdp_get_proto_port(protos, RFCOMM_UUID);
      for (sdp_list_t* p = protos; p; p = p->next) sdp_list_free(static_cast<sdp_list_t*>(p->data), nullptr);
      sdp_list_free(protos, nullptr);
    }
    sdp_record_free(rec);
    if (channel > 0 && channel <= 30) {
      answer->channel = static_cast<ULONG>(channel);
      return;
    }
  }
}

// Milliseconds left until the deadline (0 when it has passed).
int Remaining(ULONGLONG deadline) {
  ULONGLONG now = NxMonotonicTime100ns();
  return now >= deadline ? 0 : static_cast<int>((deadline - now) / 10'000 + 1);
}

bool WaitSession(sdp_session_t* session, short events, ULONGLONG deadline) {
  pollfd p{sdp_get_socket(session), events, 0};
  int left = Remaining(deadline);
  return left > 0 && NxPoll(&p, 1, left) == 1 && !(p.revents & (POLLERR | POLLHUP | POLLNVAL));
}

}  // namespace

ULONG FindRfcommChannel(BTH_ADDR address, const GUID& serviceClass) {
  const ULONGLONG deadline = NxMonotonicTime100ns() + kQueryLimit100ns;
  bdaddr_t any{};
  bdaddr_t target{};
  for (int i = 0; i < 6; ++i) target.b[i] = static_cast<uint8_t>(address >> (8 * i));
  sdp_session_t* session = sdp_connect(&any, &target, SDP_NON_BLOCKING);
  if (!session) return 0;

  Answer answer;
  // The connection completes in the background; the socket then becomes writable.
  bool ok = WaitSession(session, POLLOUT, deadline);
  if (ok) {
    int soError = 0;
    socklen_t len = sizeof(soError);
    ok = getsockopt(sdp_get_socket(session), SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError == 0;
  }
  if (ok) {
    // UUIDs travel in network byte order: the GUID's first three fields big-endian.
    uint8_t bytes[16];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(serviceClass.Data1 >> (24 - 8 * i));
    bytes[4] = static_cast<uint8_t>(serviceClass.Data2 >> 8);
    bytes[5] = static_cast<uint8_t>(serviceClass.Data2);
    bytes[6] = static_cast<uint8_t>(serviceClass.Data3 >> 8);
    bytes[7] = static_cast<uint8_t>(serviceClass.Data3);
    for (int i = 0; i < 8; ++i) bytes[8 + i] = serviceClass.Data4[i];
    uuid_t uuid;
    sdp_uuid128_create(&uuid, bytes);
    uint32_t range = 0x0000ffff;  // all attributes
    sdp_list_t* search = sdp_list_append(nullptr, &uuid);
    sdp_list_t* attrs = sdp_list_append(nullptr, &range);
    ok = search && attrs && sdp_set_notify(session, OnResponse, &answer) == 0 &&
         sdp_service_search_attr_async(session, search, SDP_ATTR_REQ_RANGE, attrs) == 0;
    sdp_list_free(search, nullptr);
    sdp_list_free(attrs, nullptr);
  }
  // Each readable response is processed; continuations are requested by sdp_process
  // itself, and the callback runs when the answer is complete or failed.
  while (ok && !answer.done) {
    ok = WaitSession(session, POLLIN, deadline) && sdp_process(session) == 0;
  }
  sdp_close(session);
  return answer.channel;
}

}  // namespace vkbth::ws
