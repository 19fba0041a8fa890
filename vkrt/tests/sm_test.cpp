// Shared memory blocks: nested locks, sizes, the backing file's name and life, what
// another holder of the file sees, and refusals of dead handles.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "nxtest/temp.h"
#include "smblock.h"
#include "vkrt.h"

namespace {

class BlockTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TMPDIR", tmp_.Path().c_str(), 1); }
  void TearDown() override { unsetenv("TMPDIR"); }

  std::vector<std::string> Files() {
    std::vector<std::string> names;
    if (DIR* d = opendir(tmp_.Path().c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
      closedir(d);
    }
    return names;
  }

  nxtest::TempDir tmp_{"vkrt-sm"};
};

TEST_F(BlockTest, BackingFilesAreNamedPerBlockAndVanishAtClose) {
  HANDLE a = nullptr, b = nullptr;
  ASSERT_EQ(vkSMCreate(&a), 0u);
  ASSERT_EQ(vkSMCreate(&b), 0u);
  auto names = Files();
  ASSERT_EQ(names.size(), 2u);
  EXPECT_NE(names[0], names[1]);
  char expected[128];
  snprintf(expected, sizeof expected, "{CE653FE6-BE3D-4DC6-A7E8-A2E6B41DC5A4}_%X_%llX.tmp",
           static_cast<unsigned>(getpid()), static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(a)));
  EXPECT_TRUE(names[0] == expected || names[1] == expected) << expected;
  EXPECT_TRUE(vkSMClose(a));
  EXPECT_EQ(Files().size(), 1u);
  EXPECT_TRUE(vkSMClose(b));
  EXPECT_TRUE(Files().empty());
}

TEST_F(BlockTest, NestedLocksShareTheFirstView) {
  HANDLE b = nullptr;
  ASSERT_EQ(vkSMCreate(&b), 0u);
  EXPECT_EQ(vkSMGetSize(b), 0u);
  LPVOID first = nullptr, second = nullptr;
  ASSERT_EQ(vkSMLock(b, 100, &first), 0u);
  std::memset(first, 0x5A, 100);
  ASSERT_EQ(vkSMLock(b, 70000, &second), 0u);  // larger: the first, smaller view
  EXPECT_EQ(second, first);
  EXPECT_EQ(vkSMGetSize(b), 100u);
  EXPECT_EQ(vkSMUnlock(b), 1);
  EXPECT_EQ(vkSMUnlock(b), 0);
  EXPECT_EQ(vkSMUnlock(b), 0);  // not locked: not an error
  // The bytes stay in the file between locks; a lock of size 0 maps all of it.
  LPVOID again = nullptr;
  ASSERT_EQ(vkSMLock(b, 0, &again), 0u);
  EXPECT_EQ(vkSMGetSize(b), 100u);
  EXPECT_EQ(static_cast<unsigned char*>(again)[99], 0x5A);
  vkSMUnlock(b);
  vkSMClose(b);
}

TEST_F(BlockTest, SizeFollowsTheLockOrTheFile) {
  HANDLE b = nullptr;
  ASSERT_EQ(vkSMCreate(&b), 0u);
  LPVOID v = nullptr;
  ASSERT_EQ(vkSMLock(b, 4096, &v), 0u);
  EXPECT_EQ(vkSMGetSize(b), 4096u);
  // A grown block reads as zero in its new bytes.
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(static_cast<unsigned char*>(v)[i], 0);
  vkSMUnlock(b);
  EXPECT_EQ(vkSMGetSize(b), 4096u);  // unmapped: the file's length
  ASSERT_EQ(vkSMLock(b, 1000, &v), 0u);  // smaller than the file: the lock's size
  EXPECT_EQ(vkSMGetSize(b), 1000u);
  vkSMUnlock(b);
  ASSERT_EQ(vkSMLock(b, 0, &v), 0u);  // size 0 maps the whole file and reports its length
  EXPECT_EQ(vkSMGetSize(b), 4096u);
  vkSMUnlock(b);
  vkSMClose(b);
}

TEST_F(BlockTest, EmptyBlockLockedWithSizeZeroFailsAndStaysUnlocked) {
  HANDLE b = nullptr;
  ASSERT_EQ(vkSMCreate(&b), 0u);
  LPVOID v = reinterpret_cast<LPVOID>(1);
  EXPECT_EQ(vkSMLock(b, 0, &v), ERROR_FILE_INVALID);
  EXPECT_EQ(v, nullptr);
  auto* raw = static_cast<VKSMBLOCK*>(b);
  EXPECT_EQ(raw->lockCount, 0u);
  EXPECT_EQ(raw->mapping, nullptr);
  // The failed lock left nothing behind: the next one starts afresh.
  ASSERT_EQ(vkSMLock(b, 10, &v), 0u);
  EXPECT_EQ(vkSMUnlock(b), 0);
  vkSMClose(b);
}

TEST_F(BlockTest, WhatAnotherHolderWritesToTheFileShowsInTheNextLock) {
  HANDLE b = nullptr;
  ASSERT_EQ(vkSMCreate(&b), 0u);
  // The service reaches the file by its handle value; a duplicate stands in for it.
  int other = dup(static_cast<int>(reinterpret_cast<intptr_t>(static_cast<VKSMBLOCK*>(b)->backingFile)));
  ASSERT_GE(other, 0);
  const char text[] = "written by the service";
  ASSERT_EQ(pwrite(other, text, sizeof text - 1, 0), static_cast<ssize_t>(sizeof text - 1));
  LPVOID v = nullptr;
  ASSERT_EQ(vkSMLock(b, 0, &v), 0u);
  EXPECT_EQ(vkSMGetSize(b), sizeof text - 1);
  EXPECT_EQ(std::string(static_cast<char*>(v), sizeof text - 1), text);
  // And what the owner writes through the view, the other holder reads.
  std::memcpy(v, "WRITTEN", 7);
  vkSMUnlock(b);
  char back[8] = {};
  ASSERT_EQ(pread(other, back, 7, 0), 7);
  EXPECT_STREQ(back, "WRITTEN");
  // Closing the block removes the name, but the other holder keeps the bytes.
  vkSMClose(b);
  EXPECT_TRUE(Files().empty());
  EXPECT_EQ(pread(other, back, 7, 0), 7);
  close(other);
}

TEST_F(BlockTest, ClosingALockedBlockUnmapsIt) {
  HANDLE b = nullptr;
  ASSERT_EQ(vkSMCreate(&b), 0u);
  LPVOID v = nullptr;
  ASSERT_EQ(vkSMLock(b, 65536, &v), 0u);
  ASSERT_EQ(vkSMLock(b, 0, &v), 0u);
  EXPECT_TRUE(vkSMClose(b));
  // The view is gone: the platform no longer knows it as a view.
  EXPECT_FALSE(UnmapViewOfFile(v));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
}

TEST_F(BlockTest, DeadAndForeignHandlesAreRefused) {
  HANDLE b = nullptr;
  ASSERT_EQ(vkSMCreate(&b), 0u);
  ASSERT_TRUE(vkSMClose(b));
  int notABlock[32] = {};
  for (HANDLE h : {b, static_cast<HANDLE>(notABlock), static_cast<HANDLE>(nullptr)}) {
    SetLastError(0);
    EXPECT_FALSE(vkSMClose(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(vkSMUnlock(h), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(vkSMGetSize(h), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    LPVOID v = reinterpret_cast<LPVOID>(7);
    SetLastError(0);
    EXPECT_EQ(vkSMLock(h, 10, &v), ERROR_INVALID_HANDLE);
    EXPECT_EQ(vkSMLock(h, 10, nullptr), ERROR_INVALID_HANDLE);  // the handle is checked first
    EXPECT_EQ(v, reinterpret_cast<LPVOID>(7));  // nothing stored
    EXPECT_EQ(GetLastError(), 0u);  // and the last error left alone
  }
  HANDLE live = nullptr;
  ASSERT_EQ(vkSMCreate(&live), 0u);
  EXPECT_EQ(vkSMLock(live, 10, nullptr), ERROR_INVALID_PARAMETER);
  vkSMClose(live);
  EXPECT_EQ(vkSMCreate(nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(BlockTest, CreateReportsTheFileErrorAndStoresNull) {
  setenv("TMPDIR", "/proc", 1);  // a folder where no file can be created
  HANDLE b = reinterpret_cast<HANDLE>(1);
  DWORD err = vkSMCreate(&b);
  EXPECT_NE(err, 0u);
  EXPECT_EQ(b, nullptr);
}

}  // namespace
