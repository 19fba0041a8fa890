// Parsing of .reg text: encodings, key sections, and the value forms that export writes
// ("text", dword:, hex: and hex(N): with continued lines).
#include "regfile.h"

#include <cctype>
#include <cstring>
#include <sstream>

#include "nxpal/bytes.h"
#include "nxpal/text.h"

namespace nxreg {

void Fail(std::string reason, int status) { throw Failure{status, std::move(reason)}; }

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
std::string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}
std::u16string W(const std::string& s) { return nx::Utf8ToUtf16(s); }
std::string U8(std::u16string_view s) { return nx::Utf16ToUtf8(s); }

std::optional<KeyPath> ParseKey(const std::string& text) {
  auto slash = text.find('\\');
  std::string root = Upper(text.substr(0, slash));
  KeyPath k;
  if (root == "HKLM" || root == "HKEY_LOCAL_MACHINE") {
    k.root = HKEY_LOCAL_MACHINE;
    k.rootName = "HKEY_LOCAL_MACHINE";
  } else if (root == "HKCU" || root == "HKEY_CURRENT_USER") {
    k.root = HKEY_CURRENT_USER;
    k.rootName = "HKEY_CURRENT_USER";
  } else if (root == "HKCR" || root == "HKEY_CLASSES_ROOT") {
    k.root = HKEY_CLASSES_ROOT;
    k.rootName = "HKEY_CLASSES_ROOT";
  } else {
    return std::nullopt;
  }
  if (slash != std::string::npos) k.sub = text.substr(slash + 1);
  while (!k.sub.empty() && k.sub.back() == '\\') k.sub.pop_back();
  return k;
}


namespace {

// The file's text as UTF-8 lines: UTF-8 with or without BOM, or UTF-16LE with BOM.
std::vector<std::string> TextLines(std::string raw) {
  if (raw.compare(0, 2, "\xFF\xFE") == 0) {
    raw = U8(nx::FromUtf16LeBytes(std::string_view(raw).substr(2)));
  } else if (raw.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    raw.erase(0, 3);
  }
  std::vector<std::string> lines;
  std::istringstream in(raw);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string Trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// Reads "..." with \\ and \" escapes starting at s[pos] == '"'; pos ends after the quote.
std::optional<std::string> Quoted(const std::string& s, size_t& pos) {
  std::string out;
  for (++pos; pos < s.size(); ++pos) {
    char c = s[pos];
    if (c == '"') {
      ++pos;
      return out;
    }
    if (c == '\\' && pos + 1 < s.size() && (s[pos + 1] == '\\' || s[pos + 1] == '"')) c = s[++pos];
    out += c;
  }
  return std::nullopt;
}

}  // namespace

std::vector<Change> ParseRegText(const std::string& raw, const std::string& source) {
  std::vector<std::string> lines = TextLines(raw);
  std::vector<Change> changes;
  size_t i = 0;
  auto fail = [&](const std::string& why) -> void { Fail(source + ":" + std::to_string(i + 1) + ": " + why); };
  while (i < lines.size() && Trim(lines[i]).empty()) ++i;
  if (i == lines.size() || Trim(lines[i]) != kRegHeader) fail(std::string("expected \"") + kRegHeader + "\"");
  std::optional<KeyPath> current;
  for (++i; i < lines.size(); ++i) {
    std::string line = Trim(lines[i]);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      auto close = line.rfind(']');
      if (close == std::string::npos) fail("unterminated key name");
      bool remove = line.size() > 1 && line[1] == '-';
      std::string name = line.substr(remove ? 2 : 1, close - (remove ? 2 : 1));
      auto key = ParseKey(name);
      if (!key) fail("unknown root key in \"" + name + "\"");
      if (key->sub.empty()) fail("a hive's root key cannot be " + std::string(remove ? "deleted" : "imported into"));
      changes.push_back(Change{remove ? Change::DeleteKey : Change::CreateKey, *key, {}, REG_NONE, {}});
      if (remove) current.reset();
      else current = key;
      continue;
    }
    if (!current) fail("value outside a key section");
    Change c{Change::SetValue, *current, {}, REG_NONE, {}};
    size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else if (line[0] == '"') {
      auto name = Quoted(line, pos);
      if (!name) fail("unterminated value name");
      c.name = W(*name);
    } else {
      fail("expected a key section, \"name\"= or @=");
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') fail("expected '=' after the value name");
    std::string data = Trim(line.substr(pos + 1));
    if (data == "-") {
      c.kind = Change::DeleteValue;
    } else if (!data.empty() && data[0] == '"') {
      size_t p = 0;
      auto text = Quoted(data, p);
      if (!text || Trim(data.substr(p)) != "") fail("malformed string data");
      c.type = REG_SZ;
      c.data = nx::Utf16LeBytes(W(*text) + u'\0');
    } else if (Lower(data).rfind("dword:", 0) == 0) {
      std::string digits = data.substr(6);
      if (digits.empty() || digits.size() > 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        fail("malformed dword data");
      c.type = REG_DWORD;
      c.data.assign(4, '\0');
      nx::StoreLe32(c.data.data(), static_cast<DWORD>(std::stoul(digits, nullptr, 16)));
    } else if (Lower(data).rfind("hex", 0) == 0) {
      size_t colon = data.find(':');
      if (colon == std::string::npos) fail("malformed hex data");
      std::string kind = Lower(data.substr(0, colon));
      if (kind == "hex") {
        c.type = REG_BINARY;
      } else if (kind.size() > 5 && kind.compare(0, 4, "hex(") == 0 && kind.back() == ')' &&
                 kind.find_first_not_of("0123456789abcdef", 4) == kind.size() - 1 && kind.size() <= 13) {
        c.type = static_cast<DWORD>(std::stoul(kind.substr(4, kind.size() - 5), nullptr, 16));
      } else {
        fail("malformed hex type \"" + kind + "\"");
      }
      std::string bytes = data.substr(colon + 1);
      while (!bytes.empty() && bytes.back() == '\\') {  // continued on the next line
        bytes.pop_back();
        if (++i >= lines.size()) fail("hex data continues past the end of the file");
        bytes += Trim(lines[i]);
      }
      std::stringstream list(bytes);
      std::string item;
      while (std::getline(list, item, ',')) {
        item = Trim(item);
        if (item.empty() || item.size() > 2 || item.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
          fail("malformed byte \"" + item + "\" in hex data");
        c.data += static_cast<char>(std::stoul(item, nullptr, 16));
      }
    } else {
      fail("unknown data \"" + data + "\"");
    }
    changes.push_back(std::move(c));
  }
  return changes;
}


}  // namespace nxreg
