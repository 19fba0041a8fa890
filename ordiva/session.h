// Session rules of the working window and the set-up dialog that need no window: gain
// application, the set-up dialog's choices and identity fields, captions, statistics
// rows, age and the sex field's toggles.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "nxpal/types.h"
#include "recorder_config.h"

namespace ordiva {

// The gain value used when the recorder's version does not carry trusted steps (the step
// is kDefaultGainStep of the configuration block's header).
inline constexpr int kDefaultGainValue = 728;
// Divisor of the one shared gain code of recorders below version 9.
inline constexpr int kSharedGainDivisor = 169;

inline constexpr char16_t kRecorderType[] = u"VR03M";
inline constexpr char16_t kUnsetField[] = u"????";

// The set-up dialog's recording choices (radio group indices).
struct RecordingChoice {
  int leadsIndex = 2;  // "Количество отведений": leads - 1
  int rateIndex = 0;  // "Частота преобразования": 0 250 Hz, 1 500 Hz, 2 1000 Hz
  int rangeIndex = 0;  // "Диапазон активности"
};
// Items of the rate group, in order.
inline constexpr const char16_t* kRateItems[] = {u"250 герц", u"500 герц", u"1000герц"};
// Rate code of a rate group index (0 -> 1, 1 -> 2, 2 -> 4).
BYTE RateCodeOfIndex(int index);
// Rate group index of a rate code: how many times it halves before reaching 1, at most 4.
int RateIndexOfCode(BYTE code);
// The leading digits of a text as a number (0 without digits).
int LeadingNumber(std::u16string_view text);

// The program's view of the recording: what the captions show.
struct CaptionState {
  int rateHz = 250;
  int leads = 3;
};
// The choices into the block (rate code 14, range 22) and the caption
// state (rate parsed from the chosen item's text, leads); returns the number of leads.
int ApplyRecordingChoice(const RecordingChoice& choice, RecorderConfig& config, CaptionState& captions);

std::u16string WorkingCaption(const CaptionState& captions);
std::u16string SetupCaption();

// The six identity edits of the set-up dialog, as texts.
struct IdentityTexts {
  std::u16string year, month, number, modification, version, bitDepth;
};
// What the dialog shows for the block ("????" for a field that is 0).
IdentityTexts IdentityFromConfig(const RecorderConfig& config);
// The edits into the block: year - 2000 (a year still "????" or not a number stores 0),
// month, recorder number modulo 256, modification, version, bit depth; other text that is
// not a number counts as 0.
void StoreIdentity(const IdentityTexts& texts, RecorderConfig& config);
// A whole decimal number, or 0 for anything else (blanks around it allowed).
long long NumberOrZero(std::u16string_view text);

// What "Применить" of the working window does to the block and sends.
struct GainPlan {
  bool needsCalibration = false;  // a gain step is 0: the calibration message, then the end
  BYTE codes[3]{};  // SetGainCodes(codes[0], codes[1], codes[2])
  bool leadsChanged = false;  // normal mode: the set-up choices were applied
  int leads = 0;
};
// spin: the values of "Кан1", "Кан2", "Кан3". identity, zeros (X, Y, Z) and choice come
// from the set-up dialog and the acquisition; they are used by the mode's rules only.
GainPlan ApplyGains(RecorderConfig& config, const std::array<int, 3>& spin, const IdentityTexts& identity,
                    const std::array<int, 3>& zerosXYZ, const RecordingChoice& choice, CaptionState& captions);

// The statistics row of a channel: minimum, maximum and half swing ((max - min) div 2 as
// an unsigned 16-bit number), each right-aligned in at least 3 characters.
struct StatisticsRow {
  std::u16string minimum, maximum, halfSwing;
};
StatisticsRow MakeStatisticsRow(WORD minimum, WORD maximum);

// The desktop's date separator, taken from its short date format ("dd.MM.yyyy"): the
// first ASCII character that is neither a letter, a digit, a blank nor a quote. '/' when
// the format has none (the C locale's "d MMM yyyy").
char16_t DateSeparatorOfFormat(std::u16string_view shortFormat);
// A date as the date fields show it: two-digit day, two-digit month and four-digit year,
// in this order whatever the desktop's own order, joined by the separator.
std::u16string DateText(int year, int month, int day, char16_t separator);

// Age in whole years from a date of birth as the field shows it, "dd?mm?yyyy" with the
// desktop's separator at ?, to today: |days| / 365 truncated. Empty for the empty template
// or a date that does not exist.
std::optional<int> AgeInYears(std::u16string_view birth, int todayYear, int todayMonth, int todayDay);
// Days since 1 January 1970 of a calendar date (proleptic Gregorian).
long long DaysFromCivil(int year, int month, int day);

// The sex field: a click turns "Ж" into "М" and anything else into "Ж"; a key release
// turns "М" into "Ж" and anything else into "М".
std::u16string SexAfterClick(std::u16string_view current);
std::u16string SexAfterKeyUp(std::u16string_view current);

}  // namespace ordiva
