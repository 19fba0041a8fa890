// OLE and shell interfaces for objects that take part in data notifications and context
// menus: IAdviseSink and IContextMenu with CMINVOKECOMMANDINFO.
#pragma once

#include "com.h"
#include "types.h"

// ---- IAdviseSink ----------------------------------------------------------------------
// Data formats, storage media and monikers pass through advise sinks untouched here:
// nothing in this layer looks inside them, so they stay opaque.
typedef struct FORMATETC FORMATETC;
typedef struct STGMEDIUM STGMEDIUM;
typedef struct IMoniker IMoniker;

#ifdef __cplusplus
inline constexpr IID IID_IAdviseSink = nx::Guid("0000010F-0000-0000-C000-000000000046");
#else
NX_C_GUID(IID, IID_IAdviseSink, 0x0000010F, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
#endif

typedef struct IAdviseSink IAdviseSink;
#ifdef __cplusplus
struct IAdviseSink : IUnknown {
  virtual void STDMETHODCALLTYPE OnDataChange(FORMATETC* pFormatetc, STGMEDIUM* pStgmed) = 0;
  virtual void STDMETHODCALLTYPE OnViewChange(DWORD dwAspect, LONG lindex) = 0;
  virtual void STDMETHODCALLTYPE OnRename(IMoniker* pmk) = 0;
  virtual void STDMETHODCALLTYPE OnSave() = 0;
  virtual void STDMETHODCALLTYPE OnClose() = 0;
};
#else
NX_C_INTERFACE(IAdviseSink);
struct IAdviseSinkVtbl {
  NX_C_IUNKNOWN_METHODS(IAdviseSink);
  void (*OnDataChange)(IAdviseSink* This, FORMATETC* pFormatetc, STGMEDIUM* pStgmed);
  void (*OnViewChange)(IAdviseSink* This, DWORD dwAspect, LONG lindex);
  void (*OnRename)(IAdviseSink* This, IMoniker* pmk);
  void (*OnSave)(IAdviseSink* This);
  void (*OnClose)(IAdviseSink* This);
};
#endif
typedef IAdviseSink* LPADVISESINK;

// ---- IContextMenu ---------------------------------------------------------------------
#ifdef __cplusplus
inline constexpr IID IID_IContextMenu = nx::Guid("000214E4-0000-0000-C000-000000000046");
#else
NX_C_GUID(IID, IID_IContextMenu, 0x000214E4, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
#endif

// QueryContextMenu flags (passed through to the menu's owner).
NX_CONST(UINT, CMF_NORMAL, 0x00000000);
NX_CONST(UINT, CMF_DEFAULTONLY, 0x00000001);
NX_CONST(UINT, CMF_VERBSONLY, 0x00000002);
NX_CONST(UINT, CMF_EXPLORE, 0x00000004);

// GetCommandString types: the help text of a command as UTF-16.
NX_CONST(UINT, GCS_HELPTEXTW, 0x00000005);

// The Windows field order. 36 bytes in the 32-bit original; the four pointer-sized
// fields make it 56 here, and cbSize always holds sizeof(CMINVOKECOMMANDINFO).
typedef struct CMINVOKECOMMANDINFO CMINVOKECOMMANDINFO;
struct CMINVOKECOMMANDINFO {
  DWORD cbSize;  // sizeof(CMINVOKECOMMANDINFO)
  DWORD fMask;  // CMIC_MASK_* flags; 0 here
  HWND hwnd;  // owner window of any user interface the command shows
  LPCSTR lpVerb;  // a verb text, or MAKEINTRESOURCEA(offset of the command)
  LPCSTR lpParameters;
  LPCSTR lpDirectory;
  INT nShow;  // SW_* value for a command that opens a window
  DWORD dwHotKey;
  HANDLE hIcon;
};
typedef CMINVOKECOMMANDINFO* LPCMINVOKECOMMANDINFO;
NX_STATIC_ASSERT(offsetof(CMINVOKECOMMANDINFO, hwnd) == 8 && offsetof(CMINVOKECOMMANDINFO, lpVerb) == 16);
NX_STATIC_ASSERT(offsetof(CMINVOKECOMMANDINFO, nShow) == 40 && offsetof(CMINVOKECOMMANDINFO, hIcon) == 48);
NX_STATIC_ASSERT(sizeof(CMINVOKECOMMANDINFO) == 56);

typedef struct IContextMenu IContextMenu;
#ifdef __cplusplus
struct IContextMenu : IUnknown {
  // Inserts the object's commands into hmenu from position indexMenu on, with ids from
  // idCmdFirst to at most idCmdLast. Success: MAKE_HRESULT(0, 0, number of ids used,
  // counted from idCmdFirst).
  virtual HRESULT STDMETHODCALLTYPE QueryContextMenu(HMENU hmenu, UINT indexMenu, UINT idCmdFirst, UINT idCmdLast,
                                                     UINT uFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE InvokeCommand(CMINVOKECOMMANDINFO* pici) = 0;
  // idCmd is the offset from idCmdFirst; for GCS_HELPTEXTW pszName is really an LPWSTR
  // of cchMax characters.
  virtual HRESULT STDMETHODCALLTYPE GetCommandString(UINT_PTR idCmd, UINT uType, UINT* pReserved, CHAR* pszName,
                                                     UINT cchMax) = 0;
};
#else
NX_C_INTERFACE(IContextMenu);
struct IContextMenuVtbl {
  NX_C_IUNKNOWN_METHODS(IContextMenu);
  HRESULT (*QueryContextMenu)(IContextMenu* This, HMENU hmenu, UINT indexMenu, UINT idCmdFirst, UINT idCmdLast,
                              UINT uFlags);
  HRESULT (*InvokeCommand)(IContextMenu* This, CMINVOKECOMMANDINFO* pici);
  HRESULT (*GetCommandString)(IContextMenu* This, UINT_PTR idCmd, UINT uType, UINT* pReserved, CHAR* pszName,
                              UINT cchMax);
};
#endif
typedef IContextMenu* LPCONTEXTMENU;
