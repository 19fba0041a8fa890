// The text form of .reg files as nxreg reads it: key paths, and the changes a file lists,
// parsed whole before anything is applied so that a malformed file changes nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nxpal/windows.h"

namespace nxreg {

inline constexpr char kRegHeader[] = "Windows Registry Editor Version 5.00";

// Reported failures end the program: a one-line reason on stderr and the exit status.
struct Failure {
  int status;
  std::string reason;
};
[[noreturn]] void Fail(std::string reason, int status = 1);

std::string Lower(std::string s);
std::string Upper(std::string s);
std::u16string W(const std::string& s);
std::string U8(std::u16string_view s);

struct KeyPath {
  HKEY root = nullptr;
  std::string rootName;  // the long form, as written in .reg files
  std::string sub;  // without leading or trailing backslashes; empty for the root itself

  std::string Full() const { return sub.empty() ? rootName : rootName + "\\" + sub; }
  KeyPath Child(const std::string& name) const { return KeyPath{root, rootName, sub.empty() ? name : sub + "\\" + name}; }
};

// "HKLM\Software\X" and the long root names; nullopt for an unknown root.
std::optional<KeyPath> ParseKey(const std::string& text);

// One change read from a .reg file.
struct Change {
  enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
  KeyPath key;
  std::u16string name;
  DWORD type = REG_NONE;
  std::string data;
};

// The changes listed by the bytes of a .reg file (UTF-8 with or without a byte-order
// mark, or UTF-16LE with one), in file order. A malformed file throws Failure naming
// `source` and the line.
std::vector<Change> ParseRegText(const std::string& raw, const std::string& source);

}  // namespace nxreg
