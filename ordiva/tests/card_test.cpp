// The session record: the patient block's fields in Windows-1251, the completeness rule,
// which drive is taken as the card, and what the write leaves in the file (checked on a
// pinned folder and, with mtools, inside a FAT16 image).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>

#include "card.h"
#include "nxtest/fatimage.h"
#include "nxtest/temp.h"
#include "nxtest/unwritable.h"

namespace {

using ordiva::PatientBlock;
using ordiva::PatientTexts;
namespace pf = ordiva::patient;

PatientTexts Filled() {
  PatientTexts t;
  t.surname = u"Иванов";
  t.firstName = u"Пётр";
  t.patronymic = u"Сергеевич";
  t.regNumber = u"1234567";
  t.birth = u"01/02/1960";
  t.sex = u"М";
  t.height = u"180";
  t.weight = u"75";
  t.clinic = u"Клиника №1";
  t.doctor = u"Петрова";
  t.channel1 = u"V1";
  t.channel2 = u"V5";
  t.channel3 = u"avF";
  t.date = u"07/12/2026";
  t.time = u"13:05";
  return t;
}

TEST(PatientBlock, FieldsAreLengthPrefixedWindows1251CutAtWidthLessOne) {
  PatientBlock b;
  b.bytes.fill(0xAA);
  b.Put(pf::kSurname, std::u16string(70, u'Щ'));
  EXPECT_EQ(b.bytes[80], 63);
  EXPECT_EQ(b.bytes[81], 0xD9);  // 'Щ' in Windows-1251
  EXPECT_EQ(b.bytes[143], 0xD9);
  EXPECT_EQ(b.bytes[144], 0xAA) << "the next field is untouched";
  EXPECT_EQ(b.Get(pf::kSurname), std::u16string(63, u'Щ'));

  b.Put(pf::kSurname, u"Ёж");
  EXPECT_EQ(b.bytes[80], 2);
  EXPECT_EQ(b.bytes[81], 0xA8);
  EXPECT_EQ(b.bytes[82], 0xE6);
  EXPECT_EQ(b.bytes[83], 0xD9) << "bytes after the text keep what was there";
  EXPECT_EQ(b.Get(pf::kSurname), u"Ёж");
  b.Put(pf::kTime, u"123456789012345678");
  EXPECT_EQ(b.bytes[1], 14);
}

TEST(PatientBlock, BuildClearsBytesOneTo320AndChecksCompleteness) {
  PatientBlock b;
  b.bytes.fill(0xAA);
  const PatientTexts t = Filled();
  ASSERT_TRUE(b.BuildNames(t));
  EXPECT_EQ(b.bytes[0], 0xAA);
  EXPECT_EQ(b.bytes[1], 0);  // time not filled yet: cleared
  EXPECT_EQ(b.bytes[100], 0);  // after the surname
  EXPECT_EQ(b.bytes[320], 0);
  EXPECT_EQ(b.bytes[321], 0xAA);
  b.BuildRest(t);
  EXPECT_EQ(b.Get(pf::kRegNumber), u"1234567");
  EXPECT_EQ(b.Get(pf::kClinic), u"Клиника №1");
  EXPECT_EQ(b.Get(pf::kChannel3), u"avF");
  EXPECT_EQ(b.Get(pf::kTime), u"13:05");
  EXPECT_EQ(b.Get(pf::kDate), u"07/12/2026");
  EXPECT_EQ(b.Get(pf::kSex), u"М");
  EXPECT_EQ(b.Get(pf::kWeight), u"75");

  for (auto field : {&PatientTexts::surname, &PatientTexts::firstName, &PatientTexts::patronymic,
                     &PatientTexts::regNumber}) {
    PatientTexts blank = Filled();
    blank.*field = u"   ";
    EXPECT_FALSE(b.BuildNames(blank));
    blank.*field = u"";
    EXPECT_FALSE(b.BuildNames(blank));
  }
}

TEST(SessionHeader, Patch) {
  BYTE sector[512];
  std::memset(sector, 0x5C, sizeof sector);
  ordiva::PatchHeader(sector, 25, 3);
  EXPECT_EQ(std::memcmp(sector, "OBNOVL", 6), 0);
  EXPECT_EQ(sector[6], 25);
  EXPECT_EQ(sector[7], 3);
  EXPECT_EQ(sector[8], 0x5C);
}

// Drives pinned to folders for the scope of a test.
class Drives {
 public:
  void Pin(const std::string& pin) { pins_ += (pins_.empty() ? "" : ";") + pin; }
  std::string Folder(const std::string& name, bool withFile, size_t size = 4096) {
    const std::string path = dir_.Path() + "/" + name;
    std::filesystem::create_directories(path);
    if (withFile) nxtest::WriteBytes(path + "/VKFRCG.BIN", nxtest::Pattern(size, static_cast<unsigned>(name[0])));
    return path;
  }
  void Apply() { setenv("NX_DRIVES", pins_.c_str(), 1); }
  ~Drives() { unsetenv("NX_DRIVES"); }
  const std::string& Dir() const { return dir_.Path(); }

 private:
  nxtest::TempDir dir_{"ordiva-card"};
  std::string pins_;
};

TEST(CardSearch, FirstRemovableDriveWithTheFile) {
  Drives d;
  d.Pin("C:fixed=" + d.Folder("fixed", true));
  d.Pin("D=" + d.Folder("empty", false));
  d.Pin("F=" + d.Folder("f", true));
  d.Pin("E=" + d.Folder("e", true));
  d.Pin("G=" + d.Dir() + "/absent");
  d.Apply();
  EXPECT_EQ(ordiva::FindCard(), 'E');

  Drives fixedOnly;
  fixedOnly.Pin("C:fixed=" + fixedOnly.Folder("c", true));
  fixedOnly.Pin("H:fixed=" + fixedOnly.Folder("h", true));
  fixedOnly.Pin("D=" + fixedOnly.Folder("d", false));
  fixedOnly.Apply();
  EXPECT_EQ(ordiva::FindCard(), 0);
}

TEST(CardFile, WritesTheHeaderPatchAndThePatientBlockInPlace) {
  Drives d;
  const std::string folder = d.Folder("e", true, 8192);
  d.Pin("E=" + folder);
  d.Apply();
  const std::string file = folder + "/VKFRCG.BIN";
  const std::string before = nxtest::ReadBytes(file);

  PatientBlock b;
  ASSERT_TRUE(b.BuildNames(Filled()));
  b.BuildRest(Filled());
  ordiva::CardFile card;
  ASSERT_EQ(card.Open('E'), 0u);
  ASSERT_EQ(card.Write(25, 3, b), 0u);
  card.Close();

  const std::string after = nxtest::ReadBytes(file);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after.substr(0, 8), std::string("OBNOVL\x19\x03", 8));
  EXPECT_EQ(after.substr(8, 1016), before.substr(8, 1016));
  EXPECT_EQ(after.substr(1024, 512), std::string(reinterpret_cast<const char*>(b.bytes.data()), 512));
  EXPECT_EQ(after.substr(1536), before.substr(1536));
}

TEST(CardFile, FailuresAreReportedAndNothingGrows) {
  Drives d;
  const std::string shortFolder = d.Folder("s", true, 1000);
  const std::string roFolder = d.Folder("r", true);
  d.Pin("E=" + shortFolder);
  d.Pin("F=" + roFolder);
  d.Apply();
  PatientBlock b;
  ordiva::CardFile card;
  ASSERT_EQ(card.Open('E'), 0u);
  EXPECT_EQ(card.Write(25, 3, b), ERROR_HANDLE_EOF);
  card.Close();
  EXPECT_EQ(nxtest::ReadBytes(shortFolder + "/VKFRCG.BIN"), nxtest::Pattern(1000, 's'));

  EXPECT_EQ(ordiva::CardFile().Write(1, 1, b), ERROR_INVALID_HANDLE);

  // A session file nobody may write, root included.
  nxtest::UnwritableFile readOnly(roFolder + "/VKFRCG.BIN");
  if (!readOnly.Ok()) GTEST_SKIP() << "no read-only file here: " << readOnly.How();
  EXPECT_EQ(card.Open('F'), ERROR_ACCESS_DENIED) << readOnly.How();
}

TEST(CardFile, InsideAFat16Image) {
  nxtest::TempDir dir("ordiva-img");
  const std::string image = dir.Path() + "/card.img";
  nxtest::MakeFatImage(image, 8192, 16, "VR03", "1234ABCD");
  const std::string local = dir.Path() + "/VKFRCG.BIN";
  nxtest::WriteBytes(local, nxtest::Pattern(64 * 1024, 7));
  nxtest::PutFile(image, local, "VKFRCG.BIN");
  const std::string other = dir.Path() + "/other.img";
  nxtest::MakeFatImage(other, 2048, 12, "OTHER", "11112222");
  setenv("NX_DRIVES", ("D=" + other + ";E=" + image).c_str(), 1);

  EXPECT_EQ(ordiva::FindCard(), 'E');
  PatientBlock b;
  ASSERT_TRUE(b.BuildNames(Filled()));
  b.BuildRest(Filled());
  ordiva::CardFile card;
  ASSERT_EQ(card.Open('E'), 0u);
  EXPECT_EQ(card.Write(24, 11, b), 0u);
  card.Close();
  unsetenv("NX_DRIVES");

  const std::string back = nxtest::GetFile(image, "VKFRCG.BIN");
  ASSERT_EQ(back.size(), 64u * 1024);
  EXPECT_EQ(back.substr(0, 8), std::string("OBNOVL\x18\x0B", 8));
  PatientBlock read;
  std::memcpy(read.bytes.data(), back.data() + 1024, 512);
  EXPECT_EQ(read.Get(pf::kSurname), u"Иванов");
  EXPECT_EQ(read.Get(pf::kDoctor), u"Петрова");
  EXPECT_EQ(back.substr(1536), nxtest::Pattern(64 * 1024, 7).substr(1536));
}

}  // namespace
