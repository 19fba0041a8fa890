// Card initialisation through a real paged-file service on FAT images made by mkfs.fat,
// checked with fsck.fat and mtools: the file, the chain, the untouched boot record, the
// data area after each test option; which drives are cards; refused cards, a card pulled
// mid-run, the pace of the time texts, and a cancel.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <memory>
#include <regex>
#include <string>

#include "card.h"
#include "nxtest/fatimage.h"
#include "nxtest/temp.h"
#include "owner_double.h"
#include "nxtest/svcproc.h"

namespace {

using namespace std::chrono_literals;
using fcitest::RecordingOwner;

int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

// fsck.fat's complaints about a volume, empty when it finds none. A label in the boot
// sector without its root directory entry is a notice, not an error: the initializer
// rewrites the first root sector, where the label entry stood.
std::string FsckComplaints(const std::string& image) {
  std::string out = nxtest::Capture("fsck.fat -n " + nxtest::Quote(image) + " 2>&1; echo rc=$?");
  std::string complaints;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    std::string line = out.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? out.size() : end + 1;
    if (line.empty() || line == "rc=0" || line == "rc=1" || line.rfind("fsck.fat ", 0) == 0 ||
        line.rfind("Label in boot sector is ", 0) == 0 || line == "  Auto-removing label from boot sector." ||
        line == "Leaving filesystem unchanged." || line.rfind(image + ":", 0) == 0)
      continue;
    complaints += line + "\n";
  }
  if (out.find("rc=0") == std::string::npos && out.find("there is no volume label in root directory") == std::string::npos)
    complaints += out;
  return complaints;
}

struct Image {
  const char* name;
  std::string mkfs;  // mkfs.fat options before the path
  int sizeKiB;
};

class CardTest : public ::testing::Test {
 protected:
  void Pin(const Image& image) {
    MakeImage(image);
    service_ = std::make_unique<svctest::ServiceProcess>(pipes_.Path());
  }
  // A card served by the paged-file service whose medium lies: `reads` is
  // pfsvc_lying's NX_LYING_READS (which bytes of the volume read back wrong, or fail).
  void PinLying(const Image& image, const std::string& reads) {
    MakeImage(image);
    setenv("NX_LYING_READS", reads.c_str(), 1);
    service_.reset();
    service_ = std::make_unique<svctest::ServiceProcess>(
        pipes_.Path(), std::string(getenv("NX_TEST_BIN_DIR")) + "/pfsvc_lying");
    unsetenv("NX_LYING_READS");
  }
  void MakeImage(const Image& image) {
    path_ = dir_.Path() + "/card.img";
    unlink(path_.c_str());
    ASSERT_EQ(nxtest::Run("mkfs.fat -C " + image.mkfs + " " + nxtest::Quote(path_) + " " +
                          std::to_string(image.sizeKiB) + " >/dev/null 2>&1"),
              0);
    setenv("NX_DRIVES", ("E=" + path_).c_str(), 1);
  }
  void TearDown() override {
    service_.reset();
    unsetenv("NX_DRIVES");
  }
  fci::BootRecord Boot() {
    std::string bytes = nxtest::ReadBytes(path_);
    return fci::DecodeBootRecord(reinterpret_cast<const uint8_t*>(bytes.data()));
  }
  fci::CardLayout Layout() {
    fci::BootRecord b = Boot();
    ULONGLONG data = fci::TotalSectors(b) - b.rsvdSecCnt - 2ull * b.fatSz16 - b.rootEntCnt / 16;
    fci::CardLayout l{};
    EXPECT_EQ(fci::ComputeLayout(b, data / b.secPerClus * b.secPerClus * 512, &l), fci::Refusal::None);
    return l;
  }
  // Runs one initialisation to its end (at most a minute).
  void RunToEnd(RecordingOwner& owner) {
    ASSERT_EQ(owner.Start(), S_OK);
    ASSERT_TRUE(owner.WaitGone(60s)) << "the run did not end";
  }

  nxtest::TempDir dir_{"fci-card"};
  nxtest::TempDir pipes_{"fci-pipes"};
  std::string path_;
  std::unique_ptr<svctest::ServiceProcess> service_;
};

struct RunCase {
  Image image;
  WORD options;
};

class InitRun : public CardTest, public ::testing::WithParamInterface<RunCase> {};

TEST_P(InitRun, LeavesOneContiguousFileThatFsckAndMtoolsAccept) {
  const RunCase& c = GetParam();
  Pin(c.image);
  const fci::CardLayout l = Layout();
  // Bytes in the data area beyond the header, to see what the run does to them.
  std::string before = nxtest::ReadBytes(path_);
  std::string pattern = nxtest::Pattern(l.capacity - fci::kFileHeaderSize, 7);
  before.replace(l.dataOffset + fci::kFileHeaderSize, pattern.size(), pattern);
  nxtest::WriteBytes(path_, before);
  ASSERT_TRUE(fci::IsCard(u'E'));

  RecordingOwner owner(u'E', c.options);
  RunToEnd(owner);
  ASSERT_TRUE(owner.ended);
  EXPECT_EQ(owner.endError, 0u);
  EXPECT_EQ(owner.statusIds.back(), fci::IDS_DONE);
  EXPECT_EQ(owner.statusText, u"Инициализация успешно завершена.");
  EXPECT_EQ(owner.beeps, std::vector<DWORD>{400});
  EXPECT_EQ(owner.startReleased, 1);
  EXPECT_TRUE(owner.drivesEnabled);

  // Progress: 1, 2, 3 over 0..3 without a test; with it one step per 64 KiB over 0..B-1,
  // then B+1..B+3.
  const bool check = c.options & fci::OPT_CHECK;
  const int base = check ? fci::InitWorker::StepBase(l.capacity) : 0;
  std::vector<int> expected;
  for (int k = 1; check && k <= base - 3; ++k) expected.push_back(k);
  for (int k = 1; k <= 3; ++k) expected.push_back(base + k);
  EXPECT_EQ(owner.rangeMax, check ? base - 1 : 3);
  EXPECT_EQ(owner.positions, expected);
  if (!check) {  // only the construction's clearing: no time is shown without a test
    EXPECT_EQ(owner.elapsed, std::vector<std::u16string>{u""});
  }

  const std::string after = nxtest::ReadBytes(path_);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after.compare(0, 512, before, 0, 512), 0) << "the boot record changed";
  EXPECT_EQ(FsckComplaints(path_), "");
  std::string listing = nxtest::Capture("mdir -i " + nxtest::Quote(path_) + " :: 2>&1");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(listing, m, std::regex("VKFRCG +BIN +([0-9]+)"))) << listing;
  EXPECT_EQ(std::stoull(m[1]), l.capacity);
  const std::string copy = dir_.Path() + "/copy.bin";
  ASSERT_EQ(nxtest::Run("mcopy -n -i " + nxtest::Quote(path_) + " ::VKFRCG.BIN " + nxtest::Quote(copy)), 0);
  const std::string file = nxtest::ReadBytes(copy);
  ASSERT_EQ(file.size(), l.capacity);
  EXPECT_EQ(file.substr(0, 6), "VKFRCG");
  EXPECT_EQ(file.find_first_not_of('\0', 6), fci::kFileHeaderSize);
  const std::string rest = file.substr(fci::kFileHeaderSize);
  if (c.options == (fci::OPT_CHECK | fci::OPT_STRICT)) {
    EXPECT_EQ(rest.find_first_not_of('\xFF'), std::string::npos) << "strict leaves every data byte 0xFF";
  } else {
    EXPECT_TRUE(rest == pattern) << "the data area keeps its bytes";
  }
}

const Image kFat12{"fat12-16MiB", "-F 12", 16384};
const Image kFat16{"fat16-64MiB", "-F 16", 65536};
const Image kFat16Small{"fat16-2KiB-clusters", "-F 16 -s 4", 32768};
const Image kLabelled{"fat16-label", "-F 16 -n CARDLABEL", 20480};

INSTANTIATE_TEST_SUITE_P(
    Cards, InitRun,
    ::testing::Values(RunCase{kFat12, 0}, RunCase{kFat12, fci::OPT_CHECK}, RunCase{kFat12, 3}, RunCase{kFat16, 0},
                      RunCase{kFat16, fci::OPT_CHECK}, RunCase{kFat16, 3}, RunCase{kFat16Small, 3},
                      RunCase{kLabelled, 0}, RunCase{kLabelled, fci::OPT_STRICT}),
    [](const auto& info) {
      std::string n = std::string(info.param.image.name) + "_options" + std::to_string(info.param.options);
      for (char& ch : n)
        if (ch == '-') ch = '_';
      return n;
    });

TEST_F(CardTest, RefusedBootRecordsLeaveTheCardByteIdentical) {
  struct Case {
    const char* what;
    int offset;
    std::string bytes;
    UINT status;
  };
  const Case cases[] = {
      {"1024-byte sectors", 11, std::string("\x00\x04", 2), fci::IDS_REFUSED_SECTOR_SIZE},
      {"one FAT", 16, "\x01", fci::IDS_REFUSED_FAT_COUNT},
      {"FAT32 (no 16-bit FAT size)", 22, std::string("\x00\x00", 2), fci::IDS_REFUSED_FAT32},
      {"3 sectors per cluster", 13, "\x03", fci::IDS_REFUSED_CLUSTER_SIZE},
      {"no root entries", 17, std::string("\x00\x00", 2), fci::IDS_REFUSED_ROOT_DIR},
      {"FAT12 label on FAT16", 54, "FAT12", fci::IDS_REFUSED_FAT_TYPE},
  };
  Pin(kFat16Small);
  const std::string original = nxtest::ReadBytes(path_);
  for (const Case& c : cases) {
    std::string mutated = original;
    mutated.replace(c.offset, c.bytes.size(), c.bytes);
    nxtest::WriteBytes(path_, mutated);
    RecordingOwner owner(u'E', fci::OPT_CHECK | fci::OPT_STRICT);
    RunToEnd(owner);
    EXPECT_TRUE(nxtest::ReadBytes(path_) == mutated) << c.what << ": the card was written";
    ASSERT_FALSE(owner.statusIds.empty());
    EXPECT_EQ(owner.statusIds.back(), c.status) << c.what;
    EXPECT_EQ(owner.statusText, fci::LoadText(c.status)) << c.what;
    EXPECT_NE(owner.endError, 0u) << c.what;
    EXPECT_EQ(owner.beeps, std::vector<DWORD>{1000}) << c.what;
  }
}

// The medium shrinks under a check: the reads past its new end fall short, and a short
// transfer is a failure, never a pass.
TEST_F(CardTest, CardCutShortDuringACheckFails) {
  Pin(kFat16);
  RecordingOwner owner(u'E', fci::OPT_CHECK);
  ASSERT_EQ(owner.Start(), S_OK);
  ASSERT_TRUE(owner.WaitPositions(20, 30s));
  ASSERT_EQ(truncate(path_.c_str(), 4 << 20), 0);
  ASSERT_TRUE(owner.WaitGone(30s)) << "the run hung";
  EXPECT_TRUE(owner.ended);
  EXPECT_EQ(owner.endError, static_cast<DWORD>(ERROR_READ_FAULT));
  EXPECT_EQ(owner.statusIds.back(), fci::IDS_FAILED);
  EXPECT_EQ(owner.statusText, u"Карта недоступна для использования.");
  EXPECT_EQ(owner.beeps, std::vector<DWORD>{1000});
}

// The card's service goes away in the middle of a strict run (an image file regrows
// under writes, so cutting it short does not stop a strict run): the run fails at its
// next exchange and never hangs.
TEST_F(CardTest, CardGoneDuringAStrictRunFailsWithoutHanging) {
  Pin(kFat16);
  RecordingOwner owner(u'E', fci::OPT_CHECK | fci::OPT_STRICT);
  ASSERT_EQ(owner.Start(), S_OK);
  ASSERT_TRUE(owner.WaitPositions(20, 30s));
  kill(service_->Pid(), SIGKILL);
  ASSERT_TRUE(owner.WaitGone(30s)) << "the run hung";
  EXPECT_TRUE(owner.ended);
  EXPECT_NE(owner.endError, 0u);
  EXPECT_EQ(owner.statusIds.back(), fci::IDS_FAILED);
  EXPECT_EQ(owner.beeps, std::vector<DWORD>{1000});
}

// A card that returns other bytes than were written, or fails a read, is refused: the
// run stops at the chunk where the card lied, reports ERROR_INVALID_DATA (a failed read
// its own error), and writes no file. The image shows which pass stopped: the chunk
// holds what that pass wrote, the chunks before it 0xFF, those after it their old bytes.
TEST_F(CardTest, ACardThatLiesIsRefusedAtTheChunkWhereItLied) {
  const Image image{"fat12-4MiB", "-F 12", 4096};
  MakeImage(image);
  const fci::CardLayout l = Layout();
  const ULONGLONG first = l.dataOffset, end = l.dataOffset + l.capacity;
  const ULONGLONG last = (l.capacity - 1) / fci::kChunkSize;  // the last chunk's index
  ASSERT_GE(last, 4u);
  struct Case {
    const char* what;
    WORD options;
    ULONGLONG at;  // the volume byte that lies
    const char* reads;  // what it reads as: a stuck value, or a failed read
    DWORD error;
    char chunkHolds;  // what the failed chunk holds afterwards; 'x': its old bytes
  };
  const ULONGLONG middle = first + 2 * fci::kChunkSize + 12345;
  const Case cases[] = {
      {"0x00 pass, first byte", fci::OPT_CHECK | fci::OPT_STRICT, first, "ff", ERROR_INVALID_DATA, '\x00'},
      {"0xFF pass, middle chunk", fci::OPT_CHECK | fci::OPT_STRICT, middle, "00", ERROR_INVALID_DATA, '\xFF'},
      {"0x00 pass, last byte", fci::OPT_CHECK | fci::OPT_STRICT, end - 1, "ff", ERROR_INVALID_DATA, '\x00'},
      {"0xFF pass, last byte", fci::OPT_CHECK | fci::OPT_STRICT, end - 1, "00", ERROR_INVALID_DATA, '\xFF'},
      {"plain check, read fails", fci::OPT_CHECK, middle, "fail", ERROR_GEN_FAILURE, 'x'},
      {"strict check, read fails", fci::OPT_CHECK | fci::OPT_STRICT, middle, "fail", ERROR_GEN_FAILURE, '\x00'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PinLying(image, std::to_string(c.at) + ",1," + c.reads);
    std::string before = nxtest::ReadBytes(path_);
    before.replace(first, l.capacity, nxtest::Pattern(l.capacity, 9));
    nxtest::WriteBytes(path_, before);

    RecordingOwner owner(u'E', c.options);
    RunToEnd(owner);
    ASSERT_TRUE(owner.ended);
    EXPECT_EQ(owner.endError, c.error);
    ASSERT_FALSE(owner.statusIds.empty());
    EXPECT_EQ(owner.statusIds.back(), fci::IDS_FAILED);
    EXPECT_EQ(owner.statusText, u"Карта недоступна для использования.");
    EXPECT_EQ(owner.beeps, std::vector<DWORD>{1000});
    EXPECT_EQ(owner.startReleased, 1);
    const ULONGLONG k = (c.at - first) / fci::kChunkSize;
    EXPECT_EQ(owner.positions.size(), k) << "the chunks that passed before the one that lied";

    const std::string after = nxtest::ReadBytes(path_);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after.compare(0, first, before, 0, first), 0) << "boot record, FATs or root directory changed";
    EXPECT_EQ(FsckComplaints(path_), "");
    const std::string listing = nxtest::Capture("mdir -i " + nxtest::Quote(path_) + " :: 2>&1");
    EXPECT_EQ(listing.find("VKFRCG"), std::string::npos) << listing;
    const ULONGLONG from = first + k * fci::kChunkSize, to = std::min<ULONGLONG>(from + fci::kChunkSize, end);
    if (c.options & fci::OPT_STRICT) {
      EXPECT_EQ(after.substr(first, from - first).find_first_not_of('\xFF'), std::string::npos)
          << "the chunks before the one that lied end as 0xFF";
    }
    if (c.chunkHolds == 'x') {
      EXPECT_EQ(after.compare(first, to - first, before, first, to - first), 0) << "a plain check writes nothing";
    } else {
      EXPECT_EQ(after.substr(from, to - from).find_first_not_of(c.chunkHolds), std::string::npos)
          << "the chunk holds what the failed pass wrote";
    }
    EXPECT_EQ(after.compare(to, end - to, before, to, end - to), 0) << "the chunks after the one that lied untouched";
  }
}

// A card is a removable drive, not a floppy drive, with a readable FAT medium in it; the
// same image behind every other kind of drive is none.
TEST(DriveKinds, OnlyARemovableDriveThatIsNoFloppyAndHoldsAMediumIsACard) {
  nxtest::TempDir dir("fci-kinds");
  const std::string image = dir.Path() + "/card.img", junk = dir.Path() + "/junk.img";
  ASSERT_EQ(nxtest::Run("mkfs.fat -C -F 12 " + nxtest::Quote(image) + " 2048 >/dev/null 2>&1"), 0);
  nxtest::WriteBytes(junk, std::string(1 << 20, 'x'));
  setenv("NX_DRIVES",
         ("A:floppy=" + image + ";C:fixed=" + image + ";D:cdrom=" + image + ";E=" + image + ";F=" + dir.Path() +
          "/absent.img;G=" + junk + ";H:removable=" + image)
             .c_str(),
         1);
  EXPECT_TRUE(fci::IsCard(u'E'));
  EXPECT_TRUE(fci::IsCard(u'H'));
  EXPECT_FALSE(fci::IsCard(u'A')) << "a floppy drive with a formatted medium";
  EXPECT_FALSE(fci::IsCard(u'C')) << "a fixed disk";
  EXPECT_FALSE(fci::IsCard(u'D')) << "a CD drive";
  EXPECT_FALSE(fci::IsCard(u'F')) << "a reader without a medium";
  EXPECT_FALSE(fci::IsCard(u'G')) << "a medium without a FAT file system";
  EXPECT_FALSE(fci::IsCard(u'K')) << "no drive at all";
  unsetenv("NX_DRIVES");
}

// The elapsed and remaining texts change at most once a second while the chunks go by
// many times faster.
TEST_F(CardTest, TimeTextsChangeAtMostOnceASecond) {
  Pin(Image{"fat16-1GiB", "-F 16", 1048576});
  RecordingOwner owner(u'E', fci::OPT_CHECK | fci::OPT_STRICT);
  ASSERT_EQ(owner.Start(), S_OK);
  // The construction clears both texts; then three displays of both.
  const size_t wanted = 2 + 3 * 2;
  // Checked below, after the cancel.
  nxtest::WaitUntil([&] { return owner.TimeTextCount() >= wanted || owner.Gone(); }, 60s, "three displays", 10ms);
  owner.Cancel();
  ASSERT_GE(owner.timeTexts.size(), wanted) << "the run showed its times fewer than three times";
  for (int id : {fci::IDC_ELAPSED, fci::IDC_REMAINING}) {
    std::vector<RecordingOwner::TimedText> shown;
    for (const auto& t : owner.timeTexts)
      if (t.id == id && !t.text.empty()) shown.push_back(t);
    ASSERT_GE(shown.size(), 3u) << id;
    for (size_t i = 1; i < shown.size(); ++i) {
      const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(shown[i].at - shown[i - 1].at);
      EXPECT_GE(gap.count(), 950) << "control " << id << ", change " << i;
      if (id == fci::IDC_ELAPSED) {
        EXPECT_NE(shown[i].text, shown[i - 1].text) << "the elapsed time stood still";
      }
    }
    EXPECT_GT(owner.positions.size(), 4 * shown.size()) << "the chunks were too slow to tell a paced display";
  }
}

TEST_F(CardTest, CancelOfAStrictRunIsPromptAndLeavesNoThreadOrDescriptor) {
  Pin(Image{"fat16-256MiB", "-F 16", 262144});
  const int threads = CountEntries("/proc/self/task");
  const int fds = CountEntries("/proc/self/fd");
  RecordingOwner owner(u'E', fci::OPT_CHECK | fci::OPT_STRICT);
  ASSERT_EQ(owner.Start(), S_OK);
  ASSERT_TRUE(owner.WaitPositions(30, 30s));
  auto t0 = std::chrono::steady_clock::now();
  owner.Cancel();
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(took, 5s) << "cancel took " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                      << " ms";
  EXPECT_EQ(owner.worker, nullptr);
  EXPECT_FALSE(owner.ended) << "a stopped run reports no result of its own";
  EXPECT_EQ(owner.statusIds.back(), fci::IDS_CANCELLED);
  EXPECT_EQ(owner.statusText, u"Инициализация прервана пользователем.");
  EXPECT_TRUE(owner.beeps.empty());
  EXPECT_EQ(owner.startReleased, 1);
  EXPECT_TRUE(owner.drivesEnabled);
  // The thread has left its routine; the system may take a moment to reap it.
  for (int i = 0; i < 100 && CountEntries("/proc/self/task") != threads; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(CountEntries("/proc/self/task"), threads);
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds) << nxtest::Capture("ls -l /proc/" + std::to_string(getpid()) + "/fd");
}

TEST(CardWithoutService, StartFailsWithTheOpenErrorAndLeavesNothingBehind) {
  nxtest::TempDir pipes("fci-nosvc");
  setenv("NX_PIPE_DIR", pipes.Path().c_str(), 1);
  const int threads = CountEntries("/proc/self/task");
  const int fds = CountEntries("/proc/self/fd");
  RecordingOwner owner(u'E', fci::OPT_CHECK | fci::OPT_STRICT);
  EXPECT_EQ(owner.Start(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(owner.worker, nullptr);
  EXPECT_EQ(owner.statusIds, (std::vector<UINT>{fci::IDS_RUNNING, fci::IDS_READY}));
  EXPECT_TRUE(owner.drivesEnabled);
  // The suspended thread has been ended; the system may take a moment to reap it.
  for (int i = 0; i < 100 && CountEntries("/proc/self/task") != threads; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(CountEntries("/proc/self/task"), threads);
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  unsetenv("NX_PIPE_DIR");
}

}  // namespace
