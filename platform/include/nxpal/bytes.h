// Little-endian integers and UTF-16LE text at any byte offset: the one coding of every
// on-disk and wire layout (FAT records, the paged-file records, the recorder's
// configuration block, registry data). Independent of the host's byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nx {

constexpr uint16_t LoadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
constexpr uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
constexpr uint64_t LoadLe64(const uint8_t* p) {
  return static_cast<uint64_t>(LoadLe32(p)) | (static_cast<uint64_t>(LoadLe32(p + 4)) << 32);
}

constexpr void StoreLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
constexpr void StoreLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
constexpr void StoreLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The same over char buffers (std::string holding bytes).
inline uint16_t LoadLe16(const char* p) { return LoadLe16(reinterpret_cast<const uint8_t*>(p)); }
inline uint32_t LoadLe32(const char* p) { return LoadLe32(reinterpret_cast<const uint8_t*>(p)); }
inline uint64_t LoadLe64(const char* p) { return LoadLe64(reinterpret_cast<const uint8_t*>(p)); }
inline void StoreLe16(char* p, uint16_t v) { StoreLe16(reinterpret_cast<uint8_t*>(p), v); }
inline void StoreLe32(char* p, uint32_t v) { StoreLe32(reinterpret_cast<uint8_t*>(p), v); }
inline void StoreLe64(char* p, uint64_t v) { StoreLe64(reinterpret_cast<uint8_t*>(p), v); }

// s as UTF-16LE: 2 * s.size() bytes from p.
constexpr void PutUtf16Le(uint8_t* p, std::u16string_view s) {
  for (size_t i = 0; i < s.size(); ++i) StoreLe16(p + 2 * i, s[i]);
}
// `units` UTF-16LE code units from p.
inline std::u16string GetUtf16Le(const uint8_t* p, size_t units) {
  std::u16string s(units, u'\0');
  for (size_t i = 0; i < units; ++i) s[i] = static_cast<char16_t>(LoadLe16(p + 2 * i));
  return s;
}

// UTF-16LE bytes of s in a byte string, and back (an odd last byte is left out).
inline std::string Utf16LeBytes(std::u16string_view s) {
  std::string out(2 * s.size(), '\0');
  PutUtf16Le(reinterpret_cast<uint8_t*>(out.data()), s);
  return out;
}
inline std::u16string FromUtf16LeBytes(std::string_view bytes) {
  return GetUtf16Le(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size() / 2);
}

}  // namespace nx
