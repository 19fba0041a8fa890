// InitWorker: one card initialisation on its own thread (optional test of the data
// area, then the file header, the root directory entry and both FAT copies).
//
// Contract: the owner's lock (IInitOwner::GetLock) is the NXThread lock and guards the
// owner's worker slot. The owner creates, starts and destroys the worker under that
// lock; at the end of a run the worker destroys itself under it. The worker never
// touches the owner's window: it only posts updates (owner.h).
#pragma once

#include <string>

#include "layout.h"
#include "owner.h"
#include "thbc/thbc.h"

namespace fci {

// The open parameters of the card volume for the paged-file service.
inline constexpr DWORD kOpenAccess = GENERIC_READ | GENERIC_WRITE;
inline constexpr DWORD kOpenShare = 3;
inline constexpr DWORD kOpenFlags = FILE_FLAG_RANDOM_ACCESS;
inline constexpr DWORD kOpenPage = 4096;

// "\\.\E:" for letter 'E'.
std::u16string VolumeName(WCHAR letter);

class InitWorker : public NXThread {
 public:
  // The thread exists suspended afterwards; Status() tells whether the volume could be
  // opened and the blocks created.
  InitWorker(NXThread** self, IInitOwner* owner);
  ~InitWorker() override;
  void ThreadProc() override;

  // The step base of a run with the data-area test: ceil(capacity / 64 KiB) + 3.
  static int StepBase(DWORD capacity);

 private:
  static constexpr int kSlots = 7;
  enum Slot { kBoot = 0, kHeader = 1, kFat = 2, kRead1 = 3, kZero = 4, kRead2 = 5, kOne = 6 };

  DWORD Run(int* stepBase, Refusal* refusal);
  DWORD TestDataArea(const CardLayout& layout, int* stepBase);
  DWORD TestPass(ULONGLONG pos, DWORD len, HANDLE readBuf, HANDLE pattern);
  DWORD WriteFileHeader(const CardLayout& layout);
  DWORD WriteRootDirectory(const CardLayout& layout);
  DWORD WriteFat(const CardLayout& layout);
  DWORD Seek(ULONGLONG pos);
  DWORD Transfer(bool write, HANDLE block, DWORD len);
  void CloseAll();

  HANDLE hDisk = nullptr;  // the card volume as a paged file
  HANDLE m_blocks[kSlots] = {};  // created by option: 3, 4 or 7 of them
  FILETIME m_ftStart{};  // start of the data-area test
  FILETIME m_ftNow{};  // latest progress step
  IInitOwner* m_owner;
  InitParameters m_params;  // copied at construction: the run never sees later edits
};

// Formats an interval of 100 ns units with a time picture (string 139): the minutes and
// seconds of the interval; whole hours are dropped. Empty when formatting fails.
std::u16string FormatInterval(ULONGLONG units, const std::u16string& picture);

}  // namespace fci
