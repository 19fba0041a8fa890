// Files and mappings: CreateFile's dispositions and errors, transfers and positions,
// delete-on-close, the temporary folder, and views shared with file I/O.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "nxpal/windows.h"
#include "nxtest/fatimage.h"
#include "nxtest/temp.h"

namespace {

using nxtest::ReadBytes;
using nxtest::WriteBytes;

class FileTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_.Path() + "/" + name; }
  static HANDLE Open(const std::string& path, DWORD access, DWORD disposition, DWORD flags = 0) {
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition, flags, nullptr);
  }
  nxtest::TempDir dir_{"nxpal-file"};
};

TEST_F(FileTest, DispositionsCreateOpenAndTruncateAsWin32Says) {
  const std::string p = Path("a.bin");
  EXPECT_EQ(Open(p, GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(Path("no/such/dir.bin"), GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  HANDLE h = Open(p, GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "hello", 5, &n, nullptr));
  EXPECT_EQ(n, 5u);
  CloseHandle(h);

  EXPECT_EQ(Open(p, GENERIC_READ, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  h = Open(p, GENERIC_READ, OPEN_ALWAYS);  // existing: opened, and told so
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(GetFileSize(h, nullptr), 5u);
  CloseHandle(h);
  h = Open(p, GENERIC_WRITE, CREATE_ALWAYS);  // existing: emptied, and told so
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(GetFileSize(h, nullptr), 0u);
  CloseHandle(h);
  EXPECT_EQ(Open(p, GENERIC_READ, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);  // needs write access
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Open(dir_.Path(), GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);  // a folder
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open(p, GENERIC_READ, 9), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(FileTest, TransfersFollowThePositionAndRespectAccess) {
  const std::string p = Path("b.bin");
  WriteBytes(p, "0123456789");
  HANDLE h = Open(p, GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buf[16] = {};
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(h, buf, 4, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "0123");
  EXPECT_EQ(SetFilePointer(h, 2, nullptr, FILE_CURRENT), 6u);
  ASSERT_TRUE(ReadFile(h, buf, 16, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "6789");  // short at the end
  ASSERT_TRUE(ReadFile(h, buf, 16, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(SetFilePointer(h, -3, nullptr, FILE_END), 7u);
  // Before the start: refused, and the position stays.
  EXPECT_EQ(SetFilePointer(h, -8, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 7u);
  // 64-bit positions travel in the high half.
  LONG high = 1;
  EXPECT_EQ(SetFilePointer(h, 5, &high, FILE_BEGIN), 5u);
  EXPECT_EQ(high, 1);
  EXPECT_EQ(GetLastError(), 0u);
  // A read-only handle does not write.
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(ReadFile(h, buf, 1, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  CloseHandle(h);
  EXPECT_FALSE(ReadFile(h, buf, 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetFileSize(h, nullptr), INVALID_FILE_SIZE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(FileTest, DeleteOnCloseKeepsTheNameWhileOpen) {
  const std::string p = Path("temp.tmp");
  HANDLE h = Open(p, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_TEMPORARY);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_NE(GetFileAttributesA(p.c_str()), INVALID_FILE_ATTRIBUTES);
  // Another holder of the descriptor keeps the bytes after the name is gone.
  int other = dup(static_cast<int>(reinterpret_cast<intptr_t>(h)));
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "kept", 4, &n, nullptr));
  CloseHandle(h);
  EXPECT_EQ(GetFileAttributesA(p.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  char buf[4];
  EXPECT_EQ(pread(other, buf, 4, 0), 4);
  close(other);

  // A file that took the name meanwhile is not the one to delete.
  h = Open(p, GENERIC_WRITE, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_EQ(unlink(p.c_str()), 0);
  WriteBytes(p, "someone else's");
  CloseHandle(h);
  EXPECT_EQ(ReadBytes(p), "someone else's");
}

TEST_F(FileTest, AttributesTellWhatExists) {
  WriteBytes(Path("f.txt"), "x");
  EXPECT_EQ(GetFileAttributesA(Path("f.txt").c_str()), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(GetFileAttributesA(dir_.Path().c_str()), FILE_ATTRIBUTE_DIRECTORY);
  chmod(Path("f.txt").c_str(), 0444);
  EXPECT_EQ(GetFileAttributesA(Path("f.txt").c_str()), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(GetFileAttributesA(Path("none").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FileTest, TempPathFollowsTmpdirWithItsSeparator) {
  setenv("TMPDIR", dir_.Path().c_str(), 1);
  WCHAR buf[MAX_PATH];
  DWORD n = GetTempPathW(MAX_PATH, buf);
  EXPECT_EQ(nx::Utf16ToUtf8(std::u16string(buf, n)), dir_.Path() + "/");
  EXPECT_EQ(GetTempPathW(3, buf), n + 1);  // too small: the size needed
  setenv("TMPDIR", Path("missing").c_str(), 1);
  n = GetTempPathW(MAX_PATH, buf);
  EXPECT_EQ(nx::Utf16ToUtf8(std::u16string(buf, n)), "/tmp/");
  unsetenv("TMPDIR");
}

TEST_F(FileTest, MappingsGrowTheFileAndShareItsBytes) {
  const std::string p = Path("m.bin");
  HANDLE f = Open(p, GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileMappingW(f, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);  // empty file
  EXPECT_EQ(GetLastError(), ERROR_FILE_INVALID);
  HANDLE m = CreateFileMappingW(f, nullptr, PAGE_READWRITE | SEC_COMMIT, 0, 100000, nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(GetFileSize(f, nullptr), 100000u);  // grown with zeros
  auto* v = static_cast<unsigned char*>(MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v[99999], 0);
  std::memcpy(v + 10, "view", 4);
  EXPECT_EQ(ReadBytes(p).substr(10, 4), "view");
  DWORD n = 0;
  SetFilePointer(f, 20, nullptr, FILE_BEGIN);
  ASSERT_TRUE(WriteFile(f, "file", 4, &n, nullptr));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(v) + 20, 4), "file");
  EXPECT_EQ(MapViewOfFile(m, FILE_MAP_READ, 0, 4096, 10), nullptr);  // not on a 64 KiB boundary
  EXPECT_EQ(GetLastError(), ERROR_MAPPED_ALIGNMENT);
  EXPECT_EQ(MapViewOfFile(m, FILE_MAP_READ, 0, 0, 200000), nullptr);  // beyond the mapping
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  auto* tail = static_cast<unsigned char*>(MapViewOfFile(m, FILE_MAP_READ, 0, 65536, 0));
  ASSERT_NE(tail, nullptr);
  EXPECT_TRUE(CloseHandle(m));  // views outlive their mapping handle
  EXPECT_EQ(tail[100000 - 65536 - 1], 0);
  EXPECT_TRUE(UnmapViewOfFile(tail));
  EXPECT_TRUE(UnmapViewOfFile(v));
  EXPECT_FALSE(UnmapViewOfFile(v));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
  CloseHandle(f);

  HANDLE ro = Open(p, GENERIC_READ, OPEN_EXISTING);
  EXPECT_EQ(CreateFileMappingW(ro, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  HANDLE rm = CreateFileMappingW(ro, nullptr, PAGE_READONLY, 0, 0, nullptr);
  ASSERT_NE(rm, nullptr);
  EXPECT_EQ(MapViewOfFile(rm, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(rm);
  CloseHandle(ro);
}

}  // namespace
