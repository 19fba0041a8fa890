// Session rules of the working window and the set-up dialog: gains, choices, identity,
// captions, statistics, age, sex.
#include "session.h"

#include <cstdlib>

#include "decoder.h"

namespace ordiva {
namespace {

std::u16string Number(long long v) {
  const std::string n = std::to_string(v);
  return std::u16string(n.begin(), n.end());
}

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && s.front() == u' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == u' ') s.remove_suffix(1);
  return s;
}

std::u16string FieldText(int value) { return value == 0 ? std::u16string(kUnsetField) : Number(value); }

}  // namespace

BYTE RateCodeOfIndex(int index) {
  static constexpr BYTE kCodes[] = {kRate250, kRate500, kRate1000};
  return index >= 0 && index < 3 ? kCodes[index] : kRate250;
}

int RateIndexOfCode(BYTE code) {
  int index = 0;
  while (code > 1 && index < 4) {
    code = static_cast<BYTE>(code / 2);
    ++index;
  }
  return index;
}

int LeadingNumber(std::u16string_view text) {
  int n = 0;
  for (char16_t ch : text) {
    if (ch < u'0' || ch > u'9') break;
    n = n * 10 + (ch - u'0');
  }
  return n;
}

int ApplyRecordingChoice(const RecordingChoice& choice, RecorderConfig& config, CaptionState& captions) {
  const int leads = choice.leadsIndex + 1;
  config.rateCode = RateCodeOfIndex(choice.rateIndex);
  config.accelRange = static_cast<BYTE>(choice.rangeIndex);
  const int item = choice.rateIndex >= 0 && choice.rateIndex < 3 ? choice.rateIndex : 0;
  captions.rateHz = LeadingNumber(kRateItems[item]);
  captions.leads = leads;
  return leads;
}

std::u16string WorkingCaption(const CaptionState& captions) {
  return u"Тип регистратора " + std::u16string(kRecorderType) + u"  " + u"Частота преобразования= " +
         Number(captions.rateHz) + u" гц." + u" Количество Отведений= " + Number(captions.leads);
}

std::u16string SetupCaption() { return u"Тип регистратора " + std::u16string(kRecorderType); }

IdentityTexts IdentityFromConfig(const RecorderConfig& config) {
  IdentityTexts t;
  t.year = config.yearSince2000 == 0 ? std::u16string(kUnsetField) : Number(config.yearSince2000 + 2000);
  t.month = FieldText(config.month);
  t.number = FieldText(config.number.Get());
  t.modification = FieldText(config.modification);
  t.version = FieldText(config.version);
  t.bitDepth = FieldText(config.bitDepth);
  return t;
}

long long NumberOrZero(std::u16string_view text) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == u'-' || text.front() == u'+')) {
    negative = text.front() == u'-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 18) return 0;
  long long n = 0;
  for (char16_t ch : text) {
    if (ch < u'0' || ch > u'9') return 0;
    n = n * 10 + (ch - u'0');
  }
  return negative ? -n : n;
}

void StoreIdentity(const IdentityTexts& texts, RecorderConfig& config) {
  const long long year = NumberOrZero(texts.year);
  // A year never set shows "????"; storing it back must keep it unset, not 2000 - 2000.
  config.yearSince2000 = year == 0 ? 0 : static_cast<BYTE>((year - 2000) & 0xFF);
  config.month = static_cast<BYTE>(NumberOrZero(texts.month));
  config.number.Set(static_cast<WORD>(NumberOrZero(texts.number) & 0xFF));
  config.modification = static_cast<BYTE>(NumberOrZero(texts.modification));
  config.version = static_cast<BYTE>(NumberOrZero(texts.version));
  config.bitDepth = static_cast<BYTE>(NumberOrZero(texts.bitDepth));
}

GainPlan ApplyGains(RecorderConfig& config, const std::array<int, 3>& spin, const IdentityTexts& identity,
                    const std::array<int, 3>& zerosXYZ, const RecordingChoice& choice, CaptionState& captions) {
  GainPlan plan;
  for (const LeWord& step : config.gainStep) {
    if (step.Get() == 0) {
      plan.needsCalibration = true;
      return plan;
    }
  }
  if (config.version < kVersionSharedGainBelow) {
    const BYTE code = static_cast<BYTE>((spin[0] / kSharedGainDivisor) & 0xFF);
    plan.codes[0] = plan.codes[1] = plan.codes[2] = code;
    return plan;
  }
  for (int i = 0; i < 3; ++i) {
    const WORD value = static_cast<WORD>(spin[i]);
    config.gainValue[i].Set(value);
    plan.codes[i] = static_cast<BYTE>((static_cast<unsigned>(value) / config.gainStep[i].Get()) & 0xFF);
    config.gainCode[i] = plan.codes[i];
  }
  if (config.InSetupMode()) {
    for (int i = 0; i < 3; ++i) config.gainCopy[i].Set(static_cast<WORD>(spin[i]));
    StoreIdentity(identity, config);
    config.accelZeroX.Set(static_cast<WORD>(zerosXYZ[0]));
    config.accelZeroY.Set(static_cast<WORD>(zerosXYZ[1]));
    config.accelZeroZ.Set(static_cast<WORD>(zerosXYZ[2]));
  } else {
    plan.leads = ApplyRecordingChoice(choice, config, captions);
    config.leads = static_cast<BYTE>(plan.leads);
    plan.leadsChanged = true;
  }
  return plan;
}

StatisticsRow MakeStatisticsRow(WORD minimum, WORD maximum) {
  const WORD half = static_cast<WORD>((static_cast<int>(maximum) - static_cast<int>(minimum)) / 2);
  return {RightAligned(minimum, 3), RightAligned(maximum, 3), RightAligned(half, 3)};
}

long long DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(d) - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

char16_t DateSeparatorOfFormat(std::u16string_view shortFormat) {
  for (char16_t ch : shortFormat) {
    // Beyond ASCII are the invisible direction marks that right-to-left formats put
    // beside their separators, and words such as a year's abbreviation.
    const bool letter = (ch >= u'a' && ch <= u'z') || (ch >= u'A' && ch <= u'Z') || ch >= 0x7F;
    const bool digit = ch >= u'0' && ch <= u'9';
    if (letter || digit || ch <= u' ' || ch == u'\'') continue;
    return ch;
  }
  return u'/';
}

std::u16string DateText(int year, int month, int day, char16_t separator) {
  auto digits = [](int v, int width) {
    std::u16string s(static_cast<size_t>(width), u'0');
    for (int i = width - 1; i >= 0 && v > 0; --i, v /= 10) s[static_cast<size_t>(i)] = static_cast<char16_t>(u'0' + v % 10);
    return s;
  };
  return digits(day, 2) + separator + digits(month, 2) + separator + digits(year, 4);
}

std::optional<int> AgeInYears(std::u16string_view birth, int todayYear, int todayMonth, int todayDay) {
  if (birth.size() != 10) return std::nullopt;
  int parts[3]{};
  const int starts[3] = {0, 3, 6}, widths[3] = {2, 2, 4};
  for (int p = 0; p < 3; ++p) {
    for (int i = 0; i < widths[p]; ++i) {
      const char16_t ch = birth[static_cast<size_t>(starts[p] + i)];
      if (ch < u'0' || ch > u'9') return std::nullopt;  // the empty template, or a half-typed date
      parts[p] = parts[p] * 10 + (ch - u'0');
    }
  }
  const int day = parts[0], month = parts[1], year = parts[2];
  static constexpr int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kMonthDays[month - 1]) return std::nullopt;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return std::nullopt;
  const long long days = DaysFromCivil(todayYear, todayMonth, todayDay) - DaysFromCivil(year, month, day);
  return static_cast<int>(std::llabs(days) / 365);
}

std::u16string SexAfterClick(std::u16string_view current) { return current == u"Ж" ? u"М" : u"Ж"; }
std::u16string SexAfterKeyUp(std::u16string_view current) { return current == u"М" ? u"Ж" : u"М"; }

}  // namespace ordiva
