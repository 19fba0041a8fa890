// Drive letters pinned with NX_DRIVES to FAT images, folders and missing media: the
// drive functions, files found through FAT directory entries, and raw volumes; checked
// against dosfstools and mtools.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <regex>
#include <string>

#include "nxpal/windows.h"
#include "nxtest/fatimage.h"
#include "nxtest/seeds.h"
#include "nxtest/temp.h"
#include "nxtest/unwritable.h"

namespace {

using nxtest::Capture;
using nxtest::Pattern;
using nxtest::Quote;
using nxtest::ReadBytes;
using nxtest::WriteBytes;

std::u16string W(const std::string& s) { return nx::Utf8ToUtf16(s); }

HANDLE OpenA(const std::string& name, DWORD access, DWORD disposition = OPEN_EXISTING) {
  return CreateFileA(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition, 0, nullptr);
}

std::string ReadAll(HANDLE h, size_t max = 1 << 22) {
  std::string s(max, '\0');
  DWORD n = 0;
  if (!ReadFile(h, s.data(), static_cast<DWORD>(max), &n, nullptr)) return "<read failed>";
  s.resize(n);
  return s;
}

// What dosfstools and mtools say about an image.
unsigned long long DataBytes(const std::string& image) {
  std::smatch m;
  std::string out = Capture("fsck.fat -v -n " + Quote(image));
  return std::regex_search(out, m, std::regex(R"(data clusters \((\d+) bytes\))")) ? std::stoull(m[1]) : 0;
}
unsigned long long FreeBytes(const std::string& image) {
  std::string out = Capture("mdir -i " + Quote(image) + " ::");
  std::smatch m;
  if (!std::regex_search(out, m, std::regex(R"(([\d ]+) bytes free)"))) return 0;
  std::string digits;
  for (char c : m[1].str())
    if (c != ' ') digits += c;
  return std::stoull(digits);
}

class DrivesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    img16_ = dir_.Path() + "/card16.img";
    img12_ = dir_.Path() + "/card12.img";
    nxtest::MakeFatImage(img16_, 8192, 16, "CARD16", "1234ABCD");
    nxtest::MakeFatImage(img12_, 1024, 12, "CARD12", "00C0FFEE", 4);
    folder_ = dir_.Path() + "/folder";
    mkdir(folder_.c_str(), 0755);
    mkdir((folder_ + "/Sub").c_str(), 0755);
    WriteBytes(folder_ + "/Sub/File.TXT", "in a folder");
    Pin("E=" + img16_ + ";F=" + img12_ + ";G:floppy=" + img12_ + ";H:fixed=" + folder_ + ";I=" + dir_.Path() +
        "/absent.img");
  }
  void TearDown() override { unsetenv("NX_DRIVES"); }
  void Pin(const std::string& pins) { setenv("NX_DRIVES", pins.c_str(), 1); }

  nxtest::TempDir dir_{"nxpal-drives"};
  std::string img16_, img12_, folder_;
};

TEST_F(DrivesTest, OnlyPinnedLettersExistWithTheirTypesAndTargets) {
  EXPECT_EQ(GetLogicalDrives(), (1u << 4) | (1u << 5) | (1u << 6) | (1u << 7) | (1u << 8));
  EXPECT_EQ(GetDriveTypeW(u"E:\\"), DRIVE_REMOVABLE);
  EXPECT_EQ(GetDriveTypeA("e:"), DRIVE_REMOVABLE);
  EXPECT_EQ(GetDriveTypeW(u"H:\\"), DRIVE_FIXED);
  EXPECT_EQ(GetDriveTypeW(u"I:\\"), DRIVE_REMOVABLE);  // a reader without a card
  EXPECT_EQ(GetDriveTypeW(u"C:\\"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(GetDriveTypeW(u"EE"), DRIVE_NO_ROOT_DIR);

  WCHAR buf[MAX_PATH];
  DWORD n = QueryDosDeviceW(u"G:", buf, MAX_PATH);
  ASSERT_GT(n, 0u);
  EXPECT_NE(std::u16string(buf).find(u"Flop"), std::u16string::npos);
  n = QueryDosDeviceW(u"E:", buf, MAX_PATH);
  EXPECT_EQ(std::u16string(buf), u"\\??\\" + W(img16_));
  EXPECT_EQ(n, std::u16string(buf).size() + 2);  // both terminators counted
  EXPECT_EQ(buf[n - 1], 0);
  EXPECT_EQ(QueryDosDeviceW(u"E:", buf, 4), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(QueryDosDeviceW(u"Q:", buf, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  n = QueryDosDeviceW(nullptr, buf, MAX_PATH);  // all drive names
  EXPECT_EQ(std::u16string(buf, n), std::u16string(u"E:\0F:\0G:\0H:\0I:\0\0", 16));
}

TEST_F(DrivesTest, VolumeInformationComesFromTheFileSystem) {
  WCHAR label[32], fs[16];
  DWORD serial = 0, maxLen = 0, flags = 0;
  ASSERT_TRUE(GetVolumeInformationW(u"E:\\", label, 32, &serial, &maxLen, &flags, fs, 16)) << GetLastError();
  EXPECT_EQ(std::u16string(label), u"CARD16");
  EXPECT_EQ(serial, 0x1234ABCDu);
  EXPECT_EQ(std::u16string(fs), u"FAT");
  EXPECT_EQ(maxLen, 255u);
  // Nothing requested: only whether a readable medium is there.
  EXPECT_TRUE(GetVolumeInformationW(u"F:\\", nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0));
  // The label in the root folder wins over the boot sector's.
  ASSERT_EQ(nxtest::Run("mlabel -i " + Quote(img12_) + " ::RELABELED >/dev/null 2>&1"), 0);
  ASSERT_TRUE(GetVolumeInformationW(u"F:\\", label, 32, &serial, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(std::u16string(label), u"RELABELED");
  EXPECT_EQ(serial, 0x00C0FFEEu);
  EXPECT_FALSE(GetVolumeInformationW(u"E:\\", label, 3, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  EXPECT_FALSE(GetVolumeInformationW(u"I:\\", nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
  EXPECT_FALSE(GetVolumeInformationW(u"Q:\\", nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  WriteBytes(dir_.Path() + "/absent.img", std::string(65536, '\0'));  // a medium without a file system
  EXPECT_FALSE(GetVolumeInformationW(u"I:\\", nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_UNRECOGNIZED_VOLUME);
  // A folder reports the file system it lives on.
  EXPECT_TRUE(GetVolumeInformationW(u"H:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, 16));
  EXPECT_FALSE(std::u16string(fs).empty());
}

TEST_F(DrivesTest, FreeSpaceIsCountedInDataClustersAsWindowsDoes) {
  WriteBytes(dir_.Path() + "/some.bin", Pattern(100000));
  nxtest::PutFile(img16_, dir_.Path() + "/some.bin", "SOME.BIN");
  nxtest::PutFile(img12_, dir_.Path() + "/some.bin", "SOME.BIN");
  for (auto [root, image] : {std::pair{u"E:\\", img16_}, std::pair{u"F:\\", img12_}}) {
    SCOPED_TRACE(nx::Utf16ToUtf8(root));
    ULARGE_INTEGER avail{}, total{}, free{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(root, &avail, &total, &free));
    EXPECT_EQ(total.QuadPart, DataBytes(image));
    EXPECT_EQ(free.QuadPart, FreeBytes(image));
    EXPECT_EQ(avail.QuadPart, free.QuadPart);
  }
  ULARGE_INTEGER total{};
  EXPECT_TRUE(GetDiskFreeSpaceExW(u"E:\\", nullptr, &total, nullptr));
  EXPECT_FALSE(GetDiskFreeSpaceExW(u"I:\\", nullptr, &total, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
}

TEST_F(DrivesTest, FilesOnUnmountedImagesAreFoundThroughTheirDirectoryEntries) {
  // A fragmented file: freed clusters of a deleted file first, then fresh ones.
  const std::string big = Pattern(20000, 3);
  for (const std::string& image : {img16_, img12_}) {
    SCOPED_TRACE(image);
    WriteBytes(dir_.Path() + "/a.bin", Pattern(5000, 1));
    WriteBytes(dir_.Path() + "/b.bin", Pattern(3000, 2));
    WriteBytes(dir_.Path() + "/big.bin", big);
    nxtest::PutFile(image, dir_.Path() + "/a.bin", "A.BIN");
    nxtest::PutFile(image, dir_.Path() + "/b.bin", "B.BIN");
    ASSERT_EQ(nxtest::Run("mdel -i " + Quote(image) + " ::A.BIN"), 0);
    nxtest::PutFile(image, dir_.Path() + "/big.bin", "VKFRCG.BIN");
    ASSERT_EQ(nxtest::Run("mmd -i " + Quote(image) + " ::DIR"), 0);
    nxtest::PutFile(image, dir_.Path() + "/b.bin", "DIR/INNER.TXT");
  }
  for (const std::string letter : {"E", "F"}) {
    SCOPED_TRACE(letter);
    HANDLE h = OpenA(letter + ":\\vkfrcg.bin", GENERIC_READ);  // any case
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(GetFileSize(h, nullptr), big.size());
    EXPECT_EQ(ReadAll(h), big);
    EXPECT_EQ(SetFilePointer(h, 12345, nullptr, FILE_BEGIN), 12345u);
    EXPECT_EQ(ReadAll(h, 100), big.substr(12345, 100));
    CloseHandle(h);
    h = OpenA(letter + ":\\DIR\\INNER.TXT", GENERIC_READ);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(ReadAll(h), Pattern(3000, 2));
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesA((letter + ":\\DIR").c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_NE(GetFileAttributesA((letter + ":\\VKFRCG.BIN").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA((letter + ":\\A.BIN").c_str()), INVALID_FILE_ATTRIBUTES);  // deleted
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenA(letter + ":\\NODIR\\X.TXT", GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  }
}

// An image shorter than its boot sector says (a card image cut short, or a crafted
// one): what lies inside is read, what lies past the end fails as a damaged file, and
// no write lengthens the image. The images here are also the FAT fuzz target's seeds.
TEST_F(DrivesTest, AnImageCutShortIsReadAsFarAsItGoesAndNeverLengthened) {
  const std::string tiny = dir_.Path() + "/tiny.img";
  nxtest::MakeFatImage(tiny, 64, 12, "TINY", "0BADF00D", 1, "-r 16 -f 1");
  const std::string content = Pattern(3000, 7);
  WriteBytes(dir_.Path() + "/v.bin", content);
  WriteBytes(dir_.Path() + "/f.txt", "file in a folder");
  nxtest::PutFile(tiny, dir_.Path() + "/v.bin", "VKFRCG.BIN");
  ASSERT_EQ(nxtest::Run("mmd -i " + Quote(tiny) + " ::DIR ::DIR/SUB"), 0);
  nxtest::PutFile(tiny, dir_.Path() + "/f.txt", "DIR/FILE.TXT");
  nxtest::PutFile(tiny, dir_.Path() + "/f.txt", "DIR/SUB/DEEP.DAT");
  std::string image = ReadBytes(tiny);
  // Everything up to the last byte in use (the deepest file's data comes last).
  image.erase(image.find_last_not_of('\0') + 1);
  nxtest::SaveSeed("fat12-trimmed", image);
  const size_t fileStart = image.find(content.substr(0, 64));
  ASSERT_NE(fileStart, std::string::npos);

  const std::string cut = dir_.Path() + "/cut.img";
  const std::string shortImage = image.substr(0, fileStart + 1000);
  WriteBytes(cut, shortImage);
  nxtest::SaveSeed("fat12-cut", shortImage);
  Pin("J=" + cut);
  DWORD serial = 0;
  ASSERT_TRUE(GetVolumeInformationW(u"J:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) << GetLastError();
  EXPECT_EQ(serial, 0x0BADF00Du);
  HANDLE h = OpenA("J:\\VKFRCG.BIN", GENERIC_READ | GENERIC_WRITE);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  std::string got(3000, '\0');
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(h, got.data(), 3000, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_FILE_INVALID);
  EXPECT_EQ(got.substr(0, n), content.substr(0, n)) << "what was read is the file's start";
  SetFilePointer(h, 2990, nullptr, FILE_BEGIN);
  EXPECT_FALSE(WriteFile(h, "0123456789", 10, &n, nullptr)) << "a write past the medium's end";
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  SetFilePointer(h, 0, nullptr, FILE_BEGIN);
  EXPECT_TRUE(WriteFile(h, "START", 5, &n, nullptr)) << GetLastError();
  // The image's last bytes, in a sector the image holds only part of.
  SetFilePointer(h, 990, nullptr, FILE_BEGIN);
  EXPECT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr)) << GetLastError();
  CloseHandle(h);
  const std::string after = ReadBytes(cut);
  EXPECT_EQ(after.size(), shortImage.size()) << "the image was lengthened";
  EXPECT_EQ(after.substr(fileStart, 5), "START");
  EXPECT_EQ(after.substr(after.size() - 10), "0123456789");
  // The folders' entries lie past the end too: the path is not found, nothing fails worse.
  EXPECT_EQ(GetFileAttributesA("J:\\DIR\\SUB\\DEEP.DAT"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(DrivesTest, FilesOnImagesAreWrittenInPlaceAndNeverGrow) {
  const std::string original = Pattern(4000, 5);
  WriteBytes(dir_.Path() + "/f.bin", original);
  nxtest::PutFile(img16_, dir_.Path() + "/f.bin", "VKFRCG.BIN");
  HANDLE h = OpenA("E:\\VKFRCG.BIN", GENERIC_READ | GENERIC_WRITE);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  // The way the monitoring program stamps the card: sectors overwritten in place.
  std::string sector(512, 'P');
  DWORD n = 0;
  SetFilePointer(h, 1024, nullptr, FILE_BEGIN);
  ASSERT_TRUE(WriteFile(h, sector.data(), 512, &n, nullptr));
  SetFilePointer(h, 3, nullptr, FILE_BEGIN);
  ASSERT_TRUE(WriteFile(h, "OBNOVL", 6, &n, nullptr));
  SetFilePointer(h, 3990, nullptr, FILE_BEGIN);
  EXPECT_FALSE(WriteFile(h, sector.data(), 20, &n, nullptr));  // past the end
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  CloseHandle(h);
  std::string expected = original;
  expected.replace(1024, 512, sector);
  expected.replace(3, 6, "OBNOVL");
  EXPECT_EQ(nxtest::GetFile(img16_, "VKFRCG.BIN"), expected);
  EXPECT_EQ(nxtest::Run("fsck.fat -n " + Quote(img16_) + " >/dev/null 2>&1"), 0);

  EXPECT_EQ(OpenA("E:\\NEW.BIN", GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(OpenA("E:\\VKFRCG.BIN", GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(OpenA("E:\\VKFRCG.BIN", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(OpenA("E:\\", GENERIC_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

// Two ways a card is read-only, both refused as Windows refuses them, with the image
// left as it was: the file's read-only attribute in its directory entry, and an image
// (medium) that cannot be written at all.
TEST_F(DrivesTest, ReadOnlyFilesAndMediaRefuseWritesButRead) {
  WriteBytes(dir_.Path() + "/f.bin", Pattern(2048, 6));
  nxtest::PutFile(img16_, dir_.Path() + "/f.bin", "VKFRCG.BIN");
  nxtest::PutFile(img16_, dir_.Path() + "/f.bin", "OTHER.BIN");
  ASSERT_EQ(nxtest::Run("mattrib -i " + Quote(img16_) + " +r ::VKFRCG.BIN"), 0);
  const std::string before = ReadBytes(img16_);

  EXPECT_EQ(GetFileAttributesA("E:\\VKFRCG.BIN") & FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);
  for (DWORD access : {DWORD{GENERIC_WRITE}, DWORD{GENERIC_READ | GENERIC_WRITE}}) {
    EXPECT_EQ(OpenA("E:\\VKFRCG.BIN", access), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }
  HANDLE h = OpenA("E:\\VKFRCG.BIN", GENERIC_READ);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_EQ(ReadAll(h), Pattern(2048, 6));
  CloseHandle(h);
  h = OpenA("E:\\OTHER.BIN", GENERIC_READ | GENERIC_WRITE);  // the attribute is the file's own
  EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(h);

  nxtest::UnwritableFile medium(img16_);
  if (!medium.Ok()) GTEST_SKIP() << "no read-only image here: " << medium.How();
  EXPECT_EQ(OpenA("E:\\OTHER.BIN", GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(OpenA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  h = OpenA("E:\\OTHER.BIN", GENERIC_READ);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_EQ(ReadAll(h), Pattern(2048, 6));
  CloseHandle(h);
  EXPECT_EQ(GetDriveTypeA("E:\\"), DRIVE_REMOVABLE);
  EXPECT_TRUE(ReadBytes(img16_) == before) << "the image is unchanged";
}

TEST_F(DrivesTest, RawVolumesMoveWholeSectorsOfTheImage) {
  HANDLE h = OpenA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  const std::string image = ReadBytes(img16_);
  EXPECT_EQ(GetFileSize(h, nullptr), image.size());
  EXPECT_EQ(ReadAll(h, 1024), image.substr(0, 1024));
  char buf[512];
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(h, buf, 100, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetFilePointer(h, 100, nullptr, FILE_BEGIN);
  EXPECT_FALSE(ReadFile(h, buf, 512, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // An unaligned buffer is fine.
  std::string sector = Pattern(513, 8);
  ASSERT_EQ(SetFilePointer(h, -4096, nullptr, FILE_END), image.size() - 4096);
  ASSERT_TRUE(WriteFile(h, sector.data() + 1, 512, &n, nullptr));
  EXPECT_EQ(ReadBytes(img16_).substr(image.size() - 4096, 512), sector.substr(1));
  SetFilePointer(h, 0, nullptr, FILE_END);
  EXPECT_FALSE(WriteFile(h, sector.data(), 512, &n, nullptr));  // a volume never grows
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  ASSERT_TRUE(ReadFile(h, buf, 512, &n, nullptr));
  EXPECT_EQ(n, 0u);
  CloseHandle(h);

  EXPECT_EQ(OpenA("\\\\.\\H:", GENERIC_READ), INVALID_HANDLE_VALUE);  // a folder has no volume
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(OpenA("\\\\.\\I:", GENERIC_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
  EXPECT_EQ(OpenA("\\\\.\\Q:", GENERIC_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(DrivesTest, FolderDrivesFindNamesRegardlessOfCase) {
  HANDLE h = OpenA("H:\\SUB\\file.txt", GENERIC_READ);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_EQ(ReadAll(h), "in a folder");
  CloseHandle(h);
  h = OpenA("H:/sub/new.txt", GENERIC_WRITE, CREATE_NEW);  // new names keep their case
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_EQ(GetFileAttributesA((folder_ + "/Sub/new.txt").c_str()), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(DrivesTest, AnImageWithAPartitionTableStandsForItsFirstPartition) {
  // One partition of type 6 (FAT16) at sector 2048, then the volume.
  std::string mbr(512, '\0');
  mbr[446 + 4] = 0x06;
  mbr[446 + 8] = 0x00;
  mbr[446 + 9] = 0x08;  // first sector 2048, little-endian
  const std::string volume = ReadBytes(img16_);
  uint32_t sectors = static_cast<uint32_t>(volume.size() / 512);
  for (int i = 0; i < 4; ++i) mbr[446 + 12 + i] = static_cast<char>(sectors >> (8 * i));
  mbr[510] = static_cast<char>(0x55);
  mbr[511] = static_cast<char>(0xAA);
  const std::string disk = dir_.Path() + "/disk.img";
  WriteBytes(disk, mbr + std::string(2047 * 512, '\0') + volume);
  Pin("E=" + disk);
  WCHAR label[32];
  ASSERT_TRUE(GetVolumeInformationW(u"E:\\", label, 32, nullptr, nullptr, nullptr, nullptr, 0)) << GetLastError();
  EXPECT_EQ(std::u16string(label), u"CARD16");
  HANDLE h = OpenA("\\\\.\\E:", GENERIC_READ);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSize(h, nullptr), volume.size());
  EXPECT_EQ(ReadAll(h, 512), volume.substr(0, 512));
  CloseHandle(h);
}

TEST(ErrorModeTest, KeepsTheModeAndReturnsThePrevious) {
  UINT first = SetErrorMode(SEM_FAILCRITICALERRORS);
  EXPECT_EQ(SetErrorMode(first), SEM_FAILCRITICALERRORS);
}

}  // namespace

namespace {

TEST(DetectedDrivesTest, CIsTheRootFolderWhenNothingIsPinned) {
  unsetenv("NX_DRIVES");
  EXPECT_TRUE(GetLogicalDrives() & (1u << 2));
  EXPECT_EQ(GetDriveTypeW(u"C:\\"), DRIVE_FIXED);
  EXPECT_EQ(GetDriveTypeW(nullptr), DRIVE_FIXED);
  EXPECT_EQ(GetFileAttributesA("C:\\etc"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  HANDLE h = CreateFileA("c:\\proc\\self\\status", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  // The root folder is no volume to open raw.
  EXPECT_EQ(CreateFileA("\\\\.\\C:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

}  // namespace
