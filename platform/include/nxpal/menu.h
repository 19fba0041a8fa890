// Popup menus as objects: created, filled with text items and separators, inspected and
// destroyed. Nothing here draws a menu; windowed programs show one from what these
// functions report.
#pragma once

#include "errors.h"
#include "export.h"
#include "types.h"

// How uPosition / uId are meant.
NX_CONST(UINT, MF_BYCOMMAND, 0x00000000);
NX_CONST(UINT, MF_BYPOSITION, 0x00000400);
// Kind and state of an item.
NX_CONST(UINT, MF_STRING, 0x00000000);
NX_CONST(UINT, MF_ENABLED, 0x00000000);
NX_CONST(UINT, MF_UNCHECKED, 0x00000000);
NX_CONST(UINT, MF_GRAYED, 0x00000001);
NX_CONST(UINT, MF_DISABLED, 0x00000002);
NX_CONST(UINT, MF_CHECKED, 0x00000008);
NX_CONST(UINT, MF_SEPARATOR, 0x00000800);

// A new, empty popup menu; NULL with ERROR_NOT_ENOUGH_MEMORY.
NXPAL_API HMENU CreatePopupMenu(void);
// FALSE with ERROR_INVALID_MENU_HANDLE (1401) for a handle that is not a live menu.
// Handle values are never reused, so a destroyed handle stays invalid.
NXPAL_API BOOL DestroyMenu(HMENU hMenu);
// The number of items; -1 with ERROR_INVALID_MENU_HANDLE (1401) for a handle that is not
// a live menu.
NXPAL_API int GetMenuItemCount(HMENU hMenu);

// Inserts a text item (MF_STRING with the text lpNewItem, null meaning empty, and the
// command id uIDNewItem) or a separator (MF_SEPARATOR: id 0, no text) before the item
// that uPosition names. MF_BYPOSITION: a position at or past the end (e.g. -1) appends.
// MF_BYCOMMAND: before the first item whose command id is uPosition (separators are not
// matched). MF_GRAYED, MF_DISABLED and MF_CHECKED set the item's state.
// Failures: FALSE with ERROR_INVALID_MENU_HANDLE (1401) for a handle that is not a live
// menu, ERROR_MENU_ITEM_NOT_FOUND (1456) when no item has that command id,
// ERROR_NOT_SUPPORTED (50) for submenus, bitmaps, owner-drawn items and other flags this
// layer does not keep, ERROR_INVALID_PARAMETER (87) for a command id above 0xFFFF,
// ERROR_NOT_ENOUGH_MEMORY (8).
NXPAL_API BOOL InsertMenuW(HMENU hMenu, UINT uPosition, UINT uFlags, UINT_PTR uIDNewItem, LPCWSTR lpNewItem);
// InsertMenuW at the end (MF_BYPOSITION is implied).
NXPAL_API BOOL AppendMenuW(HMENU hMenu, UINT uFlags, UINT_PTR uIDNewItem, LPCWSTR lpNewItem);

// The command id of the item at nPos (0 for a separator); (UINT)-1 for a position out of
// range or a handle that is not a live menu (ERROR_INVALID_MENU_HANDLE (1401)).
NXPAL_API UINT GetMenuItemID(HMENU hMenu, int nPos);
// The kind and state flags of the item that uId names (uFlags MF_BYCOMMAND or
// MF_BYPOSITION): MF_SEPARATOR, MF_GRAYED, MF_DISABLED, MF_CHECKED; (UINT)-1 when there
// is no such item or the handle is not a live menu (ERROR_INVALID_MENU_HANDLE (1401)).
NXPAL_API UINT GetMenuState(HMENU hMenu, UINT uId, UINT uFlags);
// The text of the item that uItem names (uFlag MF_BYCOMMAND or MF_BYPOSITION), as
// GetWindowText: copies at most cchMax - 1 characters and a terminator and returns the
// characters copied; with lpString null returns the text's length. 0 for a separator, no
// such item, or a handle that is not a live menu (ERROR_INVALID_MENU_HANDLE (1401)).
NXPAL_API int GetMenuStringW(HMENU hMenu, UINT uItem, LPWSTR lpString, int cchMax, UINT uFlag);
