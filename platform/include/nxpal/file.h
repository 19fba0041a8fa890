// Files, raw volumes and named pipes behind CreateFile, with ReadFile, WriteFile,
// SetFilePointer and GetFileSize; file mappings and views; the temporary folder.
// A file handle's value is the descriptor behind it (see types.h).
#pragma once

#include "errors.h"
#include "export.h"
#include "types.h"

// ---- access, sharing, disposition, flags ---------------------------------------------
#ifdef __cplusplus
inline constexpr DWORD GENERIC_READ = 0x80000000u;
#else
#define GENERIC_READ ((DWORD)0x80000000u)
#endif
NX_CONST(DWORD, GENERIC_WRITE, 0x40000000u);
NX_CONST(DWORD, FILE_SHARE_READ, 0x1);
NX_CONST(DWORD, FILE_SHARE_WRITE, 0x2);
NX_CONST(DWORD, FILE_SHARE_DELETE, 0x4);

NX_CONST(DWORD, CREATE_NEW, 1);
NX_CONST(DWORD, CREATE_ALWAYS, 2);
NX_CONST(DWORD, OPEN_EXISTING, 3);
NX_CONST(DWORD, OPEN_ALWAYS, 4);
NX_CONST(DWORD, TRUNCATE_EXISTING, 5);

NX_CONST(DWORD, FILE_ATTRIBUTE_READONLY, 0x1);
NX_CONST(DWORD, FILE_ATTRIBUTE_HIDDEN, 0x2);
NX_CONST(DWORD, FILE_ATTRIBUTE_SYSTEM, 0x4);
NX_CONST(DWORD, FILE_ATTRIBUTE_DIRECTORY, 0x10);
NX_CONST(DWORD, FILE_ATTRIBUTE_ARCHIVE, 0x20);
NX_CONST(DWORD, FILE_ATTRIBUTE_NORMAL, 0x80);
NX_CONST(DWORD, FILE_ATTRIBUTE_TEMPORARY, 0x100);
#ifdef __cplusplus
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
#else
#define INVALID_FILE_ATTRIBUTES ((DWORD)0xFFFFFFFFu)
#endif

#ifdef __cplusplus
inline constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000u;
#else
#define FILE_FLAG_WRITE_THROUGH ((DWORD)0x80000000u)
#endif
NX_CONST(DWORD, FILE_FLAG_RANDOM_ACCESS, 0x10000000u);
NX_CONST(DWORD, FILE_FLAG_SEQUENTIAL_SCAN, 0x08000000u);
NX_CONST(DWORD, FILE_FLAG_DELETE_ON_CLOSE, 0x04000000u);

NX_CONST(DWORD, FILE_BEGIN, 0);
NX_CONST(DWORD, FILE_CURRENT, 1);
NX_CONST(DWORD, FILE_END, 2);
#ifdef __cplusplus
inline constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;
inline constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;
#else
#define INVALID_SET_FILE_POINTER ((DWORD)0xFFFFFFFFu)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFFu)
#endif

// Opens or creates what the name says:
// - "\\.\pipe\NAME": the client end of a named pipe, an AF_UNIX SOCK_SEQPACKET socket
//   NAME in NX_PIPE_DIR (or, without it, $XDG_RUNTIME_DIR/veltrak/pipe when NAME is
//   there, else /run/veltrak/pipe). Absent: ERROR_FILE_NOT_FOUND (2); every instance
//   busy: ERROR_PIPE_BUSY (231). Byte read mode.
// - "\\.\E:": the raw volume of drive E: (removable media and images pinned with
//   NX_DRIVES only; see drives.h). Transfers and positions must be multiples of 512
//   bytes (ERROR_INVALID_PARAMETER (87) otherwise); reads come from the medium, writes
//   reach it before the call returns; writes to a volume whose file system is mounted
//   fail with ERROR_ACCESS_DENIED (5).
// - "E:\DIR\NAME": a file on drive E:, through the mount point or folder behind the
//   letter, or, on an unmounted FAT volume, through its directory entries (existing
//   files only, written in place within their size).
// - anything else: a path of this system, unchanged.
// Sharing modes are accepted and not enforced (Linux has no mandatory sharing).
// FILE_FLAG_DELETE_ON_CLOSE removes the name when the handle is closed; another process
// that reached the descriptor keeps the (nameless) file until it closes it too.
// FILE_FLAG_WRITE_THROUGH writes synchronously; FILE_FLAG_RANDOM_ACCESS and
// FILE_FLAG_SEQUENTIAL_SCAN are passed on as read-ahead hints. Failure: INVALID_HANDLE_VALUE.
NXPAL_API HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                             DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile);
NXPAL_API HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                             DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile);

// Synchronous transfers only (overlapped must be null). A pipe in message read mode
// returns one message per read; a message larger than the buffer gives FALSE with
// ERROR_MORE_DATA (234) and the rest on the next read. Reading a pipe whose server has
// gone gives ERROR_BROKEN_PIPE (109), writing it ERROR_NO_DATA (232).
// Pipe waits end with ERROR_OPERATION_ABORTED (995) on a thread whose end is requested.
typedef struct OVERLAPPED OVERLAPPED;
typedef OVERLAPPED* LPOVERLAPPED;
NXPAL_API BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
NXPAL_API BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped);

// Moves the position; with distanceHigh the distance is the signed 64-bit number high:low
// and the new position's high half is stored back. A position before the start:
// ERROR_NEGATIVE_SEEK (131). Failure: INVALID_SET_FILE_POINTER with the last error set (a
// new position whose low half is 0xFFFFFFFF is told apart by last error 0).
NXPAL_API DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method);
// Length of a file, a volume or a file on a volume; INVALID_FILE_SIZE with the last
// error set on failure (last error 0 when the low half really is 0xFFFFFFFF).
NXPAL_API DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);

// Attributes of a file or folder (FILE_ATTRIBUTE_*), INVALID_FILE_ATTRIBUTES with
// ERROR_FILE_NOT_FOUND (2) or ERROR_PATH_NOT_FOUND (3) when it does not exist: the way to
// test that a file exists.
NXPAL_API DWORD GetFileAttributesW(LPCWSTR name);
NXPAL_API DWORD GetFileAttributesA(LPCSTR name);

// The folder for temporary files with its trailing separator ('/'): TMPDIR when it
// names a folder, else /tmp/. Returns the length without the terminator, or, when the
// buffer of `size` characters is too small, the size needed with the terminator.
NXPAL_API DWORD GetTempPathW(DWORD size, LPWSTR buffer);

// ---- file mappings --------------------------------------------------------------------
NX_CONST(DWORD, PAGE_READONLY, 0x02);
NX_CONST(DWORD, PAGE_READWRITE, 0x04);
NX_CONST(DWORD, SEC_COMMIT, 0x8000000);
NX_CONST(DWORD, FILE_MAP_WRITE, 0x0002);
NX_CONST(DWORD, FILE_MAP_READ, 0x0004);
NX_CONST(DWORD, FILE_MAP_ALL_ACCESS, 0xF001F);

// A mapping of a regular file (unnamed only). Size 0 maps the file's current length (an
// empty file gives ERROR_FILE_INVALID (1006)); a larger size than the file extends the
// file with zero bytes (PAGE_READWRITE only). Failure: null.
NXPAL_API HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES sa, DWORD protect, DWORD maxSizeHigh,
                                    DWORD maxSizeLow, LPCWSTR name);
// A view shared with the file: what is written through it is in the file and what the
// file receives shows in it. Offsets are multiples of 65536
// (ERROR_MAPPED_ALIGNMENT (1132) otherwise); 0 bytes maps to the end of the mapping. The
// view outlives its mapping handle. Failure: null.
NXPAL_API LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes);
// FALSE with ERROR_INVALID_ADDRESS (487) for an address that is not the start of a view.
NXPAL_API BOOL UnmapViewOfFile(LPCVOID address);

// ---- named pipes --------------------------------------------------------------------
NX_CONST(DWORD, PIPE_READMODE_BYTE, 0x0);
NX_CONST(DWORD, PIPE_READMODE_MESSAGE, 0x2);
NX_CONST(DWORD, PIPE_WAIT, 0x0);
NX_CONST(DWORD, PIPE_NOWAIT, 0x1);

// Sets the read mode of a pipe's client end (PIPE_READMODE_BYTE or _MESSAGE, with
// PIPE_WAIT); collection counts and time-outs are not offered
// (ERROR_INVALID_PARAMETER (87) when given).
NXPAL_API BOOL SetNamedPipeHandleState(HANDLE pipe, LPDWORD mode, LPDWORD maxCollectionCount,
                                       LPDWORD collectDataTimeout);
// The process id of the server at the other end of a pipe's client end.
NXPAL_API BOOL GetNamedPipeServerProcessId(HANDLE pipe, ULONG* serverProcessId);
