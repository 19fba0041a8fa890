// The virtual-table slot of a virtual member function, read from its pointer to member
// (Itanium C++ ABI: a virtual member's pointer holds 1 + its byte offset in the table).
// Classes derived in other modules depend on the slot order, so tests pin it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

template <class F>
std::ptrdiff_t VtableSlot(F member) {
  static_assert(sizeof(F) == 2 * sizeof(std::uintptr_t));
  std::uintptr_t words[2];
  std::memcpy(words, &member, sizeof(words));
  if ((words[0] & 1) == 0) return -1;  // not virtual
  return static_cast<std::ptrdiff_t>((words[0] - 1) / sizeof(void*));
}
