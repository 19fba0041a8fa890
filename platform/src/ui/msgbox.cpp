// The message box entry point and its fallback without a window system.
#include "nxpal/msgbox.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "nxpal/errors.h"
#include "nxpal/resource.h"
#include "nxpal/text.h"

namespace {

// Guards the hook and its context; the hook itself is called without the lock.
std::mutex g_hookLock;
NxMessageBoxHook g_hook = nullptr;
void* g_hookContext = nullptr;

// Message text for a terminal: line breaks as "\n", nothing else changed.
std::string ForTerminal(std::u16string_view s) {
  std::string out;
  std::string utf8 = nx::Utf16ToUtf8(s);
  for (size_t i = 0; i < utf8.size(); ++i) {
    if (utf8[i] == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') continue;
    out += utf8[i] == '\r' ? '\n' : utf8[i];
  }
  return out;
}

}  // namespace

int NxMessageBoxButtons(UINT style, int ids[3], int* defaultId) {
  int buttons[3] = {0, 0, 0};
  int count = 0;
  switch (style & MB_TYPEMASK) {
    case MB_OK: buttons[0] = IDOK; count = 1; break;
    case MB_OKCANCEL: buttons[0] = IDOK; buttons[1] = IDCANCEL; count = 2; break;
    case MB_ABORTRETRYIGNORE: buttons[0] = IDABORT; buttons[1] = IDRETRY; buttons[2] = IDIGNORE; count = 3; break;
    case MB_YESNOCANCEL: buttons[0] = IDYES; buttons[1] = IDNO; buttons[2] = IDCANCEL; count = 3; break;
    case MB_YESNO: buttons[0] = IDYES; buttons[1] = IDNO; count = 2; break;
    case MB_RETRYCANCEL: buttons[0] = IDRETRY; buttons[1] = IDCANCEL; count = 2; break;
    case MB_CANCELTRYCONTINUE: buttons[0] = IDCANCEL; buttons[1] = IDTRYAGAIN; buttons[2] = IDCONTINUE; count = 3; break;
    default: return 0;
  }
  if (ids)
    for (int i = 0; i < 3; ++i) ids[i] = buttons[i];
  // A default beyond the buttons falls back to the first, as on Windows.
  int which = static_cast<int>((style & MB_DEFMASK) >> 8);
  if (defaultId) *defaultId = buttons[which < count ? which : 0];
  return count;
}

NxMessageBoxHook NxSetMessageBoxHook(NxMessageBoxHook hook, void* context) {
  std::lock_guard<std::mutex> g(g_hookLock);
  NxMessageBoxHook previous = g_hook;
  g_hook = hook;
  g_hookContext = context;
  return previous;
}

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
  int defaultId = 0;
  if (NxMessageBoxButtons(style, nullptr, &defaultId) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!text) text = u"";
  if (!caption) caption = u"Ошибка";
  NxMessageBoxHook hook;
  void* context;
  {
    std::lock_guard<std::mutex> g(g_hookLock);
    hook = g_hook;
    context = g_hookContext;
  }
  if (hook) return hook(context, owner, text, caption, style);
  std::string line = ForTerminal(caption) + ": " + ForTerminal(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  return defaultId;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
  std::u16string wtext = nx::Utf8ToUtf16(text ? text : "");
  std::u16string wcaption;
  if (caption) wcaption = nx::Utf8ToUtf16(caption);
  return MessageBoxW(owner, wtext.c_str(), caption ? wcaption.c_str() : nullptr, style);
}

namespace {

// A text of the record: the string itself, or the module's string for an id.
std::u16string IndirectText(HINSTANCE module, LPCWSTR text) {
  if (!text) return std::u16string();
  if (!IS_INTRESOURCE(text)) return std::u16string(text);
  LPCWSTR found = nullptr;
  const int length =
      LoadStringW(module, static_cast<UINT>(reinterpret_cast<ULONG_PTR>(text)), reinterpret_cast<LPWSTR>(&found), 0);
  return length > 0 && found ? std::u16string(found, static_cast<size_t>(length)) : std::u16string();
}

}  // namespace

int MessageBoxIndirectW(const MSGBOXPARAMSW* params) {
  if (!params || params->cbSize != sizeof(MSGBOXPARAMSW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::u16string text = IndirectText(params->hInstance, params->lpszText);
  const bool hasCaption = params->lpszCaption != nullptr;
  const std::u16string caption = IndirectText(params->hInstance, params->lpszCaption);
  UINT style = params->dwStyle;
  if (style & MB_USERICON) style &= ~MB_ICONMASK;  // the user icon replaces the standard one
  return MessageBoxW(params->hwndOwner, text.c_str(), hasCaption ? caption.c_str() : nullptr, style);
}
