// Fuzzes the reading of unmounted FAT volumes: the input is the image behind a pinned
// drive, reached only through the platform's calls (volume information, free space,
// files by path, reads and writes in place). However the boot record and directories
// are made, every call returns, and nothing is written outside the image: its length
// never changes.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "nxpal/windows.h"

namespace {

std::string g_dir;  // a folder of our own for the image, removed at exit
std::string g_image;

void RemoveImage() {
  unlink(g_image.c_str());
  rmdir(g_dir.c_str());
}

void Require(bool condition) {
  if (!condition) std::abort();
}

void WriteImage(const uint8_t* data, size_t size) {
  int fd = open(g_image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Require(fd >= 0);
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    Require(n > 0);
    done += static_cast<size_t>(n);
  }
  close(fd);
}

// Reads what there is (up to a bound) and writes into the start and the end of a file.
void Exercise(const char16_t* path) {
  GetFileAttributesW(path);
  HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  DWORD high = 0;
  const DWORD size = GetFileSize(h, &high);
  std::vector<uint8_t> buf(64 * 1024);
  DWORD got = 0;
  if (ReadFile(h, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr))
    Require(got <= buf.size() && (size == INVALID_FILE_SIZE || got <= size));
  const uint8_t mark[16] = {0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A,
                            0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A};
  DWORD put = 0;
  SetFilePointer(h, 0, nullptr, FILE_BEGIN);
  WriteFile(h, mark, sizeof mark, &put, nullptr);
  SetFilePointer(h, -8, nullptr, FILE_END);
  WriteFile(h, mark, sizeof mark, &put, nullptr);
  CloseHandle(h);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // In memory where there is a tmpfs: the volume code syncs every write to the medium.
  std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  dir += "/nxfatfuzz.XXXXXX";
  Require(mkdtemp(dir.data()) != nullptr);
  g_dir = dir;
  g_image = g_dir + "/card.img";
  std::atexit(RemoveImage);
  setenv("NX_DRIVES", ("E=" + g_image).c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteImage(data, size);
  WCHAR label[MAX_PATH + 1];
  WCHAR fs[MAX_PATH + 1];
  DWORD serial = 0, longest = 0, flags = 0;
  GetVolumeInformationW(u"E:\\", label, MAX_PATH + 1, &serial, &longest, &flags, fs, MAX_PATH + 1);
  ULARGE_INTEGER available{}, total{}, free{};
  if (GetDiskFreeSpaceExW(u"E:\\", &available, &total, &free)) Require(free.QuadPart <= total.QuadPart);
  for (const char16_t* path : {u"E:\\VKFRCG.BIN", u"E:\\DIR\\FILE.TXT", u"E:\\DIR\\SUB\\DEEP.DAT", u"E:\\DIR"})
    Exercise(path);
  struct stat st{};
  Require(stat(g_image.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) == size);
  return 0;
}
