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

// "32 768 Б": the value grouped by threes with a space, the unit string appended.
// Empty when the number cannot be formatted.
std::u16string FormatSize(LONGLONG value, UINT unitId);

// The three texts of the card information (cluster size, total, free); false when the
// card cannot be read (the caller then leaves its controls as they are).
struct CardInfoTexts {
  std::u16string cluster, total, free;
};
bool ReadCardInfo(WCHAR letter, CardInfoTexts* texts);

}  // namespace fci
