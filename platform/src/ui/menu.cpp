// Popup menus: the table of live menu handles and the items each menu holds.
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "nxpal/menu.h"

namespace {

struct MenuItem {
  UINT flags = 0;  // MF_SEPARATOR and the state flags
  UINT id = 0;  // command id; 0 for separators
  std::u16string text;
};

struct Menu {
  std::vector<MenuItem> items;
};

// Live menus by handle value. Values count up from a base and are never reused, so a
// destroyed or invented handle is simply not found; menus are reached only through
// this table. Never destroyed (other modules' statics may still destroy menus at exit).
struct MenuTable {
  std::mutex mutex;  // guards everything below and every menu's items
  std::map<uintptr_t, std::unique_ptr<Menu>> menus;
  uintptr_t next = 0x20000;
};

MenuTable& Menus() {
  static auto* const table = new MenuTable;
  return *table;
}

constexpr uintptr_t kHandleStep = 4;
constexpr UINT kStateFlags = MF_GRAYED | MF_DISABLED | MF_CHECKED;
constexpr UINT kInsertFlags = MF_BYPOSITION | MF_SEPARATOR | kStateFlags;

// The menu behind a handle; the caller holds the table's mutex.
Menu* Find(MenuTable& t, HMENU hMenu) {
  auto it = t.menus.find(reinterpret_cast<uintptr_t>(hMenu));
  return it == t.menus.end() ? nullptr : it->second.get();
}

// Index of the item that uItem names, or -1.
long Locate(const Menu& m, UINT uItem, UINT uFlags) {
  if (uFlags & MF_BYPOSITION) return uItem < m.items.size() ? static_cast<long>(uItem) : -1;
  for (size_t i = 0; i < m.items.size(); ++i)
    if (!(m.items[i].flags & MF_SEPARATOR) && m.items[i].id == uItem) return static_cast<long>(i);
  return -1;
}

DWORD Insert(HMENU hMenu, UINT uPosition, UINT uFlags, UINT_PTR uIDNewItem, LPCWSTR lpNewItem) {
  if (uFlags & ~kInsertFlags) return ERROR_NOT_SUPPORTED;
  const bool separator = (uFlags & MF_SEPARATOR) != 0;
  if (!separator && uIDNewItem > 0xFFFF) return ERROR_INVALID_PARAMETER;
  MenuItem item;
  item.flags = uFlags & (MF_SEPARATOR | kStateFlags);
  if (!separator) {
    item.id = static_cast<UINT>(uIDNewItem);
    if (lpNewItem) item.text = lpNewItem;
  }
  MenuTable& t = Menus();
  std::lock_guard lock(t.mutex);
  Menu* m = Find(t, hMenu);
  if (!m) return ERROR_INVALID_MENU_HANDLE;
  size_t at = m->items.size();
  if (uFlags & MF_BYPOSITION) {
    if (uPosition < at) at = uPosition;
  } else {
    long found = Locate(*m, uPosition, MF_BYCOMMAND);
    if (found < 0) return ERROR_MENU_ITEM_NOT_FOUND;
    at = static_cast<size_t>(found);
  }
  m->items.insert(m->items.begin() + static_cast<std::ptrdiff_t>(at), std::move(item));
  return ERROR_SUCCESS;
}

// Runs f on the item named by uItem under the table's mutex; `missing` when there is
// none (last error ERROR_INVALID_MENU_HANDLE (1401) for a dead handle).
template <class R, class F>
R WithItem(HMENU hMenu, UINT uItem, UINT uFlags, R missing, F f) {
  MenuTable& t = Menus();
  std::lock_guard lock(t.mutex);
  Menu* m = Find(t, hMenu);
  if (!m) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return missing;
  }
  long i = Locate(*m, uItem, uFlags);
  return i < 0 ? missing : f(m->items[static_cast<size_t>(i)]);
}

}  // namespace

HMENU CreatePopupMenu() {
  try {
    MenuTable& t = Menus();
    std::lock_guard lock(t.mutex);
    uintptr_t handle = t.next;
    t.menus.emplace(handle, std::make_unique<Menu>());
    t.next += kHandleStep;
    return reinterpret_cast<HMENU>(handle);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

BOOL DestroyMenu(HMENU hMenu) {
  MenuTable& t = Menus();
  std::unique_ptr<Menu> gone;  // freed after the mutex is left
  {
    std::lock_guard lock(t.mutex);
    auto it = t.menus.find(reinterpret_cast<uintptr_t>(hMenu));
    if (it != t.menus.end()) {
      gone = std::move(it->second);
      t.menus.erase(it);
    }
  }
  if (!gone) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return FALSE;
  }
  return TRUE;
}

int GetMenuItemCount(HMENU hMenu) {
  MenuTable& t = Menus();
  std::lock_guard lock(t.mutex);
  Menu* m = Find(t, hMenu);
  if (!m) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return -1;
  }
  return static_cast<int>(m->items.size());
}

BOOL InsertMenuW(HMENU hMenu, UINT uPosition, UINT uFlags, UINT_PTR uIDNewItem, LPCWSTR lpNewItem) {
  DWORD error;
  try {
    error = Insert(hMenu, uPosition, uFlags, uIDNewItem, lpNewItem);
  } catch (const std::bad_alloc&) {
    error = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

BOOL AppendMenuW(HMENU hMenu, UINT uFlags, UINT_PTR uIDNewItem, LPCWSTR lpNewItem) {
  return InsertMenuW(hMenu, static_cast<UINT>(-1), uFlags | MF_BYPOSITION, uIDNewItem, lpNewItem);
}

UINT GetMenuItemID(HMENU hMenu, int nPos) {
  if (nPos < 0) return static_cast<UINT>(-1);
  return WithItem(hMenu, static_cast<UINT>(nPos), MF_BYPOSITION, static_cast<UINT>(-1),
                  [](const MenuItem& item) { return item.id; });
}

UINT GetMenuState(HMENU hMenu, UINT uId, UINT uFlags) {
  return WithItem(hMenu, uId, uFlags, static_cast<UINT>(-1), [](const MenuItem& item) { return item.flags; });
}

int GetMenuStringW(HMENU hMenu, UINT uItem, LPWSTR lpString, int cchMax, UINT uFlag) {
  return WithItem(hMenu, uItem, uFlag, 0, [&](const MenuItem& item) {
    const int length = static_cast<int>(item.text.size());
    if (!lpString) return length;
    if (cchMax <= 0) return 0;
    const int n = length < cchMax - 1 ? length : cchMax - 1;
    item.text.copy(lpString, static_cast<size_t>(n));
    lpString[n] = 0;
    return n;
  });
}
