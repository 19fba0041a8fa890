// Paged files: the client of the paged-file service. An open is one exchange on the
// service pipe; every later read, write and seek is one request and its replies on the
// connection pipe, under the file's lock so that exchanges from several threads never
// interleave. Close does not take the lock (callers never close during an exchange).
#include <cstdio>
#include <new>
#include <string>

#include "livetable.h"
#include "module.h"
#include "nxrtl/nxrtl.h"
#include "pfwire.h"
#include "smblock.h"
#include "vkrt/pf.h"

// Field order as the family's callers know it.
struct VKPFILE {
  GUID tag;  // kFileTag while the file is live
  HANDLE connection;  // the connection pipe, or null
  DWORD createError;  // Win32 error of construction; 0 = success
  IProgressNotify* progressSink;  // the caller's sink or null; no reference held
  CRITICAL_SECTION lock;  // serialises the exchanges on connection
};

namespace vkrt {
namespace {

constexpr GUID kFileTag = nx::Guid("330FD1CF-93B4-44F3-895A-BCC2E6EF8F65");

LiveTable<VKPFILE>& Files() {
  static auto* table = new LiveTable<VKPFILE>();
  return *table;
}

uint32_t HandleValue(HANDLE h) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h)); }

HANDLE OpenPipe(const char16_t* name) {
  HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

BOOL SetMessageMode(HANDLE pipe) {
  DWORD mode = PIPE_READMODE_MESSAGE;
  return SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
}

// Writes one whole message; FALSE with the last error set.
BOOL Send(HANDLE pipe, const uint8_t* bytes, DWORD n) {
  DWORD written = 0;
  return WriteFile(pipe, bytes, n, &written, nullptr);
}

// Reads one message that must be exactly n bytes; a shorter one is not a reply of the
// protocol (ERROR_INVALID_DATA), a longer one fails with ERROR_MORE_DATA.
BOOL Receive(HANDLE pipe, uint8_t* bytes, DWORD n) {
  DWORD got = 0;
  if (!ReadFile(pipe, bytes, n, &got, nullptr)) return FALSE;
  if (got != n) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  return TRUE;
}

// The exchange on the service pipe: connect header and open request out, open reply
// in, then the connection pipe.
DWORD Connect(VKPFILE* f, LPCWSTR name, const DWORD params[4], HANDLE event) {
  const uint32_t n = static_cast<uint32_t>(lstrlenW(name));
  const uint32_t size = pfwire::OpenRequestSize(n);
  IMalloc* alloc = TaskAllocator();
  auto* request = alloc ? static_cast<uint8_t*>(alloc->Alloc(size)) : nullptr;
  if (!request) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD err = ERROR_SUCCESS;
  HANDLE service = OpenPipe(pfwire::kServicePipe);
  if (!service || !SetMessageMode(service)) err = GetLastError();
  if (err == ERROR_SUCCESS) {
    // The service takes duplicates of our event and block files by their values.
    ULONG servicePid = 0;
    if (GetNamedPipeServerProcessId(service, &servicePid)) NxGrantHandleAccess(servicePid);
    pfwire::OpenRequestHead head{{params[0], params[1], params[2], params[3]}, f->progressSink ? 1u : 0u, n};
    pfwire::Encode(head, request);
    pfwire::EncodeOpenName(name, n, request);
    pfwire::ConnectHeader cd{};
    std::memcpy(cd.magic, pfwire::kMagic, 4);
    cd.processId = GetCurrentProcessId();
    cd.event = HandleValue(event);
    cd.requestSize = size;
    uint8_t bytes[16];
    pfwire::Encode(cd, bytes);
    if (!Send(service, bytes, sizeof bytes) || !Send(service, request, size) || !Receive(service, bytes, sizeof bytes)) {
      err = GetLastError();
    } else {
      pfwire::OpenReply reply = pfwire::DecodeOpenReply(bytes);
      if (reply.status != 0) {
        err = reply.status;
      } else {
        char16_t pipeName[96];
        char ascii[96];
        snprintf(ascii, sizeof ascii, "\\\\.\\pipe\\%s_%08X", pfwire::kPipeBaseName, reply.connectionId);
        size_t i = 0;
        for (; ascii[i]; ++i) pipeName[i] = static_cast<char16_t>(ascii[i]);
        pipeName[i] = 0;
        f->connection = OpenPipe(pipeName);
        if (!f->connection || !SetMessageMode(f->connection)) err = GetLastError();
      }
    }
  }
  if (service) CloseHandle(service);
  alloc->Free(request);
  return err;
}

void Construct(VKPFILE* f, LPCWSTR name, const DWORD params[4], IProgressNotify* sink) {
  f->tag = kFileTag;
  f->connection = nullptr;
  f->createError = 0;
  f->progressSink = sink;
  InitializeCriticalSection(&f->lock);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!event) {
    f->createError = GetLastError();
    return;
  }
  f->createError = Connect(f, name, params, event);
  // Tells the service that the exchange on the service pipe is over, whatever its end.
  SetEvent(event);
  CloseHandle(event);
}

void Destroy(VKPFILE* f) {
  if (f->connection) {
    uint8_t bytes[12];
    pfwire::Encode(pfwire::Request{pfwire::kClose, 0, 0}, bytes);
    Send(f->connection, bytes, sizeof bytes);  // no reply to a close
    CloseHandle(f->connection);
  }
  DeleteCriticalSection(&f->lock);
  f->tag = GUID{};
  delete f;
}

// After an exchange broke off (a pipe error, or a wait that ended with the thread's
// early end) replies may still be on their way; the connection is given up so that no
// later exchange takes them for its own.
void Abandon(VKPFILE* f) {
  DWORD err = GetLastError();
  CloseHandle(f->connection);
  f->connection = nullptr;
  SetLastError(err);
}

// One request and its replies; progress reports go to the sink on this thread.
BOOL Exchange(VKPFILE* f, const pfwire::Request& rq, bool progress, pfwire::Ack* ack) {
  *ack = pfwire::Ack{0, 0, 0};
  if (!f->connection) {
    SetLastError(ERROR_BROKEN_PIPE);
    return FALSE;
  }
  uint8_t bytes[12];
  pfwire::Encode(rq, bytes);
  if (!Send(f->connection, bytes, sizeof bytes)) {
    Abandon(f);
    return FALSE;
  }
  for (;;) {
    if (!Receive(f->connection, bytes, sizeof bytes)) {
      *ack = pfwire::Ack{0, 0, 0};
      Abandon(f);
      return FALSE;
    }
    *ack = pfwire::DecodeAck(bytes);
    if (!progress || ack->status != pfwire::kProgress) break;
    // A report to a file without a sink is the service's mistake: skip it.
    if (f->progressSink) f->progressSink->OnProgress(ack->amount, ack->total, TRUE, TRUE);
  }
  if (progress && ack->status == 0 && f->progressSink)
    f->progressSink->OnProgress(ack->amount, ack->total, TRUE, TRUE);
  SetLastError(ack->status);
  return ack->status == 0;
}

BOOL Transfer(HANDLE file, HANDLE block, DWORD count, LPDWORD done, uint32_t op) {
  if (done) *done = 0;
  VKPFILE* f = Files().Find(file, kFileTag);
  VKSMBLOCK* b = f ? FindBlock(block) : nullptr;
  if (!f || !b) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (count == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  nxDebugCriticalSectionDeadLock(&f->lock);
  pfwire::Ack ack;
  BOOL ok = Exchange(f, pfwire::Request{op, count, HandleValue(b->backingFile)}, true, &ack);
  DWORD err = GetLastError();
  LeaveCriticalSection(&f->lock);
  if (done) *done = ack.amount;
  SetLastError(err);
  return ok;
}

}  // namespace
}  // namespace vkrt

using namespace vkrt;

BOOL vkpfCreateW(LPCWSTR name, DWORD param1, DWORD param2, DWORD param3, DWORD param4, IProgressNotify* sink,
                 HANDLE* file) {
  if (!name || !file) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* f = new (std::nothrow) VKPFILE;
  if (!f) {
    *file = nullptr;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  const DWORD params[4] = {param1, param2, param3, param4};
  Construct(f, name, params, sink);
  DWORD err = f->createError;
  if (err != ERROR_SUCCESS) {
    Destroy(f);
    *file = nullptr;
    SetLastError(err);
    return FALSE;
  }
  Files().Add(f);
  *file = f;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL vkpfCreateA(LPCSTR name, DWORD param1, DWORD param2, DWORD param3, DWORD param4, IProgressNotify* sink,
                 HANDLE* file) {
  if (!name || !file) return vkpfCreateW(nullptr, param1, param2, param3, param4, sink, file);
  std::u16string wide = nx::Utf8ToUtf16(name);
  if (wide.size() >= MAX_PATH) {
    *file = nullptr;
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  return vkpfCreateW(wide.c_str(), param1, param2, param3, param4, sink, file);
}

BOOL vkpfClose(HANDLE file) {
  VKPFILE* f = Files().Find(file, kFileTag);
  if (!f || !Files().Remove(f)) return FALSE;
  Destroy(f);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL vkpfRead(HANDLE file, HANDLE block, DWORD count, LPDWORD done) {
  return Transfer(file, block, count, done, pfwire::kRead);
}

BOOL vkpfWrite(HANDLE file, HANDLE block, DWORD count, LPDWORD done) {
  return Transfer(file, block, count, done, pfwire::kWrite);
}

BOOL vkpfSeek(HANDLE file, DWORD origin, DWORD distanceLow, LONG distanceHigh, ULONGLONG* newPosition) {
  VKPFILE* f = Files().Find(file, kFileTag);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const uint32_t op = origin == 0 ? pfwire::kSeekBegin : origin == 1 ? pfwire::kSeekCurrent : pfwire::kSeekEnd;
  nxDebugCriticalSectionDeadLock(&f->lock);
  pfwire::Ack ack;
  BOOL ok = Exchange(f, pfwire::Request{op, distanceLow, static_cast<uint32_t>(distanceHigh)}, false, &ack);
  DWORD err = GetLastError();
  LeaveCriticalSection(&f->lock);
  if (ok && newPosition) *newPosition = (static_cast<ULONGLONG>(ack.total) << 32) | ack.amount;
  SetLastError(err);
  return ok;
}
