// vkbtSelectDevice: checks the arguments, keeps the window rectangle (registry or the
// caller's buffer), runs dialog 102 modally and hands out the chosen record.
#include <QApplication>

#include <cstring>

#include "nxqt/nxqt.h"
#include "selectdlg.h"

namespace vkbth {
namespace {

constexpr DWORD kRectBytes = sizeof(RECT);

void LoadRect(VKBTSelectDialog& state) {
  const VKBTSELECTPARAMS& p = state.params;
  if (p.dwFlags & VKBTSP_RECT_BUFFER) {
    if (p.cbRect == kRectBytes && !IsBadReadPtr(p.pvRect, kRectBytes)) std::memcpy(&state.rect, p.pvRect, kRectBytes);
  } else if (p.dwFlags & VKBTSP_RECT_REGISTRY) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, p.pszKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    RECT rect{};
    DWORD size = kRectBytes;
    if (RegQueryValueExW(key, p.pszValueName, nullptr, nullptr, reinterpret_cast<BYTE*>(&rect), &size) ==
        ERROR_SUCCESS)
      std::memcpy(&state.rect, &rect, size);
    RegCloseKey(key);
  }
}

// With the buffer flag the caller's record receives the byte count and possibly a
// buffer of ours: nothing is written into a record or buffer that cannot be written.
void SaveRect(const VKBTSelectDialog& state, VKBTSELECTPARAMS* params) {
  const VKBTSELECTPARAMS& p = state.params;
  if (p.dwFlags & VKBTSP_RECT_BUFFER) {
    if (IsBadWritePtr(params, sizeof(*params))) return;
    void* buffer = p.pvRect;
    if (IsBadWritePtr(buffer, kRectBytes)) {
      if (buffer) return;
      buffer = CoTaskMemAlloc(kRectBytes);
      if (!buffer) return;
      params->pvRect = buffer;
    }
    params->cbRect = kRectBytes;
    std::memcpy(buffer, &state.rect, kRectBytes);
  } else if (p.dwFlags & VKBTSP_RECT_REGISTRY) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, p.pszKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
      return;
    RegSetValueExW(key, p.pszValueName, 0, REG_BINARY, reinterpret_cast<const BYTE*>(&state.rect), kRectBytes);
    RegCloseKey(key);
  }
}

DWORD SelectDevice(VKBTSELECTPARAMS* params, HVKBTDEVICE* out, INT_PTR* code) {
  nxqt::ApplicationScope application;  // a plain program gets one for the call
  if (!application.Ok()) return ERROR_NOT_SUPPORTED;
  VKBTSelectDialog state{};
  InitializeCriticalSection(&state.lock);
  state.params = *params;
  LoadRect(state);
  {
    SelectionWindow window(&state, nxqt::FromHwnd(params->hwndParent));
    *code = window.exec();
  }  // the window and its list are gone: the list's references are given back
  if (*code != 0 && state.chosen) {
    AddRefDevice(state.chosen);
    *out = state.chosen;
  }
  if (state.chosen) ReleaseDevice(state.chosen);
  SaveRect(state, params);
  DeleteCriticalSection(&state.lock);
  return ERROR_SUCCESS;
}

}  // namespace
}  // namespace vkbth

INT_PTR vkbtSelectDevice(VKBTSELECTPARAMS* params, HVKBTDEVICE* device) {
  DWORD error = ERROR_SUCCESS;
  INT_PTR code = 0;
  if (IsBadReadPtr(params, sizeof(*params)) || IsBadWritePtr(device, sizeof(*device)))
    error = ERROR_INVALID_PARAMETER;
  else if (params->hwndParent && !IsWindow(params->hwndParent))
    error = ERROR_INVALID_WINDOW_HANDLE;
  else
    error = vkbth::SelectDevice(params, device, &code);
  SetLastError(error);
  return code;
}
