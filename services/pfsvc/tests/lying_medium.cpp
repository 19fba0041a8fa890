// pfsvc_lying: a test build of the paged-file service whose medium lies, so that tests can
// give a program a card that returns other bytes than were written, or fails a read.

// Linked with --wrap=ReadFile: every read of a target passes through __wrap_ReadFile.
// NX_LYING_READS=OFFSET,LENGTH,WHAT (numbers in decimal or 0x hex) names the bytes
// [OFFSET, OFFSET+LENGTH) of the target:
//   WHAT = two hex digits: those bytes always read as that value, whatever was written
//          there (a stuck cell; writes still reach the image file underneath);
//   WHAT = fail: a read that touches them fails with ERROR_GEN_FAILURE and moves nothing
//          (what the platform reports for a medium's EIO).
// Without the variable the service is the ordinary one. Only tests build this program.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nxpal/windows.h"

extern "C" BOOL __real_ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);

namespace {

struct Lie {
  bool on = false;
  ULONGLONG offset = 0, length = 0;
  bool fail = false;
  uint8_t value = 0;
};

[[noreturn]] void Refuse(const char* text) {
  std::fprintf(stderr, "pfsvc_lying: NX_LYING_READS=\"%s\" is not OFFSET,LENGTH,{XX|fail}\n", text);
  std::exit(2);
}

Lie Parse() {
  Lie lie;
  const char* text = std::getenv("NX_LYING_READS");
  if (!text || !*text) return lie;
  char* end = nullptr;
  lie.offset = std::strtoull(text, &end, 0);
  if (*end != ',') Refuse(text);
  lie.length = std::strtoull(end + 1, &end, 0);
  if (*end != ',' || lie.length == 0) Refuse(text);
  const std::string what = end + 1;
  if (what == "fail") {
    lie.fail = true;
  } else {
    char* valueEnd = nullptr;
    const unsigned long v = std::strtoul(what.c_str(), &valueEnd, 16);
    if (what.size() != 2 || *valueEnd != '\0' || v > 0xFF) Refuse(text);
    lie.value = static_cast<uint8_t>(v);
  }
  lie.on = true;
  std::fprintf(stderr, "pfsvc_lying: reads of bytes %llu..%llu %s\n", static_cast<unsigned long long>(lie.offset),
               static_cast<unsigned long long>(lie.offset + lie.length - 1),
               lie.fail ? "fail" : ("read as 0x" + what).c_str());
  return lie;
}

// Read at start-up, so that a mistyped lie stops the service before it serves anyone.
const Lie kLie = Parse();

}  // namespace

extern "C" BOOL __wrap_ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
  if (!kLie.on) return __real_ReadFile(file, buffer, toRead, read, overlapped);
  LONG high = 0;
  SetLastError(ERROR_SUCCESS);
  const DWORD low = SetFilePointer(file, 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS)
    return __real_ReadFile(file, buffer, toRead, read, overlapped);  // no position: not a target
  const ULONGLONG at = (static_cast<ULONGLONG>(static_cast<DWORD>(high)) << 32) | low;
  const ULONGLONG lieEnd = kLie.offset + kLie.length;
  if (kLie.fail) {
    if (toRead > 0 && at < lieEnd && at + toRead > kLie.offset) {
      if (read) *read = 0;
      SetLastError(ERROR_GEN_FAILURE);
      return FALSE;
    }
    return __real_ReadFile(file, buffer, toRead, read, overlapped);
  }
  const BOOL ok = __real_ReadFile(file, buffer, toRead, read, overlapped);
  const DWORD error = GetLastError();
  const ULONGLONG got = read ? *read : 0;
  const ULONGLONG from = at > kLie.offset ? at : kLie.offset;
  const ULONGLONG to = at + got < lieEnd ? at + got : lieEnd;
  if (from < to) std::memset(static_cast<uint8_t*>(buffer) + (from - at), kLie.value, to - from);
  SetLastError(error);
  return ok;
}
