// Message boxes: one entry point (owner, text, caption, style bits) returning the
// Win32 button id. A program with windows installs a hook that shows a real dialog;
// without one the message goes to stderr and the default button is the answer.
#pragma once

#include "export.h"
#include "types.h"

// Buttons (style & MB_TYPEMASK).
NX_CONST(UINT, MB_OK, 0x0);
NX_CONST(UINT, MB_OKCANCEL, 0x1);
NX_CONST(UINT, MB_ABORTRETRYIGNORE, 0x2);
NX_CONST(UINT, MB_YESNOCANCEL, 0x3);
NX_CONST(UINT, MB_YESNO, 0x4);
NX_CONST(UINT, MB_RETRYCANCEL, 0x5);
NX_CONST(UINT, MB_CANCELTRYCONTINUE, 0x6);
NX_CONST(UINT, MB_TYPEMASK, 0xF);
// Icons (style & MB_ICONMASK).
NX_CONST(UINT, MB_ICONHAND, 0x10);
NX_CONST(UINT, MB_ICONERROR, 0x10);
NX_CONST(UINT, MB_ICONSTOP, 0x10);
NX_CONST(UINT, MB_ICONQUESTION, 0x20);
NX_CONST(UINT, MB_ICONEXCLAMATION, 0x30);
NX_CONST(UINT, MB_ICONWARNING, 0x30);
NX_CONST(UINT, MB_ICONASTERISK, 0x40);
NX_CONST(UINT, MB_ICONINFORMATION, 0x40);
NX_CONST(UINT, MB_USERICON, 0x80);  // MessageBoxIndirectW only: lpszIcon of hInstance
NX_CONST(UINT, MB_ICONMASK, 0xF0);
// Default button (style & MB_DEFMASK).
NX_CONST(UINT, MB_DEFBUTTON1, 0x000);
NX_CONST(UINT, MB_DEFBUTTON2, 0x100);
NX_CONST(UINT, MB_DEFBUTTON3, 0x200);
NX_CONST(UINT, MB_DEFBUTTON4, 0x300);
NX_CONST(UINT, MB_DEFMASK, 0xF00);
// Modality and placement.
NX_CONST(UINT, MB_APPLMODAL, 0x0);
NX_CONST(UINT, MB_SYSTEMMODAL, 0x1000);
NX_CONST(UINT, MB_TASKMODAL, 0x2000);
NX_CONST(UINT, MB_SETFOREGROUND, 0x10000);
NX_CONST(UINT, MB_TOPMOST, 0x40000);

// Button ids.
NX_CONST(int, IDOK, 1);
NX_CONST(int, IDCANCEL, 2);
NX_CONST(int, IDABORT, 3);
NX_CONST(int, IDRETRY, 4);
NX_CONST(int, IDIGNORE, 5);
NX_CONST(int, IDYES, 6);
NX_CONST(int, IDNO, 7);
NX_CONST(int, IDTRYAGAIN, 10);
NX_CONST(int, IDCONTINUE, 11);

// Shows the message and returns the id of the button chosen. Text and caption may be null
// (empty text; the caption "Ошибка"). 0 with last error ERROR_INVALID_PARAMETER (87) for
// unknown button bits.
NXPAL_API int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style);
NXPAL_API int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style);

// The record of MessageBoxIndirectW, with Windows' field order.
typedef struct HELPINFO HELPINFO;
typedef void (*MSGBOXCALLBACK)(HELPINFO* help);
typedef struct MSGBOXPARAMSW MSGBOXPARAMSW;
struct MSGBOXPARAMSW {
  UINT cbSize;  // sizeof(MSGBOXPARAMSW)
  HWND hwndOwner;
  HINSTANCE hInstance;  // module of the string ids in lpszText and lpszCaption
  LPCWSTR lpszText;  // text, or MAKEINTRESOURCEW(string id of hInstance)
  LPCWSTR lpszCaption;  // caption, string id, or null
  DWORD dwStyle;  // MB_ bits as for MessageBoxW, plus MB_USERICON
  LPCWSTR lpszIcon;  // with MB_USERICON: icon of hInstance (not shown here)
  DWORD_PTR dwContextHelpId;  // kept for the help callback; no help button is shown
  MSGBOXCALLBACK lpfnMsgBoxCallback;  // never called: no help button
  DWORD dwLanguageId;  // the buttons follow the desktop's language whatever this says
};

// MessageBoxW with the text and caption taken from the module's string table when they
// are string ids (a missing string gives an empty text). A user icon is not shown: the
// box then has no icon. 0 with ERROR_INVALID_PARAMETER (87) for a null record, a wrong
// cbSize or unknown buttons.
NXPAL_API int MessageBoxIndirectW(const MSGBOXPARAMSW* params);

// The hook receives the checked arguments (caption never null) and returns a button id
// of the style's buttons. Returns the previous hook; null restores the stderr default.
typedef int (*NxMessageBoxHook)(void* context, HWND owner, LPCWSTR text, LPCWSTR caption, UINT style);
NXPAL_API NxMessageBoxHook NxSetMessageBoxHook(NxMessageBoxHook hook, void* context);

// The buttons of a style in display order, and the default one (for hooks that draw).
// Returns the number of buttons (0 for unknown button bits); ids receives up to 3.
NXPAL_API int NxMessageBoxButtons(UINT style, int ids[3], int* defaultId);
