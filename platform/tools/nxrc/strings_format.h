// The text format of module string tables (*.strings), read by the resource compiler:
//
//   # comment; blank lines are ignored
//   256 "Информация о пациенте"
//   300 "First line\r\nsecond line, \"quoted\", a tab\there"
//
// One string per line: a decimal id (0..65535), blanks, then the text in double quotes.
// The file is UTF-8 (an initial byte order mark is skipped; lines may end in CR LF).
// Escapes in the text: \\ \" \r \n \t and \uXXXX (one UTF-16 unit, four hex digits).
// Every other character stands for itself, except control characters, which must be
// escaped. Ids are unique; a text may not be empty (Windows cannot tell an empty string
// from a missing one).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nxrc {

struct StringEntry {
  unsigned id;
  std::u16string text;
  int line;  // where it was defined, for messages
};

// Parses a whole file and appends its strings to *out in file order. On the first
// error returns false with the 1-based line number and a message.
bool ParseStrings(std::string_view content, std::vector<StringEntry>* out, int* errorLine, std::string* message);

}  // namespace nxrc
