// The report's two forms: JSON that a parser takes whatever the texts hold (quotes,
// control characters, Cyrillic, broken UTF-8 from a device's name), and the terminal's
// lines with the fix under its check and colour only when asked for.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <string>

#include "report.h"

namespace {

using vr03check::Report;
using vr03check::Status;

std::string Written(const Report& r, bool json, bool colour = false) {
  char* buf = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&buf, &size);
  if (json) r.WriteJson(f, "1.2.3");
  else r.WriteText(f, colour);
  std::fclose(f);
  std::string s(buf, size);
  free(buf);
  return s;
}

Report Sample() {
  Report r;
  r.Add("card E:", "card E:", Status::Fail, "label \"ЗАПИСЬ\"\tline\nbreak \x01 and \xff\xfe bytes",
        "udisksctl unmount -b /dev/sdb1")
      .Fact("mounted", true)
      .Fact("clusters", 32695LL)
      .Fact("device", std::string("/dev/sdb1"));
  r.Add("font", "Cyrillic font", Status::Ok, "DejaVu Sans");
  r.Add("agent", "pairing agent", Status::Skip, "not checked: no bluetoothd");
  r.Add("recorder 00:80:25:00:00:62", "recorder 00:80:25:00:00:62", Status::Warn, "VR-03M 0062, not paired",
        "bluetoothctl pair 00:80:25:00:00:62");
  return r;
}

TEST(Report, JsonParsesWhateverTheTextsHold) {
  const std::string json = Written(Sample(), true);
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
  ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << "\n" << json;
  const QJsonObject top = doc.object();
  EXPECT_EQ(top["version"].toString(), "1.2.3");
  EXPECT_FALSE(top["ok"].toBool()) << "a failed check makes the whole not ok";
  const QJsonArray checks = top["checks"].toArray();
  ASSERT_EQ(checks.size(), 4);
  const QJsonObject card = checks[0].toObject();
  EXPECT_EQ(card["status"].toString(), "fail");
  EXPECT_EQ(card["text"].toString(),
            QString::fromUtf8("label \"ЗАПИСЬ\"\tline\nbreak \x01 and ") + QChar(0xFFFD) + QChar(0xFFFD) + " bytes");
  EXPECT_EQ(card["fix"].toString(), "udisksctl unmount -b /dev/sdb1");
  EXPECT_EQ(card["facts"].toObject()["mounted"], QJsonValue(true));
  EXPECT_EQ(card["facts"].toObject()["clusters"].toInteger(), 32695);
  EXPECT_EQ(card["facts"].toObject()["device"].toString(), "/dev/sdb1");
  EXPECT_TRUE(checks[1].toObject()["fix"].isNull()) << "no fix is null, not an empty command";
  EXPECT_EQ(checks[2].toObject()["status"].toString(), "skip");
  EXPECT_EQ(checks[3].toObject()["status"].toString(), "warn");

  Report fine;
  fine.Add("font", "Cyrillic font", Status::Ok, "DejaVu Sans");
  fine.Add("recorders", "known recorders", Status::Warn, "none");
  fine.Add("agent", "pairing agent", Status::Skip, "no bluetoothd");
  const QJsonDocument ok = QJsonDocument::fromJson(QByteArray::fromStdString(Written(fine, true)));
  EXPECT_TRUE(ok.object()["ok"].toBool()) << "warnings and skipped checks are not failures";
}

TEST(Report, OneLinePerCheckWithItsFixBelowAndColourOnlyWhenAsked) {
  const Report r = Sample();
  const std::string plain = Written(r, false);
  EXPECT_EQ(plain.find('\x1b'), std::string::npos);
  EXPECT_EQ(plain.rfind("FAIL  card E: label", 0), 0u) << "no second colon after a title that ends with one";
  EXPECT_NE(plain.find("\"ЗАПИСЬ\" line break"), std::string::npos) << "tabs and line breaks become blanks";
  EXPECT_NE(plain.find("\n      fix: udisksctl unmount -b /dev/sdb1\n"), std::string::npos);
  EXPECT_NE(plain.find("\nOK    Cyrillic font: DejaVu Sans\nSKIP  pairing agent: not checked"), std::string::npos)
      << "a check without a fix has no fix line";
  EXPECT_NE(plain.find("\nWARN  recorder 00:80:25:00:00:62: VR-03M 0062, not paired\n      fix: bluetoothctl pair"),
            std::string::npos);
  EXPECT_NE(plain.find("\n1 ok, 1 warnings, 1 failed, 1 not checked\n"), std::string::npos) << plain;

  const std::string coloured = Written(r, false, true);
  EXPECT_NE(coloured.find("\x1b[1;31mFAIL\x1b[0m  card E:"), std::string::npos);
  EXPECT_NE(coloured.find("\x1b[32mOK  \x1b[0m  Cyrillic font"), std::string::npos);
}

}  // namespace
