// Registry helpers shared by vkrt's registry families: key removal and the byte form
// of GUIDs in binary values.
#include "regkeys.h"

namespace vkrt {

HRESULT RemoveGuidKey(LPCWSTR rootPath, const GUID& guid) {
  RegKey root;
  if (LONG rc = root.Open(HKEY_LOCAL_MACHINE, rootPath, KEY_ALL_ACCESS)) return HRESULT_FROM_WIN32(rc);
  WCHAR name[NX_GUID_STRING_CCH];
  StringFromGUID2(guid, name, NX_GUID_STRING_CCH);
  DWORD subKeysLeft = nxRegCleanupKeyW(root.get(), name);
  root.Close();
  if (subKeysLeft == 0) RegDeleteKeyW(HKEY_LOCAL_MACHINE, rootPath);
  return S_OK;
}

void EncodeGuid(const GUID& g, BYTE* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<BYTE>(g.Data1 >> (8 * i));
  for (int i = 0; i < 2; ++i) out[4 + i] = static_cast<BYTE>(g.Data2 >> (8 * i));
  for (int i = 0; i < 2; ++i) out[6 + i] = static_cast<BYTE>(g.Data3 >> (8 * i));
  for (int i = 0; i < 8; ++i) out[8 + i] = g.Data4[i];
}

GUID DecodeGuid(const BYTE* in) {
  GUID g{};
  for (int i = 0; i < 4; ++i) g.Data1 |= static_cast<uint32_t>(in[i]) << (8 * i);
  g.Data2 = static_cast<uint16_t>(in[4] | (in[5] << 8));
  g.Data3 = static_cast<uint16_t>(in[6] | (in[7] << 8));
  for (int i = 0; i < 8; ++i) g.Data4[i] = in[8 + i];
  return g;
}

}  // namespace vkrt
