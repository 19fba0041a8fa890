// Identifiers of the card initializer's resources: dialog 101, its controls, icon 102
// and the string table. The engine and the forms share them.
#pragma once

#include <string>

#include "nxpal/windows.h"

namespace fci {

// Dialog and icon.
inline constexpr int IDD_INIT = 101;
inline constexpr int IDI_PROGRAM = 102;

// Controls of dialog 101.
inline constexpr int IDC_CLOSE = 8;
inline constexpr int IDC_DRIVES = 1001;  // combo box of card letters
inline constexpr int IDC_START = 1002;  // push-like check box: pressed = running
inline constexpr int IDC_PROGRESS = 1004;
inline constexpr int IDC_CLUSTER = 1006;
inline constexpr int IDC_TOTAL = 1007;
inline constexpr int IDC_FREE = 1008;
inline constexpr int IDC_CHECK = 1009;
inline constexpr int IDC_STRICT = 1010;
inline constexpr int IDC_ELAPSED = 1011;
inline constexpr int IDC_REMAINING = 1012;
inline constexpr int IDC_STATUS = 1013;

// Strings (vr03fci.strings).
inline constexpr UINT IDS_START_OPERATION = 128;
inline constexpr UINT IDS_CONFIRM_CAPTION = 129;
inline constexpr UINT IDS_CONFIRM_CANCEL = 130;
inline constexpr UINT IDS_UNIT_BYTES = 131;
inline constexpr UINT IDS_UNIT_KIB = 132;
inline constexpr UINT IDS_NO_CARD = 133;
inline constexpr UINT IDS_RUNNING = 134;
inline constexpr UINT IDS_DONE = 135;
inline constexpr UINT IDS_CANCELLED = 136;
inline constexpr UINT IDS_FAILED = 137;
inline constexpr UINT IDS_READY = 138;
inline constexpr UINT IDS_TIME_FORMAT = 139;
// Cards whose boot record this layout cannot serve, one text per reason.
inline constexpr UINT IDS_REFUSED_SECTOR_SIZE = 140;
inline constexpr UINT IDS_REFUSED_FAT_COUNT = 141;
inline constexpr UINT IDS_REFUSED_FAT32 = 142;
inline constexpr UINT IDS_REFUSED_CLUSTER_SIZE = 143;
inline constexpr UINT IDS_REFUSED_CAPACITY = 144;
inline constexpr UINT IDS_REFUSED_FAT_SIZE = 145;
inline constexpr UINT IDS_REFUSED_DATA_AREA = 146;
inline constexpr UINT IDS_REFUSED_ROOT_DIR = 147;
inline constexpr UINT IDS_REFUSED_FAT_TYPE = 148;
inline constexpr UINT IDS_REFUSED_TOO_SMALL = 149;
inline constexpr UINT IDS_REFUSED_RESERVED = 150;
// A size that could not be read from the selected card.
inline constexpr UINT IDS_SIZE_UNKNOWN = 151;
// The status while no paged-file service can be reached: nothing can be read or written.
inline constexpr UINT IDS_NO_SERVICE = 152;

// Option bits of InitParameters::options.
inline constexpr WORD OPT_CHECK = 0x1;
inline constexpr WORD OPT_STRICT = 0x2;  // counts only together with OPT_CHECK

// A string of the program's table (empty when missing); at most cch - 1 characters.
std::u16string LoadText(UINT id, int cch = 64);

}  // namespace fci
