// COM basics: IUnknown, IClassFactory, IMalloc, the task allocator, PROPVARIANT and
// in-process CoCreateInstance (servers found through HKLM\Software\Classes\CLSID).
#pragma once

#ifdef __cplusplus
#include <cstring>
#else
#include <string.h>
#endif

#include "errors.h"
#include "export.h"
#include "guid.h"
#include "types.h"

// Calling convention marker of interface methods: nothing to say on x86-64 Linux.
#define STDMETHODCALLTYPE

// ---- interfaces ---------------------------------------------------------------------
// Structs of pure virtual methods in the Windows slot order, so that a vtable built here
// has the layout of its Windows counterpart. No interface declares a destructor:
// objects are destroyed by their own Release, never through an interface pointer.

#ifdef __cplusplus
inline constexpr IID IID_IUnknown = nx::Guid("00000000-0000-0000-C000-000000000046");
inline constexpr IID IID_IClassFactory = nx::Guid("00000001-0000-0000-C000-000000000046");
inline constexpr IID IID_IMalloc = nx::Guid("00000002-0000-0000-C000-000000000046");
#else
NX_C_GUID(IID, IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
NX_C_GUID(IID, IID_IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
NX_C_GUID(IID, IID_IMalloc, 0x00000002, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
#endif

typedef struct IUnknown IUnknown;
typedef struct IClassFactory IClassFactory;
typedef struct IMalloc IMalloc;
typedef struct IProgressNotify IProgressNotify;

#ifdef __cplusplus
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

struct IClassFactory : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};

struct IMalloc : IUnknown {
  virtual void* STDMETHODCALLTYPE Alloc(SIZE_T cb) = 0;
  virtual void* STDMETHODCALLTYPE Realloc(void* pv, SIZE_T cb) = 0;
  virtual void STDMETHODCALLTYPE Free(void* pv) = 0;
  virtual SIZE_T STDMETHODCALLTYPE GetSize(void* pv) = 0;
  virtual int STDMETHODCALLTYPE DidAlloc(void* pv) = 0;
  virtual void STDMETHODCALLTYPE HeapMinimize() = 0;
};
#else
// In C an interface is a pointer to its table of methods (lpVtbl), each method taking the
// object first: the table of a C++ object with these pure virtual methods, slot for slot.
// A C object puts its table pointer first; a C caller calls p->lpVtbl->Release(p).
#define NX_C_INTERFACE(name) \
  typedef struct name##Vtbl name##Vtbl; \
  struct name {                         \
    const name##Vtbl* lpVtbl;           \
  }
// The first three slots of every table.
#define NX_C_IUNKNOWN_METHODS(type)                                   \
  HRESULT (*QueryInterface)(type * This, REFIID riid, void** ppvObject); \
  ULONG (*AddRef)(type * This);                                      \
  ULONG (*Release)(type * This)

NX_C_INTERFACE(IUnknown);
struct IUnknownVtbl {
  NX_C_IUNKNOWN_METHODS(IUnknown);
};

NX_C_INTERFACE(IClassFactory);
struct IClassFactoryVtbl {
  NX_C_IUNKNOWN_METHODS(IClassFactory);
  HRESULT (*CreateInstance)(IClassFactory* This, IUnknown* pUnkOuter, REFIID riid, void** ppvObject);
  HRESULT (*LockServer)(IClassFactory* This, BOOL fLock);
};

NX_C_INTERFACE(IMalloc);
struct IMallocVtbl {
  NX_C_IUNKNOWN_METHODS(IMalloc);
  void* (*Alloc)(IMalloc* This, SIZE_T cb);
  void* (*Realloc)(IMalloc* This, void* pv, SIZE_T cb);
  void (*Free)(IMalloc* This, void* pv);
  SIZE_T (*GetSize)(IMalloc* This, void* pv);
  int (*DidAlloc)(IMalloc* This, void* pv);
  void (*HeapMinimize)(IMalloc* This);
};
#endif
typedef IUnknown* LPUNKNOWN;
typedef IClassFactory* LPCLASSFACTORY;
typedef IMalloc* LPMALLOC;

// Progress reports of a long operation: the current and the maximum amount, whether
// the amounts are exact, and whether the receiver owns the operation.
#ifdef __cplusplus
inline constexpr IID IID_IProgressNotify = nx::Guid("A9D758A0-4617-11CF-95FC-00AA00680DB4");
struct IProgressNotify : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnProgress(DWORD progressCurrent, DWORD progressMaximum, BOOL accurate,
                                               BOOL owner) = 0;
};
#else
NX_C_GUID(IID, IID_IProgressNotify, 0xA9D758A0, 0x4617, 0x11CF, 0x95, 0xFC, 0x00, 0xAA, 0x00, 0x68, 0x0D, 0xB4);
NX_C_INTERFACE(IProgressNotify);
struct IProgressNotifyVtbl {
  NX_C_IUNKNOWN_METHODS(IProgressNotify);
  HRESULT (*OnProgress)(IProgressNotify* This, DWORD progressCurrent, DWORD progressMaximum, BOOL accurate,
                        BOOL owner);
};
#endif

// ---- task allocator -------------------------------------------------------------------
// Blocks handed between modules (strings, records, vectors of PROPVARIANTs) come from
// here and are freed here; never mix them with malloc/free or new/delete.
// CoTaskMemAlloc(0) gives a valid zero-size block. CoTaskMemRealloc(nullptr, cb) is
// an allocation; CoTaskMemRealloc(pv, 0) frees pv and returns nullptr; a failed
// reallocation returns nullptr and leaves pv untouched. CoTaskMemFree(nullptr) does nothing.
NXPAL_API LPVOID CoTaskMemAlloc(SIZE_T cb);
NXPAL_API LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
NXPAL_API void CoTaskMemFree(LPVOID pv);

NX_CONST(DWORD, MEMCTX_TASK, 1);
// The process's task allocator as an IMalloc (one object for the whole process; its
// Release never frees it). dwMemContext must be MEMCTX_TASK: otherwise, or with a null
// ppMalloc, E_INVALIDARG. IMalloc::GetSize gives the size asked for at allocation;
// IMalloc::DidAlloc answers -1 ("cannot tell"), which Windows allows.
NXPAL_API HRESULT CoGetMalloc(DWORD dwMemContext, LPMALLOC* ppMalloc);

// ---- class creation -------------------------------------------------------------------
NX_CONST(DWORD, CLSCTX_INPROC_SERVER, 0x1);
NX_CONST(DWORD, CLSCTX_INPROC_HANDLER, 0x2);
NX_CONST(DWORD, CLSCTX_LOCAL_SERVER, 0x4);
NX_CONST(DWORD, CLSCTX_REMOTE_SERVER, 0x10);
NX_CONST(DWORD, CLSCTX_INPROC, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER);
NX_CONST(DWORD, CLSCTX_SERVER, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER);
NX_CONST(DWORD, CLSCTX_ALL, CLSCTX_INPROC | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER);

// The export every in-process server provides (C linkage, found with dlsym). Declared
// here so that a server's definition is exported even though libraries build with
// hidden visibility.
typedef HRESULT (*LPFNGETCLASSOBJECT)(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
NX_EXTERN_C NX_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);

// Creates an object of an in-process server. Only servers are known here: the library
// is the default value of HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{clsid}\InprocServer32
// (a file path, or a bare name that dlopen searches for). It is loaded once and stays
// loaded for the life of the process. Results, first match wins:
//   ppv null                                    E_POINTER (otherwise *ppv is nulled first)
//   dwClsContext without CLSCTX_INPROC_SERVER,
//   no such key, or no string default value     REGDB_E_CLASSNOTREG
//   the registry cannot be read                 REGDB_E_READREGDB
//   the library cannot be loaded                HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)
//   the library exports no DllGetClassObject    CO_E_ERRORINDLL
//   DllGetClassObject or CreateInstance fail    their HRESULT (e.g. CLASS_E_CLASSNOTAVAILABLE,
//                                               CLASS_E_NOAGGREGATION, E_NOINTERFACE)
// CoInitialize is not needed (and not offered): there are no apartments here.
NXPAL_API HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                   LPVOID* ppv);

// ---- PROPVARIANT ------------------------------------------------------------------------
// In C the enumeration has no fixed type; PROPVARIANT::vt is a VARTYPE in both languages.
#ifdef __cplusplus
enum VARENUM : VARTYPE {
#else
enum VARENUM {
#endif
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_PTR = 26,
  VT_SAFEARRAY = 27,
  VT_CARRAY = 28,
  VT_USERDEFINED = 29,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_RECORD = 36,
  VT_INT_PTR = 37,
  VT_UINT_PTR = 38,
  VT_FILETIME = 64,
  VT_BLOB = 65,
  VT_STREAM = 66,
  VT_STORAGE = 67,
  VT_STREAMED_OBJECT = 68,
  VT_STORED_OBJECT = 69,
  VT_BLOB_OBJECT = 70,
  VT_CF = 71,
  VT_CLSID = 72,
  VT_VERSIONED_STREAM = 73,
  VT_BSTR_BLOB = 0x0FFF,
  VT_VECTOR = 0x1000,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_RESERVED = 0x8000,
  VT_ILLEGAL = 0xFFFF,
  VT_ILLEGALMASKED = 0x0FFF,
  VT_TYPEMASK = 0x0FFF,
};

typedef SHORT VARIANT_BOOL;
NX_CONST(VARIANT_BOOL, VARIANT_TRUE, -1);
NX_CONST(VARIANT_BOOL, VARIANT_FALSE, 0);
typedef double DATE;
typedef float FLOAT;
typedef double DOUBLE;

typedef struct BLOB BLOB;
struct BLOB {
  ULONG cbSize;
  BYTE* pBlobData;
};
typedef BLOB* LPBLOB;

typedef struct PROPVARIANT PROPVARIANT;

// Counted arrays of VT_VECTOR types: the element count, then the task-allocator block.
#define NX_COUNTED_ARRAY(name, type) \
  typedef struct name {              \
    ULONG cElems;                    \
    type* pElems;                    \
  } name
NX_COUNTED_ARRAY(CAC, CHAR);
NX_COUNTED_ARRAY(CAUB, UCHAR);
NX_COUNTED_ARRAY(CAI, SHORT);
NX_COUNTED_ARRAY(CAUI, USHORT);
NX_COUNTED_ARRAY(CAL, LONG);
NX_COUNTED_ARRAY(CAUL, ULONG);
NX_COUNTED_ARRAY(CAH, LARGE_INTEGER);
NX_COUNTED_ARRAY(CAUH, ULARGE_INTEGER);
NX_COUNTED_ARRAY(CAFLT, FLOAT);
NX_COUNTED_ARRAY(CADBL, DOUBLE);
NX_COUNTED_ARRAY(CABOOL, VARIANT_BOOL);
NX_COUNTED_ARRAY(CASCODE, SCODE);
NX_COUNTED_ARRAY(CADATE, DATE);
NX_COUNTED_ARRAY(CAFILETIME, FILETIME);
NX_COUNTED_ARRAY(CACLSID, CLSID);
NX_COUNTED_ARRAY(CALPSTR, LPSTR);
NX_COUNTED_ARRAY(CALPWSTR, LPWSTR);
NX_COUNTED_ARRAY(CAPROPVARIANT, PROPVARIANT);
#undef NX_COUNTED_ARRAY

// The Windows layout: the type, three reserved words, then the value at offset 8.
// Every pointer in a PROPVARIANT is owned by it and comes from the task allocator
// (interface pointers hold one reference); PropVariantClear frees them.
struct PROPVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    CHAR cVal;
    UCHAR bVal;
    SHORT iVal;
    USHORT uiVal;
    LONG lVal;
    ULONG ulVal;
    INT intVal;
    UINT uintVal;
    LARGE_INTEGER hVal;
    ULARGE_INTEGER uhVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    DATE date;
    FILETIME filetime;
    CLSID* puuid;
    BLOB blob;
    LPSTR pszVal;
    LPWSTR pwszVal;
    IUnknown* punkVal;
    CAC cac;
    CAUB caub;
    CAI cai;
    CAUI caui;
    CAL cal;
    CAUL caul;
    CAH cah;
    CAUH cauh;
    CAFLT caflt;
    CADBL cadbl;
    CABOOL cabool;
    CASCODE cascode;
    CADATE cadate;
    CAFILETIME cafiletime;
    CACLSID cauuid;
    CALPSTR calpstr;
    CALPWSTR calpwstr;
    CAPROPVARIANT capropvar;
  };
};
typedef PROPVARIANT* LPPROPVARIANT;
#ifdef __cplusplus
typedef const PROPVARIANT& REFPROPVARIANT;
#else
typedef const PROPVARIANT* REFPROPVARIANT;
#endif
NX_STATIC_ASSERT(sizeof(PROPVARIANT) == 24);
NX_STATIC_ASSERT(offsetof(PROPVARIANT, wReserved3) == 6 && offsetof(PROPVARIANT, bVal) == 8);
NX_STATIC_ASSERT(offsetof(PROPVARIANT, caub) == 8 && offsetof(CAUB, pElems) == 8);

// Zeroes the whole value (VT_EMPTY); the union is wider than its first member.
#ifdef __cplusplus
inline void PropVariantInit(PROPVARIANT* pvar) { std::memset(pvar, 0, sizeof(PROPVARIANT)); }
#else
static inline void PropVariantInit(PROPVARIANT* pvar) { memset(pvar, 0, sizeof(PROPVARIANT)); }
#endif

// Frees what the value owns and leaves the whole PROPVARIANT zero (VT_EMPTY); S_OK, also
// for a null pointer. Owned here, freed with the task allocator: VT_LPSTR, VT_LPWSTR,
// VT_CLSID, VT_BLOB, VT_BLOB_OBJECT and every VT_VECTOR block, with the strings of
// VT_VECTOR|VT_LPSTR/VT_LPWSTR and, recursively, the values of VT_VECTOR|VT_VARIANT.
// Released: VT_UNKNOWN, VT_DISPATCH, VT_STREAM, VT_STORAGE, VT_STREAMED_OBJECT,
// VT_STORED_OBJECT (null pointers are skipped). Plain values own nothing.
// Any other type (including VT_BSTR, VT_CF, VT_ARRAY and VT_BYREF forms, whose allocators
// this layer does not have) gives STG_E_INVALIDPARAMETER, frees nothing and, as on
// Windows, still zeroes the PROPVARIANT.
NXPAL_API HRESULT PropVariantClear(PROPVARIANT* pvar);

// Deep copy into *pvarDest, which is overwritten without being cleared first: owned
// blocks are duplicated with the task allocator and interfaces get one more reference.
// Null arguments: E_INVALIDARG; a type PropVariantClear refuses: STG_E_INVALIDPARAMETER;
// out of memory: E_OUTOFMEMORY. On failure *pvarDest is VT_EMPTY and nothing leaks.
NXPAL_API HRESULT PropVariantCopy(PROPVARIANT* pvarDest, const PROPVARIANT* pvarSrc);
