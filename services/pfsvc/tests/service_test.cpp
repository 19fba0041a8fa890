// Paged files and shared memory blocks of vkrt against the real pfsvc: transfers land
// where callers rely on, positions, progress, errors, and drive paths on FAT images.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nxtest/fatimage.h"
#include "nxtest/temp.h"
#include "nxtest/svcproc.h"
#include "vkrt.h"

namespace {

using nxtest::Pattern;
using nxtest::ReadBytes;
using nxtest::WriteBytes;

constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShare = 3;

class Sink : public IProgressNotify {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnProgress(DWORD current, DWORD maximum, BOOL accurate, BOOL owner) override {
    calls.push_back({current, maximum});
    EXPECT_EQ(accurate, TRUE);
    EXPECT_EQ(owner, TRUE);
    return S_OK;
  }
  std::vector<std::pair<DWORD, DWORD>> calls;
};

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("NX_DRIVES");
    service_ = std::make_unique<svctest::ServiceProcess>(pipes_.Path());
  }
  void TearDown() override { service_.reset(); }

  std::string File(const std::string& name, const std::string& bytes) {
    std::string path = files_.Path() + "/" + name;
    WriteBytes(path, bytes);
    return path;
  }

  HANDLE Open(const std::string& name, IProgressNotify* sink = nullptr) {
    HANDLE h = nullptr;
    EXPECT_TRUE(vkpfCreateA(name.c_str(), kAccess, kShare, FILE_FLAG_RANDOM_ACCESS, 4096, sink, &h))
        << "last error " << GetLastError();
    return h;
  }

  // Opens name through the service and reads count bytes at its start into a new block.
  HANDLE ReadStart(const std::string& name, DWORD count, DWORD* done, HANDLE* block) {
    HANDLE pf = Open(name);
    *block = NewBlock();
    EXPECT_TRUE(pf && vkpfRead(pf, *block, count, done)) << GetLastError();
    return pf;
  }

  HANDLE NewBlock() {
    HANDLE b = nullptr;
    EXPECT_EQ(vkSMCreate(&b), 0u);
    blocks_.push_back(b);
    return b;
  }
  ~ServiceTest() override {
    for (HANDLE b : blocks_) vkSMClose(b);
  }

  nxtest::TempDir pipes_{"pfsvc-pipes"};
  nxtest::TempDir files_{"pfsvc-files"};
  std::unique_ptr<svctest::ServiceProcess> service_;
  std::vector<HANDLE> blocks_;
};

TEST_F(ServiceTest, ReadFillsTheBlockAndAdvancesThePosition) {
  const std::string data = Pattern(10000);
  HANDLE pf = Open(File("data.bin", data));
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(GetLastError(), 0u);  // after a good open
  HANDLE b = NewBlock();
  DWORD done = 12345;
  ASSERT_TRUE(vkpfRead(pf, b, 777, &done));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(done, 777u);
  // A block the service filled with N bytes and locked with size 0 shows exactly those.
  EXPECT_EQ(vkSMGetSize(b), 777u);
  EXPECT_EQ(svctest::BlockBytes(b), data.substr(0, 777));
  // The next read continues where the first ended.
  ASSERT_TRUE(vkpfRead(pf, b, 100, &done));
  EXPECT_EQ(svctest::BlockBytes(b).substr(0, 100), data.substr(777, 100));
  ULONGLONG pos = 0;
  ASSERT_TRUE(vkpfSeek(pf, 1, 0, 0, &pos));
  EXPECT_EQ(pos, 877u);
  EXPECT_TRUE(vkpfClose(pf));
}

TEST_F(ServiceTest, WritesAfterOneSeekLandBackToBack) {
  const std::string original = Pattern(8192, 3);
  std::string path = File("target.bin", original);
  HANDLE pf = Open(path);
  ASSERT_NE(pf, nullptr);
  HANDLE b = NewBlock();
  svctest::FillBlock(b, std::string(1000, 'A'));
  ULONGLONG pos = 0;
  ASSERT_TRUE(vkpfSeek(pf, 0, 4000, 0, &pos));
  EXPECT_EQ(pos, 4000u);
  DWORD done = 0;
  ASSERT_TRUE(vkpfWrite(pf, b, 1000, &done));
  EXPECT_EQ(done, 1000u);
  svctest::FillBlock(b, std::string(500, 'B'));
  ASSERT_TRUE(vkpfWrite(pf, b, 500, &done));
  ASSERT_TRUE(vkpfClose(pf));
  std::string expected = original;
  expected.replace(4000, 1000, std::string(1000, 'A'));
  expected.replace(5000, 500, std::string(500, 'B'));
  EXPECT_EQ(ReadBytes(path), expected);
}

TEST_F(ServiceTest, SeeksFromEveryOrigin) {
  HANDLE pf = Open(File("seek.bin", Pattern(5000)));
  ASSERT_NE(pf, nullptr);
  ULONGLONG pos = 0;
  ASSERT_TRUE(vkpfSeek(pf, 0, 1000, 0, &pos));
  EXPECT_EQ(pos, 1000u);
  ASSERT_TRUE(vkpfSeek(pf, 1, static_cast<DWORD>(-300), -1, &pos));  // back 300 from current
  EXPECT_EQ(pos, 700u);
  ASSERT_TRUE(vkpfSeek(pf, 2, static_cast<DWORD>(-100), -1, &pos));
  EXPECT_EQ(pos, 4900u);
  ASSERT_TRUE(vkpfSeek(pf, 7, 0, 0, &pos));  // any other origin is from the end
  EXPECT_EQ(pos, 5000u);
  ASSERT_TRUE(vkpfSeek(pf, 0, 0, 1, &pos));  // beyond 4 GiB: the high half counts
  EXPECT_EQ(pos, 1ull << 32);
  // Before the start: the service's error, and the position stays.
  EXPECT_FALSE(vkpfSeek(pf, 0, static_cast<DWORD>(-1), -1, &pos));
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  ASSERT_TRUE(vkpfSeek(pf, 1, 0, 0, &pos));
  EXPECT_EQ(pos, 1ull << 32);
  vkpfClose(pf);
}

TEST_F(ServiceTest, ReadAtTheEndDeliversWhatIsThere) {
  HANDLE pf = Open(File("short.bin", Pattern(300)));
  ASSERT_NE(pf, nullptr);
  HANDLE b = NewBlock();
  DWORD done = 0;
  ASSERT_TRUE(vkpfRead(pf, b, 4096, &done));
  EXPECT_EQ(done, 300u);
  EXPECT_EQ(svctest::BlockBytes(b), Pattern(300));
  ASSERT_TRUE(vkpfRead(pf, b, 4096, &done));
  EXPECT_EQ(done, 0u);
  vkpfClose(pf);
}

TEST_F(ServiceTest, ProgressReportsReachTheSinkAndEndWithTheFinalAmounts) {
  const size_t size = 1 << 20;  // four transfer units: three reports and the final reply
  HANDLE b = NewBlock();
  Sink sink;
  HANDLE pf = Open(File("big.bin", Pattern(size, 5)), &sink);
  ASSERT_NE(pf, nullptr);
  DWORD done = 0;
  ASSERT_TRUE(vkpfRead(pf, b, static_cast<DWORD>(size), &done));
  EXPECT_EQ(done, size);
  ASSERT_EQ(sink.calls.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(sink.calls[i].first, (i + 1) * size / 4);
    EXPECT_EQ(sink.calls[i].second, size);
  }
  EXPECT_EQ(svctest::BlockBytes(b), Pattern(size, 5));
  // A file without a sink gets the same data without reports.
  HANDLE quiet = Open(files_.Path() + "/big.bin");
  ASSERT_TRUE(vkpfRead(quiet, b, static_cast<DWORD>(size), &done));
  EXPECT_EQ(done, size);
  vkpfClose(quiet);
  vkpfClose(pf);
}

TEST_F(ServiceTest, RefusalsComeBackAsLastErrors) {
  HANDLE pf = reinterpret_cast<HANDLE>(1);
  EXPECT_FALSE(vkpfCreateA((files_.Path() + "/missing.bin").c_str(), kAccess, kShare, 0, 4096, nullptr, &pf));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(pf, nullptr);
  // A folder is not a file to page.
  EXPECT_FALSE(vkpfCreateA(files_.Path().c_str(), kAccess, kShare, 0, 4096, nullptr, &pf));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  // No access asked for at all.
  EXPECT_FALSE(vkpfCreateA(File("x.bin", "x").c_str(), 0, kShare, 0, 4096, nullptr, &pf));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // A block device is reached only as the raw volume of a drive letter.
  EXPECT_FALSE(vkpfCreateA("/dev/loop0", GENERIC_READ, kShare, 0, 4096, nullptr, &pf));
  EXPECT_NE(GetLastError(), 0u);

  // Read-only open: writes fail with the service's error, reads work.
  HANDLE ro = nullptr;
  ASSERT_TRUE(vkpfCreateA((files_.Path() + "/x.bin").c_str(), GENERIC_READ, kShare, 0, 4096, nullptr, &ro));
  HANDLE b = NewBlock();
  svctest::FillBlock(b, "y");
  DWORD done = 9;
  EXPECT_FALSE(vkpfWrite(ro, b, 1, &done));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(done, 0u);
  vkpfClose(ro);

  // Write-only open: reads are refused by the service before the file is touched.
  HANDLE wo = nullptr;
  ASSERT_TRUE(vkpfCreateA(File("w.bin", "secret").c_str(), GENERIC_WRITE, kShare, 0, 4096, nullptr, &wo));
  svctest::FillBlock(b, "kept");
  done = 9;
  EXPECT_FALSE(vkpfRead(wo, b, 6, &done));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(svctest::BlockBytes(b), "kept") << "nothing read into the block";
  ULONGLONG pos = 1;
  ASSERT_TRUE(vkpfSeek(wo, 1, 0, 0, &pos));
  EXPECT_EQ(pos, 0u) << "the position did not move";
  EXPECT_TRUE(vkpfWrite(wo, b, 4, &done)) << "writes still work";
  vkpfClose(wo);
}

TEST_F(ServiceTest, WithoutAServiceTheOpenFailsWithThePipeError) {
  service_->Stop();
  HANDLE pf = nullptr;
  EXPECT_FALSE(vkpfCreateA(File("a.bin", "a").c_str(), kAccess, kShare, 0, 4096, nullptr, &pf));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(pf, nullptr);
}

TEST_F(ServiceTest, ClosedBlockAndFileHandlesAreRefused) {
  HANDLE pf = Open(File("c.bin", Pattern(100)));
  HANDLE b = nullptr;
  ASSERT_EQ(vkSMCreate(&b), 0u);
  ASSERT_TRUE(vkSMClose(b));
  DWORD done = 5;
  EXPECT_FALSE(vkpfRead(pf, b, 10, &done));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(done, 0u);
  HANDLE live = NewBlock();
  EXPECT_FALSE(vkpfWrite(pf, live, 0, &done));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(vkpfClose(pf));
  SetLastError(1234);
  EXPECT_FALSE(vkpfClose(pf));
  EXPECT_EQ(GetLastError(), 1234u);  // unchanged
  EXPECT_FALSE(vkpfRead(pf, live, 10, &done));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(vkpfSeek(pf, 0, 0, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// ---- the block's file as its client leaves it -----------------------------------------

// The descriptor of a block's file in this process (its handle's value).
int BlockFd(HANDLE block) {
  return static_cast<int>(reinterpret_cast<intptr_t>(static_cast<VKSMBLOCK*>(block)->backingFile));
}

off_t FileLength(int fd) {
  struct stat st{};
  return fstat(fd, &st) == 0 ? st.st_size : -1;
}

// Whether a process has a mapping of the file open at fd here.
bool MapsFileOf(pid_t pid, int fd) {
  struct stat st{};
  if (fstat(fd, &st) != 0) return false;
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/maps", static_cast<int>(pid));
  std::ifstream in(path);
  // Lines read "start-end perms offset dev inode path"; the inode is the fifth field.
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string range, perms, offset, device;
    unsigned long long inode = 0;
    if (fields >> range >> perms >> offset >> device >> inode && inode == st.st_ino) return true;
  }
  return false;
}

TEST_F(ServiceTest, AReadLengthensAShortBlockOnlyByWhatArrived) {
  const std::string data = Pattern(3000, 4);
  HANDLE pf = Open(File("short-target.bin", data));
  ASSERT_NE(pf, nullptr);
  HANDLE b = NewBlock();
  svctest::FillBlock(b, std::string(100, 'x'));
  DWORD done = 0;
  ASSERT_TRUE(vkpfRead(pf, b, 64 * 1024, &done));  // more than the target holds
  EXPECT_EQ(done, 3000u);
  EXPECT_EQ(FileLength(BlockFd(b)), 3000);
  EXPECT_EQ(svctest::BlockBytes(b), data);

  // A block longer than what arrives keeps its length and the bytes past them.
  svctest::FillBlock(b, std::string(5000, 'y'));
  ASSERT_TRUE(vkpfSeek(pf, 0, 2000, 0, nullptr));
  ASSERT_TRUE(vkpfRead(pf, b, 4096, &done));
  EXPECT_EQ(done, 1000u);
  EXPECT_EQ(svctest::BlockBytes(b), data.substr(2000) + std::string(4000, 'y'));

  // At the end nothing arrives, and an empty block stays empty.
  HANDLE empty = NewBlock();
  ASSERT_TRUE(vkpfRead(pf, empty, 4096, &done));
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(FileLength(BlockFd(empty)), 0);
  vkpfClose(pf);
}

TEST_F(ServiceTest, AWriteTakesOnlyWhatTheBlockHolds) {
  const std::string original = Pattern(8192, 3);
  const std::string path = File("partial.bin", original);
  HANDLE pf = Open(path);
  ASSERT_NE(pf, nullptr);
  HANDLE b = NewBlock();
  DWORD done = 9;
  ASSERT_TRUE(vkpfWrite(pf, b, 1000, &done));  // an empty block: nothing goes out
  EXPECT_EQ(done, 0u);
  svctest::FillBlock(b, std::string(700, 'A'));
  ASSERT_TRUE(vkpfWrite(pf, b, 1000, &done));
  EXPECT_EQ(done, 700u);
  ULONGLONG pos = 0;
  ASSERT_TRUE(vkpfSeek(pf, 1, 0, 0, &pos));
  EXPECT_EQ(pos, 700u);
  vkpfClose(pf);
  EXPECT_EQ(ReadBytes(path), std::string(700, 'A') + original.substr(700));
}

TEST_F(ServiceTest, ABlockCutShortBetweenRequestsIsServedAsItNowIs) {
  const size_t k64 = 64 * 1024;
  const std::string data = Pattern(4 * k64, 6);
  const std::string path = File("cut.bin", data);
  HANDLE pf = Open(path);
  ASSERT_NE(pf, nullptr);
  HANDLE b = NewBlock();
  DWORD done = 0;
  ASSERT_TRUE(vkpfRead(pf, b, 2 * k64, &done));  // the service now holds the block mapped
  ASSERT_EQ(ftruncate(BlockFd(b), 100), 0);
  ASSERT_TRUE(vkpfRead(pf, b, k64, &done));
  EXPECT_EQ(done, k64);
  EXPECT_EQ(svctest::BlockBytes(b), data.substr(2 * k64, k64));
  ASSERT_EQ(ftruncate(BlockFd(b), 0), 0);
  ASSERT_TRUE(vkpfRead(pf, b, 100, &done));
  EXPECT_EQ(svctest::BlockBytes(b), data.substr(3 * k64, 100));

  // A write from a block cut to 60 bytes takes those 60.
  ASSERT_EQ(ftruncate(BlockFd(b), 60), 0);
  ASSERT_TRUE(vkpfSeek(pf, 0, 0, 0, nullptr));
  ASSERT_TRUE(vkpfWrite(pf, b, static_cast<DWORD>(k64), &done));
  EXPECT_EQ(done, 60u);
  vkpfClose(pf);
  EXPECT_EQ(ReadBytes(path), data.substr(3 * k64, 60) + data.substr(60));
  EXPECT_TRUE(service_->Alive());
}

TEST_F(ServiceTest, ABlockReplacedUnderTheSameHandleValueIsTakenAnew) {
  const std::string data = Pattern(10000, 7);
  HANDLE pf = Open(File("replace.bin", data));
  ASSERT_NE(pf, nullptr);
  HANDLE b = NewBlock();
  DWORD done = 0;
  ASSERT_TRUE(vkpfRead(pf, b, 1000, &done));
  const int fd = BlockFd(b);
  const int original = dup(fd);  // keeps the first file open (and linked) meanwhile
  ASSERT_GE(original, 0);

  // Another file under the block's descriptor number: reads and writes reach it.
  const std::string other = File("other.bin", "");
  int o = open(other.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(dup2(o, fd), fd);
  close(o);
  ASSERT_TRUE(vkpfRead(pf, b, 1000, &done));
  EXPECT_EQ(ReadBytes(other), data.substr(1000, 1000));
  EXPECT_FALSE(MapsFileOf(service_->Pid(), original)) << "the first file's mapping outlived its replacement";
  EXPECT_EQ(FileLength(original), 1000);
  char first[4] = {};
  ASSERT_EQ(pread(original, first, 4, 0), 4);
  EXPECT_EQ(std::string(first, 4), data.substr(0, 4));

  // A write-only file there still gets reads (without a mapping); a read-only one is
  // refused for them but serves writes.
  const std::string wo = File("write-only.bin", "");
  o = open(wo.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_EQ(dup2(o, fd), fd);
  close(o);
  ASSERT_TRUE(vkpfRead(pf, b, 500, &done));
  EXPECT_EQ(ReadBytes(wo), data.substr(2000, 500));
  const std::string ro = File("read-only.bin", std::string(300, 'R'));
  o = open(ro.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(dup2(o, fd), fd);
  close(o);
  EXPECT_FALSE(vkpfRead(pf, b, 500, &done));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(vkpfSeek(pf, 0, 0, 0, nullptr));
  ASSERT_TRUE(vkpfWrite(pf, b, 500, &done));
  EXPECT_EQ(done, 300u);

  ASSERT_EQ(dup2(original, fd), fd);  // the block's own file back, for its close
  close(original);
  vkpfClose(pf);
  EXPECT_EQ(ReadBytes(files_.Path() + "/replace.bin"), std::string(300, 'R') + data.substr(300));
}

TEST_F(ServiceTest, BlocksUsedInTurnEachMoveTheirOwnBytes) {
  // More blocks than the service keeps at hand, in turn and then backwards, as the card
  // test alternates its pattern and read-back blocks: every transfer uses its own block.
  constexpr int kBlocks = 6;
  constexpr DWORD kPiece = 3000;
  const std::string path = File("turns.bin", std::string(kBlocks * 2 * kPiece, '\0'));
  HANDLE pf = Open(path);
  ASSERT_NE(pf, nullptr);
  std::vector<HANDLE> blocks;
  for (int i = 0; i < kBlocks; ++i) {
    blocks.push_back(NewBlock());
    svctest::FillBlock(blocks.back(), Pattern(kPiece, static_cast<unsigned>(i + 1)));
  }
  DWORD done = 0;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < kBlocks; ++i) {
      ASSERT_TRUE(vkpfWrite(pf, blocks[static_cast<size_t>(i)], kPiece, &done)) << GetLastError();
      ASSERT_EQ(done, kPiece);
    }
  }
  std::string expected;
  for (int round = 0; round < 2; ++round)
    for (int i = 0; i < kBlocks; ++i) expected += Pattern(kPiece, static_cast<unsigned>(i + 1));
  EXPECT_EQ(ReadBytes(path), expected);

  // Read back into the blocks in the other order: block i gets piece kBlocks - 1 - i.
  ASSERT_TRUE(vkpfSeek(pf, 0, 0, 0, nullptr));
  for (int i = kBlocks - 1; i >= 0; --i) ASSERT_TRUE(vkpfRead(pf, blocks[static_cast<size_t>(i)], kPiece, &done));
  for (int i = 0; i < kBlocks; ++i)
    EXPECT_EQ(svctest::BlockBytes(blocks[static_cast<size_t>(i)]), Pattern(kPiece, static_cast<unsigned>(kBlocks - i)))
        << "block " << i;
  vkpfClose(pf);
}

TEST_F(ServiceTest, TheServiceLetsGoOfABlocksFileWhenTheSessionEnds) {
  HANDLE pf = Open(File("release.bin", Pattern(5000)));
  ASSERT_NE(pf, nullptr);
  HANDLE b = NewBlock();
  DWORD done = 0;
  ASSERT_TRUE(vkpfRead(pf, b, 4096, &done));
  EXPECT_TRUE(MapsFileOf(service_->Pid(), BlockFd(b)));
  vkpfClose(pf);
  bool held = true;
  for (int i = 0; i < 300 && held; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    held = MapsFileOf(service_->Pid(), BlockFd(b));
  }
  EXPECT_FALSE(held);
}

// ---- drives pinned to FAT images -----------------------------------------------------

class DriveServiceTest : public ServiceTest {
 protected:
  void SetUp() override {
    image_ = files_.Path() + "/card.img";
    nxtest::MakeFatImage(image_, 8192, 16, "CARD", "1234ABCD");
    hello_ = Pattern(3000, 9);
    WriteBytes(files_.Path() + "/hello.txt", hello_);
    nxtest::PutFile(image_, files_.Path() + "/hello.txt", "HELLO.TXT");
    setenv("NX_DRIVES", ("E=" + image_).c_str(), 1);
    service_ = std::make_unique<svctest::ServiceProcess>(pipes_.Path());
  }
  void TearDown() override {
    service_.reset();
    unsetenv("NX_DRIVES");
  }
  std::string image_;
  std::string hello_;
};

TEST_F(DriveServiceTest, RawVolumeReadsAndWritesTheImage) {
  HANDLE b = nullptr;
  DWORD done = 0;
  HANDLE pf = ReadStart("\\\\.\\E:", 512, &done, &b);
  ASSERT_EQ(done, 512u);
  EXPECT_EQ(svctest::BlockBytes(b), ReadBytes(image_).substr(0, 512));

  // A sector near the end, written through the service, is in the image file.
  const std::string sector = Pattern(512, 11);
  svctest::FillBlock(b, sector);
  ULONGLONG pos = 0;
  ASSERT_TRUE(vkpfSeek(pf, 2, static_cast<DWORD>(-1024), -1, &pos));
  ASSERT_TRUE(vkpfWrite(pf, b, 512, &done));
  EXPECT_EQ(done, 512u);
  EXPECT_EQ(ReadBytes(image_).substr(pos, 512), sector);

  // Volumes move whole sectors only.
  EXPECT_FALSE(vkpfRead(pf, b, 100, &done));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  vkpfClose(pf);
  EXPECT_EQ(nxtest::Run("fsck.fat -n " + nxtest::Quote(image_) + " >/dev/null 2>&1"), 0);
}

TEST_F(DriveServiceTest, FileOnTheImageIsFoundThroughItsDirectoryEntry) {
  HANDLE b = nullptr;
  DWORD done = 0;
  HANDLE pf = ReadStart("E:\\hello.txt", 5000, &done, &b);
  EXPECT_EQ(done, 3000u);
  EXPECT_EQ(svctest::BlockBytes(b), hello_);
  vkpfClose(pf);

  HANDLE missing = nullptr;
  EXPECT_FALSE(vkpfCreateA("E:\\NOPE.BIN", kAccess, kShare, 0, 4096, nullptr, &missing));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(vkpfCreateA("\\\\.\\Q:", kAccess, kShare, 0, 4096, nullptr, &missing));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(DriveServiceTest, ABlockCutShortDuringTransfersNeverBringsTheServiceDown) {
  HANDLE pf = Open("E:\\hello.txt");
  ASSERT_NE(pf, nullptr);
  HANDLE b = NewBlock();
  const int fd = BlockFd(b);
  std::atomic<bool> stop{false};
  std::thread cutter([&] {
    while (!stop) [[maybe_unused]] int r = ftruncate(fd, 0);
  });
  for (int i = 0; i < 300; ++i) {
    // From an odd offset the volume's bytes pass through the service's memory on their
    // way into the block, where a cut shows as a fault rather than as a failed copy; the
    // service reads those bytes again.
    ASSERT_TRUE(vkpfSeek(pf, 0, 1, 0, nullptr));
    DWORD done = 0;
    EXPECT_TRUE(vkpfRead(pf, b, 2999, &done)) << GetLastError();
    EXPECT_EQ(done, 2999u);
  }
  stop = true;
  cutter.join();
  ASSERT_TRUE(service_->Alive());
  ASSERT_TRUE(vkpfSeek(pf, 0, 0, 0, nullptr));
  DWORD done = 0;
  ASSERT_TRUE(vkpfRead(pf, b, 3000, &done));
  EXPECT_EQ(svctest::BlockBytes(b), hello_);
  vkpfClose(pf);
}

}  // namespace
