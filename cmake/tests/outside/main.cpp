// A program from outside the project, built against the installed package: it calls one
// function of each library and checks the answer.
#include <cstdio>

#include <vkbth.h>
#include <vkrt.h>

int main() {
  // A link time limit asked of no link: refused with the invalid-parameter error.
  if (vkbtGetTimeout(nullptr) != 0 || GetLastError() != ERROR_INVALID_PARAMETER) {
    std::fprintf(stderr, "vkbtGetTimeout(null) was not refused with 87\n");
    return 1;
  }
  // A shared memory block made, locked for 4 KiB, written, and closed.
  HANDLE block = nullptr;
  if (vkSMCreate(&block) != 0 || !block) {
    std::fprintf(stderr, "vkSMCreate failed\n");
    return 1;
  }
  void* view = nullptr;
  if (vkSMLock(block, 4096, &view) != 0 || !view) {
    std::fprintf(stderr, "vkSMLock failed\n");
    return 1;
  }
  static_cast<unsigned char*>(view)[4095] = 0x5A;
  if (vkSMGetSize(block) != 4096 || vkSMUnlock(block) != 0 || !vkSMClose(block)) {
    std::fprintf(stderr, "the block's size, unlock or close went wrong\n");
    return 1;
  }
  std::puts("outside program: vkbth and vkrt answer");
  return 0;
}
