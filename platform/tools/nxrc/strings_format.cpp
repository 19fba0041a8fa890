// Parser of the *.strings format (see strings_format.h); UTF-8 is decoded strictly with
// glibc iconv so that any text, Russian included, reaches the module unchanged.
#include "strings_format.h"

#include "nxpal/bytes.h"

#include <errno.h>
#include <iconv.h>

#include <cstring>
#include <map>

namespace nxrc {

namespace {

// Appends the UTF-16 form of a UTF-8 run; false if the run is not valid UTF-8.
bool AppendUtf8(std::string_view run, std::u16string* out) {
  if (run.empty()) return true;
  iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string buffer(run.size() * 2 + 4, '\0');  // UTF-16 never needs more than twice the bytes
  char* in = const_cast<char*>(run.data());
  size_t inLeft = run.size();
  char* dst = buffer.data();
  size_t outLeft = buffer.size();
  size_t r = iconv(cd, &in, &inLeft, &dst, &outLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1) || inLeft != 0) return false;
  size_t units = (buffer.size() - outLeft) / 2;
  for (size_t i = 0; i < units; ++i) out->push_back(static_cast<char16_t>(nx::LoadLe16(buffer.data() + 2 * i)));
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Parses one line that is neither blank nor a comment.
bool ParseLine(std::string_view line, StringEntry* entry, std::string* message) {
  size_t pos = 0;
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  size_t digits = pos;
  unsigned long id = 0;
  while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') {
    id = id * 10 + static_cast<unsigned long>(line[pos] - '0');
    if (id > 0xFFFF) {
      *message = "string id above 65535";
      return false;
    }
    ++pos;
  }
  if (pos == digits) {
    *message = "expected a decimal string id";
    return false;
  }
  size_t blanks = pos;
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  if (pos == blanks || pos == line.size() || line[pos] != '"') {
    *message = "expected blanks and the text in double quotes after the id";
    return false;
  }
  ++pos;

  std::u16string text;
  size_t runStart = pos;  // start of the raw UTF-8 run not yet converted
  auto flush = [&](size_t runEnd) {
    if (AppendUtf8(line.substr(runStart, runEnd - runStart), &text)) return true;
    *message = "the text is not valid UTF-8";
    return false;
  };
  bool closed = false;
  while (pos < line.size()) {
    char c = line[pos];
    if (c == '"') {
      if (!flush(pos)) return false;
      closed = true;
      ++pos;
      break;
    }
    if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
      *message = "a control character in the text; write it as an escape";
      return false;
    }
    if (c != '\\') {
      ++pos;
      continue;
    }
    if (!flush(pos)) return false;
    if (pos + 1 >= line.size()) {
      *message = "the text ends with a lone backslash";
      return false;
    }
    char e = line[pos + 1];
    pos += 2;
    switch (e) {
      case '\\': text.push_back(u'\\'); break;
      case '"': text.push_back(u'"'); break;
      case 'r': text.push_back(u'\r'); break;
      case 'n': text.push_back(u'\n'); break;
      case 't': text.push_back(u'\t'); break;
      case 'u': {
        unsigned v = 0;
        for (int i = 0; i < 4; ++i) {
          int h = pos < line.size() ? HexDigit(line[pos]) : -1;
          if (h < 0) {
            *message = "\\u needs four hex digits";
            return false;
          }
          v = (v << 4) | static_cast<unsigned>(h);
          ++pos;
        }
        text.push_back(static_cast<char16_t>(v));
        break;
      }
      default:
        *message = std::string("unknown escape \\") + e;
        return false;
    }
    runStart = pos;
  }
  if (!closed) {
    *message = "the text has no closing double quote";
    return false;
  }
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  if (pos != line.size()) {
    *message = "unexpected characters after the closing double quote";
    return false;
  }
  if (text.empty()) {
    *message = "empty text (it could not be told from a missing string)";
    return false;
  }
  entry->id = static_cast<unsigned>(id);
  entry->text = std::move(text);
  return true;
}

}  // namespace

bool ParseStrings(std::string_view content, std::vector<StringEntry>* out, int* errorLine, std::string* message) {
  if (content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);
  std::map<unsigned, int> seen;  // id -> line
  int lineNo = 0;
  while (!content.empty()) {
    ++lineNo;
    size_t nl = content.find('\n');
    std::string_view line = content.substr(0, nl);
    content.remove_prefix(nl == std::string_view::npos ? content.size() : nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    size_t first = 0;
    while (first < line.size() && IsBlank(line[first])) ++first;
    if (first == line.size() || line[first] == '#') continue;

    StringEntry entry{};
    entry.line = lineNo;
    if (!ParseLine(line, &entry, message)) {
      *errorLine = lineNo;
      return false;
    }
    auto [it, inserted] = seen.emplace(entry.id, lineNo);
    if (!inserted) {
      *errorLine = lineNo;
      *message = "string id " + std::to_string(entry.id) + " repeats (first on line " + std::to_string(it->second) + ")";
      return false;
    }
    out->push_back(std::move(entry));
  }
  return true;
}

}  // namespace nxrc
