/* A C program from outside the project, built against the installed headers and libraries:
   it calls functions of both libraries and checks each answer; exit status 1 on the first
   wrong one. */
#include <stdio.h>
#include <string.h>

#include <vkbth.h>
#include <vkrt.h>

static int failed(const char* what) {
  fprintf(stderr, "outside C program: %s\n", what);
  return 1;
}

int main(void) {
  VKBTSELECTPARAMS params;
  HVKBTDEVICE device = NULL;
  HANDLE block = NULL;
  void* view = NULL;
  PROPVARIANT pv;
  DWORD flags = 0;

  /* A link time limit asked of no link: refused with the invalid-parameter error. */
  SetLastError(0);
  if (vkbtGetTimeout(NULL) != 0 || GetLastError() != ERROR_INVALID_PARAMETER)
    return failed("vkbtGetTimeout(NULL) was not refused with 87");

  /* The selection dialog over a parent that is no window: refused before any window. */
  memset(&params, 0, sizeof params);
  params.dwSize = sizeof params;
  params.hwndParent = (HWND)(ULONG_PTR)0x1234;
  params.ulChannel = 1;
  SetLastError(0);
  if (vkbtSelectDevice(&params, &device) != 0 || GetLastError() != ERROR_INVALID_WINDOW_HANDLE || device)
    return failed("vkbtSelectDevice over a parent that is not a window was not refused with 1400");

  /* A shared memory block made, locked for 4 KiB, written, unlocked and closed. */
  if (vkSMCreate(&block) != 0 || !block) return failed("vkSMCreate failed");
  if (vkSMLock(block, 4096, &view) != 0 || !view) return failed("vkSMLock failed");
  ((unsigned char*)view)[4095] = 0x5A;
  if (vkSMGetSize(block) != 4096) return failed("the block's size is not 4096");
  if (vkSMUnlock(block) != 0) return failed("vkSMUnlock left a lock");
  if (!vkSMClose(block)) return failed("vkSMClose failed");
  SetLastError(0);
  if (vkSMUnlock(block) != -1 || GetLastError() != ERROR_INVALID_HANDLE)
    return failed("a closed block was not refused with 6");

  /* Flags 0, 2 and 31 as a byte vector 1, 3, 32, and back. */
  PropVariantInit(&pv);
  if (vkPropVariantFromBitFlags(0x80000005u, &pv) != S_OK) return failed("vkPropVariantFromBitFlags failed");
  if (pv.vt != (VT_VECTOR | VT_UI1) || pv.caub.cElems != 3 || pv.caub.pElems[0] != 1 || pv.caub.pElems[1] != 3 ||
      pv.caub.pElems[2] != 32)
    return failed("vkPropVariantFromBitFlags gave the wrong vector");
  if (vkPropVariantToBitFlags(&pv, &flags) != S_OK || flags != 0x80000005u)
    return failed("vkPropVariantToBitFlags did not give the flags back");
  if (PropVariantClear(&pv) != S_OK || pv.vt != VT_EMPTY) return failed("PropVariantClear failed");

  puts("outside C program: vkbth and vkrt answer");
  return 0;
}
