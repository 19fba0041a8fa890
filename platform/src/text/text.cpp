// Text conversions between UTF-8, UTF-16 and Windows-1251 through glibc iconv,
// with the Win32 MultiByteToWideChar/WideCharToMultiByte contracts on top.
#include "nxpal/text.h"

#include <errno.h>
#include <iconv.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "nxpal/bytes.h"

namespace {

enum class Enc { Utf8, Utf16, Cp1251 };

const char* IconvName(Enc e) {
  switch (e) {
    case Enc::Utf8: return "UTF-8";
    case Enc::Utf16: return "UTF-16LE";
    case Enc::Cp1251: return "CP1251";
  }
  return "UTF-8";
}

// Bytes of one unit of the source encoding, to skip past an invalid sequence.
size_t UnitSize(Enc e) { return e == Enc::Utf16 ? 2 : 1; }

// Converts bytes; with strict, invalid or unmappable input fails (nullopt), otherwise
// each bad unit becomes the target's replacement (U+FFFD, or '?' in a byte code page).
std::optional<std::string> Convert(Enc from, Enc to, const char* src, size_t len, bool strict) {
  iconv_t cd = iconv_open(IconvName(to), IconvName(from));
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  out.resize(len * 4 + 16);
  char* in = const_cast<char*>(src);
  size_t inLeft = len;
  size_t used = 0;
  std::string replacement;
  if (to == Enc::Utf16) replacement = std::string("\xFD\xFF", 2);
  else if (to == Enc::Utf8) replacement = "\xEF\xBF\xBD";
  else replacement = "?";
  bool ok = true;
  while (inLeft > 0) {
    char* dst = out.data() + used;
    size_t outLeft = out.size() - used;
    size_t r = iconv(cd, &in, &inLeft, &dst, &outLeft);
    used = out.size() - outLeft;
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    // EILSEQ (invalid or unmappable) or EINVAL (truncated at the end).
    if (strict) {
      ok = false;
      break;
    }
    size_t skip = UnitSize(from);
    // An unmappable UTF-16 surrogate pair is one character.
    if (from == Enc::Utf16 && inLeft >= 4) {
      const uint16_t u = nx::LoadLe16(in);
      if (u >= 0xD800 && u <= 0xDBFF) {
        const uint16_t v = nx::LoadLe16(in + 2);
        if (v >= 0xDC00 && v <= 0xDFFF) skip = 4;
      }
    }
    skip = std::min(skip, inLeft);
    in += skip;
    inLeft -= skip;
    if (out.size() - used < replacement.size()) out.resize(out.size() * 2 + replacement.size());
    std::memcpy(out.data() + used, replacement.data(), replacement.size());
    used += replacement.size();
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(used);
  return out;
}

std::optional<Enc> ByteCodePage(UINT cp) {
  switch (cp) {
    case CP_ACP:
    case CP_OEMCP:
    case CP_UTF8: return Enc::Utf8;
    case CP_WINDOWS_1251: return Enc::Cp1251;
    default: return std::nullopt;
  }
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH src, int srcLen, LPWSTR dst, int dstLen) {
  auto enc = ByteCodePage(codePage);
  if (!enc || !src || srcLen == 0 || srcLen < -1 || dstLen < 0 || (dstLen > 0 && !dst) ||
      (flags & ~MB_ERR_INVALID_CHARS) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t len = srcLen == -1 ? std::strlen(src) + 1 : static_cast<size_t>(srcLen);
  auto out = Convert(*enc, Enc::Utf16, src, len, (flags & MB_ERR_INVALID_CHARS) != 0);
  if (!out) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  int units = static_cast<int>(out->size() / 2);
  if (dstLen == 0) return units;
  if (units > dstLen) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(dst, out->data(), out->size());
  return units;
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH src, int srcLen, LPSTR dst, int dstLen,
                        LPCCH defaultChar, BOOL* usedDefaultChar) {
  auto enc = ByteCodePage(codePage);
  if (!enc || !src || srcLen == 0 || srcLen < -1 || dstLen < 0 || (dstLen > 0 && !dst) ||
      (flags & ~WC_ERR_INVALID_CHARS) != 0 || (*enc == Enc::Utf8 && (defaultChar || usedDefaultChar))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t len = srcLen == -1 ? nx::WStrLen(src) + 1 : static_cast<size_t>(srcLen);
  const char* bytes = reinterpret_cast<const char*>(src);
  bool strict = (flags & WC_ERR_INVALID_CHARS) != 0;
  auto out = Convert(Enc::Utf16, *enc, bytes, len * 2, strict);
  if (!out) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (*enc == Enc::Cp1251) {
    // Tell the caller whether a character had no 1251 form, and use its default char.
    auto exact = Convert(Enc::Utf16, Enc::Cp1251, bytes, len * 2, true);
    if (usedDefaultChar) *usedDefaultChar = exact ? FALSE : TRUE;
    if (!exact && defaultChar && *defaultChar != '?') {
      // Redo the conversion character by character with the caller's replacement.
      std::string redo;
      for (size_t i = 0; i < len; ++i) {
        auto one = Convert(Enc::Utf16, Enc::Cp1251, bytes + 2 * i, 2, true);
        redo += one ? *one : std::string(1, *defaultChar);
      }
      *out = redo;
    }
  }
  int n = static_cast<int>(out->size());
  if (dstLen == 0) return n;
  if (n > dstLen) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(dst, out->data(), out->size());
  return n;
}

int lstrlenW(LPCWSTR s) { return static_cast<int>(nx::WStrLen(s)); }

LPWSTR lstrcpynW(LPWSTR dst, LPCWSTR src, int max) {
  if (!dst || max <= 0) return dst;
  int i = 0;
  if (src)
    for (; i < max - 1 && src[i]; ++i) dst[i] = src[i];
  dst[i] = 0;
  return dst;
}

int lstrcmpW(LPCWSTR a, LPCWSTR b) {
  std::u16string_view x(a ? a : u""), y(b ? b : u"");
  int c = x.compare(y);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int lstrcmpiW(LPCWSTR a, LPCWSTR b) {
  std::u16string x = nx::UpperCase(a ? a : u""), y = nx::UpperCase(b ? b : u"");
  int c = x.compare(y);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

namespace nx {

std::u16string Utf8ToUtf16(std::string_view s) {
  auto out = Convert(Enc::Utf8, Enc::Utf16, s.data(), s.size(), false);
  if (!out) return {};
  std::u16string r(out->size() / 2, u'\0');
  std::memcpy(r.data(), out->data(), r.size() * 2);
  return r;
}

std::string Utf16ToUtf8(std::u16string_view s) {
  auto out = Convert(Enc::Utf16, Enc::Utf8, reinterpret_cast<const char*>(s.data()), s.size() * 2, false);
  return out ? *out : std::string();
}

std::string Utf16ToCp1251(std::u16string_view s) {
  auto out = Convert(Enc::Utf16, Enc::Cp1251, reinterpret_cast<const char*>(s.data()), s.size() * 2, false);
  return out ? *out : std::string();
}

std::u16string Cp1251ToUtf16(std::string_view s) {
  auto out = Convert(Enc::Cp1251, Enc::Utf16, s.data(), s.size(), false);
  if (!out) return {};
  std::u16string r(out->size() / 2, u'\0');
  std::memcpy(r.data(), out->data(), r.size() * 2);
  return r;
}

char16_t UpperChar(char16_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? static_cast<char16_t>(c - 32) : c;
  // Latin-1: à..þ except ÷; ÿ -> Ÿ.
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<char16_t>(c - 32);
  if (c == 0xFF) return 0x178;
  // Latin Extended-A: pairs with the capital at the even code (with the odd ranges).
  if (c >= 0x100 && c <= 0x17F) {
    bool oddCapitals = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    if (oddCapitals) return (c % 2 == 0) ? static_cast<char16_t>(c - 1) : c;
    return (c % 2 == 1) ? static_cast<char16_t>(c - 1) : c;
  }
  // Greek: α..ω (except final sigma, which maps to Σ), accented vowels.
  if (c >= 0x3B1 && c <= 0x3C9) return c == 0x3C2 ? char16_t(0x3A3) : static_cast<char16_t>(c - 32);
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return static_cast<char16_t>(c - 37);
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return static_cast<char16_t>(c - 63);
  // Cyrillic: а..я, ѐ..џ, and the pairs of the extended block.
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 32);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 80);
  if (c >= 0x460 && c <= 0x4FF && c != 0x482 && !(c >= 0x483 && c <= 0x489)) {
    if (c >= 0x4C1 && c <= 0x4CE) return (c % 2 == 0) ? static_cast<char16_t>(c - 1) : c;
    if (c == 0x4CF) return 0x4C0;
    return (c % 2 == 1) ? static_cast<char16_t>(c - 1) : c;
  }
  return c;
}

std::u16string UpperCase(std::u16string_view s) {
  std::u16string r(s);
  for (auto& c : r) c = UpperChar(c);
  return r;
}

}  // namespace nx
