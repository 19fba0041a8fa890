// Registry helpers shared by vkrt's registry families: key removal and the byte form
// of GUIDs in binary values.
#include "regkeys.h"

#include "nxpal/bytes.h"

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
  nx::StoreLe32(out, g.Data1);
  nx::StoreLe16(out + 4, g.Data2);
  nx::StoreLe16(out + 6, g.Data3);
  for (int i = 0; i < 8; ++i) out[8 + i] = g.Data4[i];
}

GUID DecodeGuid(const BYTE* in) {
  GUID g{};
  g.Data1 = nx::LoadLe32(in);
  g.Data2 = nx::LoadLe16(in + 4);
  g.Data3 = nx::LoadLe16(in + 6);
  for (int i = 0; i < 8; ++i) g.Data4[i] = in[8 + i];
  return g;
}

}  // namespace vkrt
