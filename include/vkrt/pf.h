// Paged files: byte-addressed read, write and seek on a file or a raw volume whose I/O
// the paged-file service performs. Data never travels through the pipe: a transfer names
// a shared memory block (vkrt/sm.h) whose file the service reads or writes directly.
// Every function returns a BOOL and sets the thread's last error (0 on success).
#pragma once

#include "vkrt/base.h"

// Opens `name` through the service with four open parameters passed on unchanged (the
// service takes them as access, sharing, flags and attributes, and a page size it
// ignores; the card initializer passes GENERIC_READ | GENERIC_WRITE, 3,
// FILE_FLAG_RANDOM_ACCESS, 4096). `sink` (may be null, no reference taken) receives
// progress reports of transfers. ERROR_INVALID_PARAMETER (87) for a null name or out
// pointer (nothing stored); ERROR_NOT_ENOUGH_MEMORY (8) without memory; otherwise the
// pipe's error (ERROR_FILE_NOT_FOUND (2): no service) or the service's refusal.
VKRT_API BOOL vkpfCreateW(LPCWSTR name, DWORD param1, DWORD param2, DWORD param3, DWORD param4,
                          IProgressNotify* sink, HANDLE* file);
// As vkpfCreateW with a UTF-8 name of at most 259 characters
// (ERROR_FILENAME_EXCED_RANGE (206) when longer).
VKRT_API BOOL vkpfCreateA(LPCSTR name, DWORD param1, DWORD param2, DWORD param3, DWORD param4,
                          IProgressNotify* sink, HANDLE* file);
// Ends the connection. FALSE for a handle that is not a live paged file (last error
// unchanged). Must not be called while another thread is inside an exchange on it.
VKRT_API BOOL vkpfClose(HANDLE file);
// Reads `count` bytes at the current position into the start of the block's file and
// advances the position; *done (may be null) gets the amount read (0 first).
// ERROR_INVALID_PARAMETER (87) for a count of 0, ERROR_INVALID_HANDLE (6) for a dead file
// or block handle, else the service's status.
VKRT_API BOOL vkpfRead(HANDLE file, HANDLE block, DWORD count, LPDWORD done);
// Writes `count` bytes from the start of the block's file at the current position.
VKRT_API BOOL vkpfWrite(HANDLE file, HANDLE block, DWORD count, LPDWORD done);
// Moves the position: origin 0 from the start, 1 from the current position, anything
// else from the end, by the signed 64-bit distance high:low; the new position is stored
// in *newPosition (may be null).
VKRT_API BOOL vkpfSeek(HANDLE file, DWORD origin, DWORD distanceLow, LONG distanceHigh, ULONGLONG* newPosition);
