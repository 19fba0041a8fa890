// Win32 base types with their Windows widths, on Linux x86-64 (LP64).
// WCHAR is UTF-16 (char16_t): wchar_t is 32 bits here. Every header of the layer that a
// public header pulls in compiles as C11 as well as C++; the helpers below say how.
#pragma once

#ifdef __cplusplus
#include <cstddef>
#include <cstdint>
#else
#include <stddef.h>
#include <stdint.h>
#include <uchar.h>
#endif

// Typed constants: `inline constexpr` in C++, enum constants (int) in C. Values beyond
// int (0x80000000 and up) are written out as macros for C beside their C++ form.
// NX_STATIC_ASSERT checks a layout in both languages, so a C caller and the C++ library
// agree on it; NX_INLINE is a header function's linkage (static in C).
#ifdef __cplusplus
#define NX_CONST(type, name, value) inline constexpr type name = value
#define NX_STATIC_ASSERT(condition) static_assert(condition)
#define NX_INLINE inline
#else
#define NX_CONST(type, name, value) enum { name = (value) }
#define NX_STATIC_ASSERT(condition) _Static_assert(condition, #condition)
#define NX_INLINE static inline
#endif

typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t DWORD64;
typedef size_t SIZE_T;
typedef int32_t HRESULT;
typedef int32_t SCODE;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef char16_t WCHAR;
typedef WCHAR OLECHAR;
typedef uint16_t VARTYPE;
typedef DWORD LCID;
typedef WORD LANGID;
typedef DWORD REGSAM;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* PVOID;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef LONG* LPLONG;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef char* PSTR;
typedef WCHAR* PWSTR;
typedef const char* LPCCH;
typedef const WCHAR* LPCWCH;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;

// Kernel objects (threads, events, files) are small integers: the value is the
// descriptor behind the object, so that a peer process can reach it by number.
typedef void* HANDLE;
typedef HANDLE* LPHANDLE;

// Opaque handles of the other kinds.
typedef struct HKEY__ HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct HWND__ HWND__;
typedef HWND__* HWND;
typedef struct HICON__ HICON__;
typedef HICON__* HICON;
typedef HICON HCURSOR;
typedef struct HMENU__ HMENU__;
typedef HMENU__* HMENU;
typedef struct HIMAGELIST__ HIMAGELIST__;
typedef HIMAGELIST__* HIMAGELIST;
// A module handle is the load address of the shared object or program.
typedef struct HINSTANCE__ HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#ifdef __cplusplus
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#else
#define INFINITE ((DWORD)0xFFFFFFFFu)
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#endif
#define MAX_PATH 260

// A rectangle in pixels: left and top inside, right and bottom just outside.
typedef struct RECT RECT;
struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
NX_STATIC_ASSERT(sizeof(RECT) == 16);
typedef RECT* LPRECT;

// 100 ns intervals since 1601-01-01 UTC.
typedef struct FILETIME FILETIME;
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
typedef FILETIME* LPFILETIME;
typedef FILETIME* PFILETIME;

typedef union LARGE_INTEGER LARGE_INTEGER;
union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
typedef union ULARGE_INTEGER ULARGE_INTEGER;
union ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
};
typedef LARGE_INTEGER* PLARGE_INTEGER;
typedef ULARGE_INTEGER* PULARGE_INTEGER;

typedef struct SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES;
struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

// Resource ids passed where a name is expected.
#ifdef __cplusplus
#define MAKEINTRESOURCEW(i) (reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define IS_INTRESOURCE(p) ((reinterpret_cast<ULONG_PTR>(p) >> 16) == 0)

#define LOWORD(l) (static_cast<WORD>(static_cast<DWORD_PTR>(l) & 0xffff))
#define HIWORD(l) (static_cast<WORD>((static_cast<DWORD_PTR>(l) >> 16) & 0xffff))
#define MAKELONG(a, b) \
  (static_cast<LONG>(static_cast<WORD>(static_cast<DWORD_PTR>(a) & 0xffff) | \
                     (static_cast<DWORD>(static_cast<WORD>(static_cast<DWORD_PTR>(b) & 0xffff))) << 16))
#else
#define MAKEINTRESOURCEW(i) ((LPWSTR)(ULONG_PTR)(WORD)(i))
#define MAKEINTRESOURCEA(i) ((LPSTR)(ULONG_PTR)(WORD)(i))
#define IS_INTRESOURCE(p) ((((ULONG_PTR)(p)) >> 16) == 0)

#define LOWORD(l) ((WORD)((DWORD_PTR)(l) & 0xffff))
#define HIWORD(l) ((WORD)(((DWORD_PTR)(l) >> 16) & 0xffff))
#define MAKELONG(a, b) ((LONG)((WORD)((DWORD_PTR)(a) & 0xffff) | ((DWORD)(WORD)((DWORD_PTR)(b) & 0xffff)) << 16))
#endif
