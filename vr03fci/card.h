// Which drives are cards, and the sizes of a card as the dialog shows them.
#pragma once

#include <string>

#include "layout.h"

namespace fci {

// A removable drive that is not a floppy drive and holds a readable medium.
bool IsCard(WCHAR letter);

// Reads the card's boot record through the paged-file service. FALSE with the last
// error set when the volume cannot be opened or read in full.
BOOL ReadBootRecord(WCHAR letter, BootRecord* boot);

// True when an open of a card's volume failed (its last error given) because no
// paged-file service can be reached: the service's pipe is missing, refuses or is
// swamped. A service that answers and refuses the volume itself (an unknown drive,
// access denied) is not this: its error is the card's own.
bool NoPagedFileService(DWORD openError);
// A card volume's open or read error for a terminal: "error 5 (access denied)", with a few
// words for the errors a card meets and the code alone for the others.
std::string OpenErrorText(DWORD error);

// "32 768 Б": the value grouped by threes with a space, the unit string appended.
// Empty when the number cannot be formatted.
std::u16string FormatSize(LONGLONG value, UINT unitId);

// The three texts of the card information (cluster size, total, free); false with the
// last error set when the card cannot be read.
struct CardInfoTexts {
  std::u16string cluster, total, free;
};
bool ReadCardInfo(WCHAR letter, CardInfoTexts* texts);

}  // namespace fci
