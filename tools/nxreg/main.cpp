// nxreg: command-line editor of the registry hives (query, add, delete, export, import),
// used like Windows' reg.exe; export and import use the text form of .reg files in UTF-8.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "nxpal/bytes.h"
#include "nxpal/windows.h"
#include "nxrtl/nxrtl.h"
#include "regfile.h"

namespace {

using nxreg::Change;
using nxreg::Fail;
using nxreg::Failure;
using nxreg::KeyPath;
using nxreg::kRegHeader;
using nxreg::Lower;
using nxreg::ParseKey;
using nxreg::ParseRegText;
using nxreg::U8;
using nxreg::Upper;
using nxreg::W;

const char* kHelp = R"(nxreg - view and change the registry hives

Usage:
  nxreg query  KEY [/v NAME | /ve] [/s]
  nxreg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEP] [/d DATA] [/f]
  nxreg delete KEY [/v NAME | /ve | /va] [/f]
  nxreg export KEY FILE [/y]
  nxreg import FILE
  nxreg --help | -h | /?

KEY is ROOT\SubKey, ROOT one of HKLM, HKEY_LOCAL_MACHINE (the machine hive),
HKCU, HKEY_CURRENT_USER (the user's hive), HKCR, HKEY_CLASSES_ROOT (which is
HKLM\Software\Classes). Names are case-insensitive.

query   Lists the values of KEY and its subkeys.
        /v NAME  only the value NAME        /ve  only the default value
        /s       all subkeys, to any depth (with /v or /ve: search for the value)
add     Creates KEY (with the keys above it) and, with /v or /ve, sets a value.
        /t TYPE  REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD,
                 REG_DWORD_BIG_ENDIAN, REG_QWORD, REG_BINARY, REG_NONE
        /d DATA  text for the string types; a number (decimal or 0x hex) for
                 REG_DWORD and REG_QWORD; hex digits ("0a1b2c") for REG_BINARY
                 and REG_NONE
        /s SEP   separator of the strings of REG_MULTI_SZ data (default "\0")
        /f       overwrite an existing value without asking
delete  Deletes KEY with all its subkeys and values, or only values:
        /v NAME  the value NAME   /ve  the default value   /va  all values of KEY
        /f       without asking
export  Writes KEY with everything below it to FILE as a .reg text file
        ("Windows Registry Editor Version 5.00", UTF-8). /y overwrites FILE.
import  Applies a .reg file (UTF-8, or UTF-16 with a byte-order mark):
        [KEY] creates a key, [-KEY] deletes it with its subkeys, "name"="text",
        @= (default value), dword:0000000a, hex:01,02 (REG_BINARY),
        hex(N):... (type N), "name"=- deletes a value.

Without /f (or /y) nxreg asks before it overwrites or deletes; when standard
input is not a terminal it refuses instead.

The hives are SQLite files: $NX_REGISTRY_DIR/machine.db and user.db when
NX_REGISTRY_DIR is set, otherwise /var/lib/veltrak/machine.db and
${XDG_CONFIG_HOME:-~/.config}/veltrak/user.db.

Exit status: 0 on success; 1 when the operation fails; 2 for a usage error.
)";

[[noreturn]] void Usage(std::string reason) { Fail(reason + " (see nxreg --help)", 2); }

std::string Win32Text(LONG code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND: return "the key or value does not exist";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_INVALID_HANDLE: return "invalid key handle";
    case ERROR_NOT_ENOUGH_MEMORY: return "not enough memory";
    case ERROR_INVALID_PARAMETER: return "invalid name or data";
    case ERROR_DISK_FULL: return "the disk is full";
    case ERROR_BAD_PATHNAME: return "malformed key path";
    case ERROR_BUSY: return "the hive is busy in another process";
    case ERROR_REGISTRY_CORRUPT: return "the hive file is corrupt";
    case ERROR_REGISTRY_IO_FAILED: return "the hive file cannot be read or written";
    case ERROR_KEY_DELETED: return "the key was deleted meanwhile";
    default: return "error " + std::to_string(code);
  }
}
void Check(LONG rc, const std::string& what) {
  if (rc != ERROR_SUCCESS) Fail(what + ": " + Win32Text(rc));
}

// ---- keys -------------------------------------------------------------------------------

KeyPath RequireKey(const std::string& text) {
  auto k = ParseKey(text);
  if (!k) Usage("invalid key \"" + text + "\": it must begin with HKLM, HKCU, HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER");
  return *k;
}

// An open key, closed at scope exit.
class Key {
 public:
  Key() = default;
  explicit Key(HKEY h) : h_(h) {}
  ~Key() {
    if (h_) RegCloseKey(h_);
  }
  Key(Key&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
  Key& operator=(Key&& o) noexcept {
    if (this != &o) {
      if (h_) RegCloseKey(h_);
      h_ = o.h_;
      o.h_ = nullptr;
    }
    return *this;
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY get() const { return h_; }

 private:
  HKEY h_ = nullptr;
};

LONG OpenKey(const KeyPath& k, REGSAM sam, Key* out) {
  HKEY h = nullptr;
  std::u16string sub = W(k.sub);
  LONG rc = RegOpenKeyExW(k.root, sub.c_str(), 0, sam, &h);
  if (rc == ERROR_SUCCESS) *out = Key(h);
  return rc;
}
Key MustOpen(const KeyPath& k, REGSAM sam) {
  Key key;
  Check(OpenKey(k, sam, &key), k.Full());
  return key;
}
Key MustCreate(const KeyPath& k) {
  HKEY h = nullptr;
  std::u16string sub = W(k.sub);
  Check(RegCreateKeyExW(k.root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), k.Full());
  return Key(h);
}

struct Val {
  std::u16string name;
  DWORD type = REG_NONE;
  std::string data;
};

std::vector<std::u16string> SubKeys(HKEY k) {
  std::vector<std::u16string> names;
  WCHAR buf[256];
  for (DWORD i = 0;; ++i) {
    DWORD cch = 256;
    LONG rc = RegEnumKeyExW(k, i, buf, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    Check(rc, "listing subkeys");
    names.emplace_back(buf, cch);
  }
  return names;
}

std::vector<Val> Values(HKEY k) {
  std::vector<Val> vals;
  for (DWORD i = 0;; ++i) {
    std::u16string name(16384, u'\0');
    DWORD cch = static_cast<DWORD>(name.size());
    Val v;
    DWORD cb = 0;
    LONG rc = RegEnumValueW(k, i, name.data(), &cch, nullptr, &v.type, nullptr, &cb);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    Check(rc, "listing values");
    name.resize(cch);
    v.name = name;
    v.data.resize(cb);
    rc = RegQueryValueExW(k, v.name.c_str(), nullptr, &v.type, reinterpret_cast<BYTE*>(v.data.data()), &cb);
    Check(rc, "reading value \"" + U8(v.name) + "\"");
    v.data.resize(cb);
    vals.push_back(std::move(v));
  }
  return vals;
}

// Asks before an overwrite or deletion; with `force` the answer is yes.
void Confirm(bool force, const std::string& question) {
  if (force) return;
  if (!isatty(STDIN_FILENO)) Fail(question + " - not confirmed (use /f)");
  std::cout << question << " (Yes/No)? " << std::flush;
  std::string answer;
  std::getline(std::cin, answer);
  if (answer.empty() || (answer[0] != 'y' && answer[0] != 'Y')) Fail("cancelled");
}

// ---- types and data ---------------------------------------------------------------------

const std::map<std::string, DWORD>& TypeNames() {
  static const std::map<std::string, DWORD> names = {
      {"REG_NONE", REG_NONE},
      {"REG_SZ", REG_SZ},
      {"REG_EXPAND_SZ", REG_EXPAND_SZ},
      {"REG_BINARY", REG_BINARY},
      {"REG_DWORD", REG_DWORD},
      {"REG_DWORD_LITTLE_ENDIAN", REG_DWORD},
      {"REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN},
      {"REG_LINK", REG_LINK},
      {"REG_MULTI_SZ", REG_MULTI_SZ},
      {"REG_RESOURCE_LIST", REG_RESOURCE_LIST},
      {"REG_FULL_RESOURCE_DESCRIPTOR", REG_FULL_RESOURCE_DESCRIPTOR},
      {"REG_RESOURCE_REQUIREMENTS_LIST", REG_RESOURCE_REQUIREMENTS_LIST},
      {"REG_QWORD", REG_QWORD},
  };
  return names;
}

std::string TypeName(DWORD type) {
  for (const auto& [name, t] : TypeNames())
    if (t == type && name != "REG_DWORD_LITTLE_ENDIAN") return name;
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%X", type);
  return buf;
}

std::string HexBytes(const std::string& data) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : data) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// The data as query shows it.
std::string DataText(const Val& v) {
  switch (v.type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      std::u16string s = nx::FromUtf16LeBytes(v.data);
      return U8(s.substr(0, s.find(u'\0')));
    }
    case REG_MULTI_SZ: {
      std::u16string s = nx::FromUtf16LeBytes(v.data);
      while (!s.empty() && s.back() == u'\0') s.pop_back();
      std::string out;
      size_t start = 0;
      for (;;) {
        size_t end = s.find(u'\0', start);
        out += U8(s.substr(start, end - start));
        if (end == std::u16string::npos) break;
        out += "\\0";
        start = end + 1;
      }
      return out;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
      if (v.data.size() == 4) {
        DWORD x = nx::LoadLe32(v.data.data());
        if (v.type == REG_DWORD_BIG_ENDIAN) x = __builtin_bswap32(x);
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%x", x);
        return buf;
      }
      break;
    case REG_QWORD:
      if (v.data.size() == 8) {
        const uint64_t x = nx::LoadLe64(v.data.data());
        char buf[24];
        std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(x));
        return buf;
      }
      break;
    default: break;
  }
  return HexBytes(v.data);
}

uint64_t ParseNumber(const std::string& text, uint64_t max, const std::string& what) {
  std::string t = text;
  int base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    base = 16;
    t = t.substr(2);
  }
  if (t.empty() || t.find_first_not_of(base == 16 ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
    Fail("invalid " + what + " \"" + text + "\"");
  errno = 0;
  unsigned long long v = std::strtoull(t.c_str(), nullptr, base);
  if (errno == ERANGE || v > max) Fail(what + " out of range: \"" + text + "\"");
  return v;
}

std::string ParseHexString(const std::string& text) {
  if (text.size() % 2 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    Fail("invalid binary data \"" + text + "\": expected pairs of hex digits");
  std::string out;
  for (size_t i = 0; i < text.size(); i += 2) out += static_cast<char>(std::stoul(text.substr(i, 2), nullptr, 16));
  return out;
}

// /d DATA as the bytes to store for a type.
std::string DataFromText(DWORD type, const std::string& text, const std::string& separator) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: return nx::Utf16LeBytes(W(text) + u'\0');
    case REG_MULTI_SZ: {
      std::u16string all;
      size_t start = 0;
      while (start <= text.size() && !text.empty()) {
        size_t end = text.find(separator, start);
        std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.empty() && end != std::string::npos) Fail("REG_MULTI_SZ data may not contain empty strings");
        all += W(part) + u'\0';
        if (end == std::string::npos) break;
        start = end + separator.size();
      }
      return nx::Utf16LeBytes(all + u'\0');
    }
    case REG_DWORD: {
      std::string bytes(4, '\0');
      nx::StoreLe32(bytes.data(), static_cast<DWORD>(ParseNumber(text.empty() ? "0" : text, 0xFFFFFFFFu, "number")));
      return bytes;
    }
    case REG_DWORD_BIG_ENDIAN: {
      std::string bytes(4, '\0');
      nx::StoreLe32(bytes.data(), __builtin_bswap32(static_cast<DWORD>(ParseNumber(text.empty() ? "0" : text, 0xFFFFFFFFu, "number"))));
      return bytes;
    }
    case REG_QWORD: {
      std::string bytes(8, '\0');
      nx::StoreLe64(bytes.data(), ParseNumber(text.empty() ? "0" : text, UINT64_MAX, "number"));
      return bytes;
    }
    default: return ParseHexString(text);
  }
}

// ---- command line -----------------------------------------------------------------------

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;  // option (lower case, with '/') -> argument
  std::map<std::string, bool> flags;

  bool Has(const std::string& opt) const { return flags.count(opt) || values.count(opt); }
  const std::string* Value(const std::string& opt) const {
    auto it = values.find(opt);
    return it == values.end() ? nullptr : &it->second;
  }
};

// Options are recognised by name only, so that a FILE or DATA beginning with '/' stays
// an argument. `withValue` options take the next argument verbatim.
Args ParseArgs(int argc, char** argv, const std::vector<std::string>& flags, const std::vector<std::string>& withValue,
               size_t minPositional, size_t maxPositional) {
  Args a;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    std::string opt = Lower(arg);
    if (!opt.empty() && opt[0] == '-') opt[0] = '/';
    auto in = [&](const std::vector<std::string>& list) {
      for (const auto& o : list)
        if (o == opt) return true;
      return false;
    };
    if (in(withValue)) {
      if (i + 1 >= argc) Usage("option " + arg + " needs a value");
      if (a.values.count(opt)) Usage("option " + arg + " given twice");
      a.values[opt] = argv[++i];
    } else if (in(flags)) {
      a.flags[opt] = true;
    } else if (arg.size() > 1 && (arg[0] == '-' || (arg[0] == '/' && arg.find('/', 1) == std::string::npos))) {
      Usage("unknown option \"" + arg + "\"");  // a path has a second slash: "/tmp/a.reg"
    } else if (a.positional.size() < maxPositional) {
      a.positional.push_back(arg);
    } else {
      Usage("unexpected argument \"" + arg + "\"");
    }
  }
  if (a.positional.size() < minPositional) Usage("missing arguments");
  return a;
}

// ---- query ------------------------------------------------------------------------------

void PrintValue(const Val& v) {
  std::cout << "    " << (v.name.empty() ? std::string("(Default)") : U8(v.name)) << "    " << TypeName(v.type) << "    "
            << DataText(v) << "\n";
}

void QueryTree(const KeyPath& path, HKEY k, bool recurse) {
  std::cout << path.Full() << "\n";
  for (const auto& v : Values(k)) PrintValue(v);
  std::cout << "\n";
  for (const auto& name : SubKeys(k)) {
    KeyPath child = path.Child(U8(name));
    if (!recurse) {
      std::cout << child.Full() << "\n";
      continue;
    }
    Key sub = MustOpen(child, KEY_READ);
    QueryTree(child, sub.get(), true);
  }
}

// Prints the value in each key of the tree that has it; returns how many were found.
int SearchValue(const KeyPath& path, HKEY k, const std::u16string& name, bool recurse) {
  int found = 0;
  for (const auto& v : Values(k))  // listed rather than read, to show the name as stored
    if (lstrcmpiW(v.name.c_str(), name.c_str()) == 0) {
      std::cout << path.Full() << "\n";
      PrintValue(v);
      std::cout << "\n";
      ++found;
    }
  if (recurse)
    for (const auto& sub : SubKeys(k)) {
      KeyPath child = path.Child(U8(sub));
      Key ck = MustOpen(child, KEY_READ);
      found += SearchValue(child, ck.get(), name, true);
    }
  return found;
}

int Query(int argc, char** argv) {
  Args a = ParseArgs(argc, argv, {"/ve", "/s"}, {"/v"}, 1, 1);
  KeyPath path = RequireKey(a.positional[0]);
  if (a.Has("/v") && a.Has("/ve")) Usage("/v and /ve exclude each other");
  Key k = MustOpen(path, KEY_READ);
  bool recurse = a.Has("/s");
  std::cout << "\n";
  if (!a.Has("/v") && !a.Has("/ve")) {
    QueryTree(path, k.get(), recurse);
    return 0;
  }
  std::u16string name = a.Has("/v") ? W(*a.Value("/v")) : u"";
  int found = SearchValue(path, k.get(), name, recurse);
  if (found == 0) {
    if (a.Has("/ve") && !recurse) {  // as reg.exe: a key always has its default entry
      std::cout << path.Full() << "\n    (Default)    REG_SZ    (value not set)\n\n";
      return 0;
    }
    Fail(path.Full() + ": value \"" + U8(name) + "\" does not exist");
  }
  if (recurse) std::cout << "End of search: " << found << " match(es) found.\n";
  return 0;
}

// ---- add and delete ---------------------------------------------------------------------

int Add(int argc, char** argv) {
  Args a = ParseArgs(argc, argv, {"/ve", "/f"}, {"/v", "/t", "/d", "/s"}, 1, 1);
  KeyPath path = RequireKey(a.positional[0]);
  if (a.Has("/v") && a.Has("/ve")) Usage("/v and /ve exclude each other");
  bool hasValue = a.Has("/v") || a.Has("/ve");
  if (!hasValue && (a.Has("/t") || a.Has("/d"))) Usage("/t and /d need /v or /ve");
  DWORD type = REG_SZ;
  if (const std::string* t = a.Value("/t")) {
    auto it = TypeNames().find(Upper(*t));
    if (it == TypeNames().end()) Usage("unknown type " + *t);
    type = it->second;
  }
  if (a.Has("/s") && type != REG_MULTI_SZ) Usage("/s applies to REG_MULTI_SZ only");
  std::string separator = a.Value("/s") ? *a.Value("/s") : "\\0";
  if (separator.empty()) Usage("the separator of /s may not be empty");
  // Parse the data before anything is created.
  std::string data = hasValue ? DataFromText(type, a.Value("/d") ? *a.Value("/d") : "", separator) : "";
  Key k = MustCreate(path);
  if (hasValue) {
    std::u16string name = a.Has("/v") ? W(*a.Value("/v")) : u"";
    if (RegQueryValueExW(k.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
      Confirm(a.Has("/f"), "Value " + (name.empty() ? std::string("(Default)") : U8(name)) + " exists, overwrite");
    Check(RegSetValueExW(k.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                         static_cast<DWORD>(data.size())),
          path.Full());
  }
  std::cout << "The operation completed successfully.\n";
  return 0;
}

// Deletes a key with its whole tree; the hive roots are never deleted.
LONG DeleteTree(const KeyPath& path) {
  auto cut = path.sub.find_last_of('\\');
  KeyPath parent{path.root, path.rootName, cut == std::string::npos ? "" : path.sub.substr(0, cut)};
  std::u16string leaf = W(cut == std::string::npos ? path.sub : path.sub.substr(cut + 1));
  Key p;
  if (LONG rc = OpenKey(parent, KEY_ALL_ACCESS, &p)) return rc;
  nxRegCleanupKeyW(p.get(), leaf.c_str());
  Key still;
  if (OpenKey(path, KEY_READ, &still) == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  // Something stayed: deleting the key itself again tells why.
  LONG rc = RegDeleteKeyW(p.get(), leaf.c_str());
  return rc == ERROR_SUCCESS ? static_cast<LONG>(ERROR_ACCESS_DENIED) : rc;
}

int Delete(int argc, char** argv) {
  Args a = ParseArgs(argc, argv, {"/ve", "/va", "/f"}, {"/v"}, 1, 1);
  KeyPath path = RequireKey(a.positional[0]);
  if (a.Has("/v") + a.Has("/ve") + a.Has("/va") > 1) Usage("/v, /ve and /va exclude each other");
  bool force = a.Has("/f");
  if (!a.Has("/v") && !a.Has("/ve") && !a.Has("/va")) {
    if (path.sub.empty()) Fail("a hive's root key cannot be deleted");
    { Key exists = MustOpen(path, KEY_READ); }
    Confirm(force, "Permanently delete the registry key " + path.Full());
    Check(DeleteTree(path), path.Full());
  } else {
    Key k = MustOpen(path, KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (a.Has("/va")) {
      Confirm(force, "Delete all values under the registry key " + path.Full());
      for (const auto& v : Values(k.get())) Check(RegDeleteValueW(k.get(), v.name.c_str()), path.Full());
    } else {
      std::u16string name = a.Has("/v") ? W(*a.Value("/v")) : u"";
      std::string shown = name.empty() ? "(Default)" : U8(name);
      Check(RegQueryValueExW(k.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr), path.Full() + " " + shown);
      Confirm(force, "Delete the registry value " + shown);
      Check(RegDeleteValueW(k.get(), name.c_str()), path.Full() + " " + shown);
    }
  }
  std::cout << "The operation completed successfully.\n";
  return 0;
}

// ---- .reg files -------------------------------------------------------------------------

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// A REG_SZ is written as "text" only when that text reads back to the same bytes:
// one terminating null, none inside, no line breaks, valid UTF-16.
bool PlainString(const Val& v) {
  if (v.type != REG_SZ || v.data.size() % 2 || v.data.size() < 2) return false;
  std::u16string s = nx::FromUtf16LeBytes(v.data);
  if (s.back() != u'\0') return false;
  s.pop_back();
  if (s.find_first_of(std::u16string(u"\0\r\n", 3)) != std::u16string::npos) return false;
  return W(U8(s)) == s;
}

std::string ValueLine(const Val& v) {
  if (v.name.find_first_of(u"\r\n") != std::u16string::npos)
    Fail("value name with a line break cannot be exported: \"" + U8(v.name) + "\"");
  std::string line = v.name.empty() ? "@=" : "\"" + Escape(U8(v.name)) + "\"=";
  if (PlainString(v)) return line + "\"" + Escape(DataText(v)) + "\"";
  if (v.type == REG_DWORD && v.data.size() == 4) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", nx::LoadLe32(v.data.data()));
    return line + buf;
  }
  char prefix[24];
  if (v.type == REG_BINARY) std::snprintf(prefix, sizeof prefix, "hex:");
  else std::snprintf(prefix, sizeof prefix, "hex(%x):", v.type);
  line += prefix;
  // Bytes as "01,02,..."; long data continues on indented lines ending in a backslash.
  size_t column = line.size();
  static const char* digits = "0123456789abcdef";
  for (size_t i = 0; i < v.data.size(); ++i) {
    auto c = static_cast<unsigned char>(v.data[i]);
    if (i > 0) {
      line += ',';
      ++column;
      if (column > 76) {
        line += "\\\n  ";
        column = 2;
      }
    }
    line += digits[c >> 4];
    line += digits[c & 15];
    column += 2;
  }
  return line;
}

void ExportTree(const KeyPath& path, HKEY k, std::string& out) {
  out += "[" + path.Full() + "]\n";
  for (const auto& v : Values(k)) out += ValueLine(v) + "\n";
  out += "\n";
  for (const auto& name : SubKeys(k)) {
    KeyPath child = path.Child(U8(name));
    Key sub = MustOpen(child, KEY_READ);
    ExportTree(child, sub.get(), out);
  }
}

int Export(int argc, char** argv) {
  Args a = ParseArgs(argc, argv, {"/y"}, {}, 2, 2);
  KeyPath path = RequireKey(a.positional[0]);
  const std::string& file = a.positional[1];
  Key k = MustOpen(path, KEY_READ);
  std::string text = std::string(kRegHeader) + "\n\n";
  ExportTree(path, k.get(), text);
  if (access(file.c_str(), F_OK) == 0) Confirm(a.Has("/y"), "File " + file + " already exists. Overwrite");
  std::ofstream f(file, std::ios::binary | std::ios::trunc);
  if (!f || !f.write(text.data(), static_cast<std::streamsize>(text.size())) || !f.flush())
    Fail("cannot write " + file + ": " + std::strerror(errno));
  std::cout << "The operation completed successfully.\n";
  return 0;
}

int Import(int argc, char** argv) {
  Args a = ParseArgs(argc, argv, {}, {}, 1, 1);
  // The whole file is read first: a malformed file changes nothing.
  const std::string& file = a.positional[0];
  std::ifstream f(file, std::ios::binary);
  if (!f) Fail("cannot read " + file + ": " + std::strerror(errno));
  const std::string raw((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<Change> changes = ParseRegText(raw, file);
  std::optional<Key> open;
  for (const auto& c : changes) {
    switch (c.kind) {
      case Change::CreateKey:
        open.reset();
        open.emplace(MustCreate(c.key));
        break;
      case Change::DeleteKey: {
        open.reset();
        LONG rc = DeleteTree(c.key);
        if (rc != ERROR_FILE_NOT_FOUND) Check(rc, c.key.Full());
        break;
      }
      case Change::SetValue:
        Check(RegSetValueExW(open->get(), c.name.c_str(), 0, c.type, reinterpret_cast<const BYTE*>(c.data.data()),
                             static_cast<DWORD>(c.data.size())),
              c.key.Full());
        break;
      case Change::DeleteValue: {
        LONG rc = RegDeleteValueW(open->get(), c.name.c_str());
        if (rc != ERROR_FILE_NOT_FOUND) Check(rc, c.key.Full());
        break;
      }
    }
  }
  std::cout << "The operation completed successfully.\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc < 2) Usage("missing operation");
    std::string op = Lower(argv[1]);
    if (op == "--help" || op == "-h" || op == "/?" || op == "-?" || op == "help") {
      std::cout << kHelp;
      return 0;
    }
    if (op == "query") return Query(argc, argv);
    if (op == "add") return Add(argc, argv);
    if (op == "delete") return Delete(argc, argv);
    if (op == "export") return Export(argc, argv);
    if (op == "import") return Import(argc, argv);
    Usage("unknown operation \"" + std::string(argv[1]) + "\"");
  } catch (const Failure& f) {
    std::cout.flush();
    std::cerr << "nxreg: " << f.reason << "\n";
    return f.status;
  } catch (const std::exception& e) {
    std::cerr << "nxreg: " << e.what() << "\n";
    return 1;
  }
}
