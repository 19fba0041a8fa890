// Address text and paths of the virtual Bluetooth transport.
#include "virtualbt.h"

#include <cstdlib>

namespace vkbth {

std::string BtAddressText(ULONGLONG address) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (int i = 5; i >= 0; --i) {
    unsigned byte = static_cast<unsigned>((address >> (8 * i)) & 0xFF);
    text += digits[byte >> 4];
    text += digits[byte & 0xF];
    if (i) text += ':';
  }
  return text;
}

bool ParseBtAddress(std::string_view text, ULONGLONG* address) {
  if (text.size() != 17) return false;
  ULONGLONG value = 0;
  for (size_t i = 0; i < 17; ++i) {
    char c = text[i];
    if (i % 3 == 2) {
      if (c != ':') return false;
      continue;
    }
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return false;
    value = (value << 4) | static_cast<ULONGLONG>(digit);
  }
  *address = value;
  return true;
}

std::string VirtualBtDir() {
  const char* dir = std::getenv("NX_BT_DIR");
  return dir && *dir ? std::string(dir) : std::string();
}

std::string VirtualSocketPath(const std::string& dir, ULONGLONG address) {
  return dir + "/" + BtAddressText(address);
}

std::string VirtualNamePath(const std::string& dir, ULONGLONG address) {
  return VirtualSocketPath(dir, address) + ".name";
}

}  // namespace vkbth
