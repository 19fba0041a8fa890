// Number and time-of-day formatting by Windows' format records and pictures.
#include <stdlib.h>

#include <string>

#include "nxpal/nls.h"

namespace {

using u16 = std::u16string;

bool IsRussianUser() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = getenv(name);
    if (v && *v) return v[0] == 'r' && v[1] == 'u';
  }
  return false;
}

// Copies text with its terminator into the caller's buffer under Windows' size rules:
// cch 0 asks for the size; a smaller buffer fails with ERROR_INSUFFICIENT_BUFFER (122).
int Deliver(const u16& text, LPWSTR out, int cch) {
  int need = static_cast<int>(text.size()) + 1;
  if (cch == 0) return need;
  if (cch < need) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  text.copy(out, text.size());
  out[text.size()] = u'\0';
  return need;
}

// Group sizes from the right; the last one repeats unless `repeat` is false.
struct Groups {
  u16 sizes;  // digits 0..9 as code units
  bool repeat = true;
};

bool ParseGrouping(UINT grouping, Groups* g) {
  if (grouping == 0) return true;
  std::string digits = std::to_string(grouping);
  if (digits.size() > 1 && digits.back() == '0') {
    g->repeat = false;
    digits.pop_back();
  }
  for (char c : digits) {
    if (c == '0') return false;  // a zero group inside the list means nothing
    g->sizes.push_back(static_cast<char16_t>(c - '0'));
  }
  return true;
}

u16 GroupInteger(const u16& digits, const Groups& g, const u16& sep) {
  if (g.sizes.empty()) return digits;
  // Cut from the right: the first size is the rightmost group.
  u16 out;
  size_t end = digits.size();
  size_t gi = 0;
  while (end > 0) {
    size_t size = gi < g.sizes.size() ? g.sizes[gi] : (g.repeat ? g.sizes.back() : end);
    size_t begin = end > size ? end - size : 0;
    u16 part = digits.substr(begin, end - begin);
    out = begin > 0 ? sep + part + out : part + out;
    end = begin;
    ++gi;
  }
  return out;
}

}  // namespace

int GetNumberFormatW(LCID, DWORD flags, LPCWSTR value, const NUMBERFMTW* format, LPWSTR number, int cchNumber) {
  if (!value || cchNumber < 0 || (cchNumber > 0 && !number)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // With a format record no flag is allowed; without one only LOCALE_NOUSEROVERRIDE.
  if (format ? flags != 0 : (flags & ~LOCALE_NOUSEROVERRIDE) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  static char16_t ruDecimal[] = u",", ruThousand[] = u"\u00A0", enDecimal[] = u".", enThousand[] = u",";
  NUMBERFMTW fallback{2, 1, 3, ruDecimal, ruThousand, 1};
  if (!format) {
    if (!IsRussianUser()) fallback = {2, 1, 3, enDecimal, enThousand, 1};
    format = &fallback;
  }
  Groups groups;
  if (format->NumDigits > 9 || format->LeadingZero > 1 || format->NegativeOrder > 4 || !format->lpDecimalSep ||
      !format->lpThousandSep || !ParseGrouping(format->Grouping, &groups)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }

  // The value: an optional minus, integer digits, optionally '.' and fraction digits.
  const char16_t* p = value;
  bool negative = false;
  if (*p == u'-') {
    negative = true;
    ++p;
  }
  u16 intDigits, fracDigits;
  while (*p >= u'0' && *p <= u'9') intDigits.push_back(*p++);
  if (*p == u'.') {
    ++p;
    while (*p >= u'0' && *p <= u'9') fracDigits.push_back(*p++);
  }
  if (*p != u'\0' || (intDigits.empty() && fracDigits.empty())) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }

  // Round half away from zero to NumDigits fraction digits.
  size_t keep = format->NumDigits;
  bool carry = fracDigits.size() > keep && fracDigits[keep] >= u'5';
  fracDigits.resize(keep, u'0');
  u16 all = intDigits + fracDigits;
  for (size_t i = all.size(); carry && i-- > 0;) {
    if (all[i] == u'9') {
      all[i] = u'0';
    } else {
      ++all[i];
      carry = false;
    }
  }
  if (carry) all.insert(all.begin(), u'1');
  intDigits = all.substr(0, all.size() - keep);
  fracDigits = all.substr(all.size() - keep);
  size_t firstNonZero = intDigits.find_first_not_of(u'0');
  intDigits = firstNonZero == u16::npos ? u16() : intDigits.substr(firstNonZero);
  if (intDigits.find_first_not_of(u'0') == u16::npos && fracDigits.find_first_not_of(u'0') == u16::npos)
    negative = false;  // no "-0"

  u16 body = GroupInteger(intDigits, groups, format->lpThousandSep);
  if (body.empty() && (format->LeadingZero || keep == 0)) body.assign(1, u'0');
  // Appended and inserted piece by piece: GCC 12 at -O3 misreads a temporary string
  // concatenation here as an overlapping copy.
  if (keep > 0) body.append(format->lpDecimalSep).append(fracDigits);
  if (negative) {
    switch (format->NegativeOrder) {
      case 0: body.insert(0, u"(").append(u")"); break;
      case 1: body.insert(0, u"-"); break;
      case 2: body.insert(0, u"- "); break;
      case 3: body += u"-"; break;
      default: body += u" -"; break;
    }
  }
  return Deliver(body, number, cchNumber);
}

int GetTimeFormatW(LCID, DWORD flags, const SYSTEMTIME* time, LPCWSTR format, LPWSTR timeStr, int cchTime) {
  if (cchTime < 0 || (cchTime > 0 && !timeStr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  SYSTEMTIME now{};
  if (!time) {
    GetLocalTime(&now);
    time = &now;
  }
  if (time->wHour > 23 || time->wMinute > 59 || time->wSecond > 59 || time->wMilliseconds > 999) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const bool russian = IsRussianUser();
  const char16_t* picture = format ? format : (russian ? u"H:mm:ss" : u"h:mm:ss tt");
  const bool force24 = (flags & TIME_FORCE24HOURFORMAT) != 0;
  const bool noMinutes = (flags & TIME_NOMINUTESORSECONDS) != 0;
  const bool noSeconds = noMinutes || (flags & TIME_NOSECONDS) != 0;
  const bool noMarker = (flags & TIME_NOTIMEMARKER) != 0;

  auto two = [](unsigned v, size_t count) {
    u16 s;
    if (count >= 2 || v >= 10) s.push_back(static_cast<char16_t>(u'0' + v / 10 % 10));
    s.push_back(static_cast<char16_t>(u'0' + v % 10));
    return s;
  };
  u16 out;
  // Separators directly before a dropped element go with it (Windows drops ":ss").
  auto dropTrailingSeparator = [&out]() {
    while (!out.empty() && out.back() != u' ' && !(out.back() >= u'0' && out.back() <= u'9')) out.pop_back();
  };
  for (const char16_t* p = picture; *p;) {
    char16_t c = *p;
    if (c == u'\'') {
      ++p;
      while (*p) {
        if (*p == u'\'') {
          if (p[1] == u'\'') {
            out.push_back(u'\'');
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        out.push_back(*p++);
      }
      continue;
    }
    size_t count = 0;
    while (p[count] == c) ++count;
    switch (c) {
      case u'h':
      case u'H': {
        unsigned hour = time->wHour;
        if (c == u'h' && !force24) hour = hour % 12 == 0 ? 12 : hour % 12;
        out += two(hour, count);
        break;
      }
      case u'm':
        if (noMinutes) dropTrailingSeparator();
        else out += two(time->wMinute, count);
        break;
      case u's':
        if (noSeconds) dropTrailingSeparator();
        else out += two(time->wSecond, count);
        break;
      case u't': {
        if (noMarker || force24) break;
        u16 marker = russian ? u"" : (time->wHour < 12 ? u"AM" : u"PM");
        out += count >= 2 ? marker : marker.substr(0, 1);
        break;
      }
      default:
        out.append(count, c);
        break;
    }
    p += count;
  }
  return Deliver(out, timeStr, cchTime);
}

LANGID GetUserDefaultLangID() { return IsRussianUser() ? 0x0419 : 0x0409; }
