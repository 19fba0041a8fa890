// Session rules: what "Применить" does to the block and sends for each version and mode,
// the set-up dialog's identity fields and choices, captions, statistics rows, age and
// the sex field, the date fields' separator.
#include <gtest/gtest.h>

#include <QLocale>

#include <cstring>

#include "session.h"
#include "working_window.h"

namespace {

using ordiva::RecorderConfig;

RecorderConfig Config(BYTE version, BYTE mode) {
  RecorderConfig c{};
  for (int i = 0; i < 64; ++i) c.Bytes()[i] = static_cast<BYTE>(0x40 + i);
  c.version = version;
  c.mode = mode;
  for (int i = 0; i < 3; ++i) c.gainStep[i].Set(static_cast<WORD>(100 + 10 * i));
  return c;
}

const ordiva::IdentityTexts kIdentity{u"2025", u"3", u"300", u"2", u"11", u"12"};
const std::array<int, 3> kZerosXYZ{2001, 2002, 2003};

TEST(Gains, BelowVersionNineOneCodeForAllEvenInSetupMode) {
  for (BYTE mode : {BYTE{0xFF}, BYTE{0}}) {
    RecorderConfig c = Config(8, mode);
    const RecorderConfig before = c;
    ordiva::CaptionState captions;
    const auto plan = ordiva::ApplyGains(c, {728, 999, 999}, kIdentity, kZerosXYZ, {}, captions);
    EXPECT_FALSE(plan.needsCalibration);
    EXPECT_EQ(plan.codes[0], 4);  // 728 div 169
    EXPECT_EQ(plan.codes[1], 4);
    EXPECT_EQ(plan.codes[2], 4);
    EXPECT_EQ(std::memcmp(c.Bytes(), before.Bytes(), 64), 0) << "the block is not changed";
  }
}

TEST(Gains, SetupModeWritesValuesCopiesCodesIdentityAndZeros) {
  RecorderConfig c = Config(10, 0xFF);
  const RecorderConfig before = c;
  ordiva::CaptionState captions{250, 3};
  const auto plan = ordiva::ApplyGains(c, {728, 60000, 1000}, kIdentity, kZerosXYZ, {0, 2, 0}, captions);
  EXPECT_EQ(c.gainValue[0].Get(), 728);
  EXPECT_EQ(c.gainCopy[1].Get(), 60000);
  EXPECT_EQ(plan.codes[0], 7);  // 728 div 100
  EXPECT_EQ(plan.codes[1], (60000 / 110) & 0xFF);  // 545: low 8 bits
  EXPECT_EQ(c.gainCode[2], 1000 / 120);
  EXPECT_EQ(c.yearSince2000, 25);
  EXPECT_EQ(c.month, 3);
  EXPECT_EQ(c.number.Get(), 44);  // 300 modulo 256
  EXPECT_EQ(c.version, 11);
  EXPECT_EQ(c.Bytes()[23] | c.Bytes()[24] << 8, 2001);  // X
  EXPECT_EQ(c.Bytes()[27] | c.Bytes()[28] << 8, 2003);  // Z
  // The recording choices are not applied in setup mode.
  EXPECT_FALSE(plan.leadsChanged);
  EXPECT_EQ(c.rateCode, before.rateCode);
  EXPECT_EQ(c.leads, before.leads);
  EXPECT_EQ(captions.rateHz, 250);
}

TEST(Gains, NormalModeAppliesTheRecordingChoiceWithoutCopies) {
  RecorderConfig c = Config(10, 0);
  const RecorderConfig before = c;
  ordiva::CaptionState captions{250, 3};
  const auto plan = ordiva::ApplyGains(c, {500, 500, 500}, kIdentity, kZerosXYZ, {1, 1, 0}, captions);
  EXPECT_EQ(c.gainValue[2].Get(), 500);
  EXPECT_EQ(std::memcmp(c.gainCopy, before.gainCopy, 6), 0);
  EXPECT_EQ(c.number.Get(), before.number.Get());
  EXPECT_TRUE(plan.leadsChanged);
  EXPECT_EQ(plan.leads, 2);
  EXPECT_EQ(c.leads, 2);
  EXPECT_EQ(c.rateCode, 2);
  EXPECT_EQ(c.accelRange, 0);
  EXPECT_EQ(ordiva::WorkingCaption(captions),
            u"Тип регистратора VR03M  Частота преобразования= 500 гц. Количество Отведений= 2");
}

TEST(Gains, AZeroStepAsksForCalibrationAndChangesNothing) {
  RecorderConfig c = Config(8, 0);
  c.gainStep[2].Set(0);
  const RecorderConfig before = c;
  ordiva::CaptionState captions;
  EXPECT_TRUE(ordiva::ApplyGains(c, {728, 728, 728}, kIdentity, kZerosXYZ, {}, captions).needsCalibration);
  EXPECT_EQ(std::memcmp(c.Bytes(), before.Bytes(), 64), 0);
}

TEST(SetupDialog, IdentityFieldsBothWays) {
  RecorderConfig c{};
  c.yearSince2000 = 25;
  c.month = 3;
  auto t = ordiva::IdentityFromConfig(c);
  EXPECT_EQ(t.year, u"2025");
  EXPECT_EQ(t.month, u"3");
  EXPECT_EQ(t.number, u"????");
  EXPECT_EQ(t.version, u"????");
  c.yearSince2000 = 0;
  EXPECT_EQ(ordiva::IdentityFromConfig(c).year, u"????");

  // Stored back: "????" and other text that is not a number give 0, and a year that is
  // still "????" stays unset rather than becoming (0 - 2000) modulo 256.
  RecorderConfig d = Config(10, 0);
  ordiva::StoreIdentity({u"????", u"x1", u"300", u" 7 ", u"????", u"12"}, d);
  EXPECT_EQ(d.yearSince2000, 0);
  EXPECT_EQ(ordiva::IdentityFromConfig(d).year, u"????");
  EXPECT_EQ(d.month, 0);
  EXPECT_EQ(d.number.Get(), 44);
  EXPECT_EQ(d.Bytes()[9], 0);
  EXPECT_EQ(d.modification, 7);
  EXPECT_EQ(d.version, 0);
  EXPECT_EQ(d.bitDepth, 12);
}

TEST(SetupDialog, RateChoices) {
  EXPECT_EQ(std::u16string(ordiva::kRateItems[ordiva::RateIndexOfCode(4)]), u"1000герц");
  EXPECT_EQ(ordiva::RateIndexOfCode(1), 0);
  EXPECT_EQ(ordiva::RateIndexOfCode(2), 1);
  RecorderConfig c{};
  ordiva::CaptionState captions;
  EXPECT_EQ(ordiva::ApplyRecordingChoice({0, 1, 0}, c, captions), 1);
  EXPECT_EQ(c.rateCode, 2);
  EXPECT_EQ(captions.rateHz, 500);
  ordiva::ApplyRecordingChoice({2, 2, 0}, c, captions);
  EXPECT_EQ(captions.rateHz, 1000);  // leading digits of "1000герц"
  EXPECT_EQ(c.rateCode, 4);
  EXPECT_EQ(ordiva::SetupCaption(), u"Тип регистратора VR03M");
}

TEST(SetupDialog, StatisticsRows) {
  const auto none = ordiva::MakeStatisticsRow(0xFFFF, 0);  // no sample since "Пуск"
  EXPECT_EQ(none.minimum, u"65535");
  EXPECT_EQ(none.maximum, u"  0");
  EXPECT_EQ(none.halfSwing, u"32769");
  const auto row = ordiva::MakeStatisticsRow(1500, 2601);
  EXPECT_EQ(row.halfSwing, u"550");
  EXPECT_EQ(ordiva::MakeStatisticsRow(2000, 2011).halfSwing, u"  5");
}

TEST(PatientPanel, AgeIsDaysDividedBy365) {
  EXPECT_EQ(ordiva::AgeInYears(u"  /  /    ", 2026, 12, 7), std::nullopt);
  EXPECT_EQ(ordiva::AgeInYears(u"31/02/1990", 2026, 12, 7), std::nullopt);
  EXPECT_EQ(ordiva::AgeInYears(u"07/12/1990", 2026, 12, 7), 36);
  // 9131 days: 25 by the rule although the calendar says 24.
  EXPECT_EQ(ordiva::AgeInYears(u"01.01.2000", 2024, 12, 31), 25);
  // A date of birth after today counts by the absolute difference.
  EXPECT_EQ(ordiva::AgeInYears(u"07/12/2028", 2026, 12, 7), 2);
  EXPECT_EQ(ordiva::DaysFromCivil(1970, 1, 1), 0);
  EXPECT_EQ(ordiva::DaysFromCivil(2000, 3, 1) - ordiva::DaysFromCivil(2000, 2, 28), 2);
}

TEST(PatientPanel, DatesTakeTheDesktopsSeparatorAndKeepDayMonthYear) {
  EXPECT_EQ(ordiva::DateSeparator(QLocale("ru_RU")), u'.');
  EXPECT_EQ(ordiva::DateSeparator(QLocale::c()), u'/') << "\"d MMM yyyy\" has none: the default";
  EXPECT_EQ(ordiva::DateSeparator(QLocale("en_US")), u'/');
  EXPECT_EQ(ordiva::DateSeparator(QLocale("nl_NL")), u'-');
  EXPECT_EQ(ordiva::DateSeparator(QLocale("sk_SK")), u'.') << "\"d. M. yyyy\": blanks are not the separator";
  EXPECT_EQ(ordiva::DateSeparator(QLocale("ar_EG")), u'/') << "direction marks beside it are skipped";
  EXPECT_EQ(ordiva::DateSeparatorOfFormat(u"'den' d-M-yy"), u'-') << "quoted words are skipped";

  // Whatever order the desktop writes dates in, the fields hold day, month, year.
  EXPECT_EQ(ordiva::DateText(2026, 12, 7, u'.'), u"07.12.2026");
  EXPECT_EQ(ordiva::DateText(2026, 1, 5, u'/'), u"05/01/2026");
  EXPECT_EQ(ordiva::DateText(987, 10, 31, u'-'), u"31-10-0987");
  // The age reads the field as shown, with either separator.
  EXPECT_EQ(ordiva::AgeInYears(ordiva::DateText(1990, 12, 7, u'.'), 2026, 12, 7), 36);
  EXPECT_EQ(ordiva::AgeInYears(ordiva::DateText(1990, 12, 7, u'/'), 2026, 12, 7), 36);
}

TEST(PatientPanel, SexToggles) {
  EXPECT_EQ(ordiva::SexAfterClick(u"Ж"), u"М");
  EXPECT_EQ(ordiva::SexAfterClick(u"М"), u"Ж");
  EXPECT_EQ(ordiva::SexAfterClick(u""), u"Ж");
  EXPECT_EQ(ordiva::SexAfterKeyUp(u"М"), u"Ж");
  EXPECT_EQ(ordiva::SexAfterKeyUp(u"Ж"), u"М");
  EXPECT_EQ(ordiva::SexAfterKeyUp(u"x"), u"М");
}

}  // namespace
