// InitWorker: opening the card, the run on the worker thread, and the end of life.
#include "worker.h"

#include <cstring>

#include "ids.h"
#include "vkrt.h"

namespace fci {
namespace {

constexpr ULONGLONG kDisplayInterval = 10000000;  // one second in 100 ns units

ULONGLONG Units(const FILETIME& ft) { return static_cast<ULONGLONG>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime; }

// A block locked for the length of a scope; error() is the lock's result.
class Locked {
 public:
  Locked(HANDLE block, DWORD size) : block_(block) { error_ = vkSMLock(block, size, &view_); }
  ~Locked() {
    if (error_ == 0) vkSMUnlock(block_);
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  DWORD error() const { return error_; }
  uint8_t* bytes() const { return static_cast<uint8_t*>(view_); }

 private:
  HANDLE block_;
  LPVOID view_ = nullptr;
  DWORD error_;
};

}  // namespace

std::u16string VolumeName(WCHAR letter) { return std::u16string(u"\\\\.\\") + letter + u":"; }

std::u16string FormatInterval(ULONGLONG units, const std::u16string& picture) {
  FILETIME ft{static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)};
  SYSTEMTIME st{};
  if (!FileTimeToSystemTime(&ft, &st)) return {};
  WCHAR out[32];
  if (GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &st, picture.c_str(), out, 32) == 0) return {};
  return out;
}

int InitWorker::StepBase(DWORD capacity) { return static_cast<int>((ULONGLONG{capacity} + kChunkSize - 1) / kChunkSize) + 3; }

InitWorker::InitWorker(NXThread** self, IInitOwner* owner)
    : NXThread(self, owner->GetLock()), m_owner(owner), m_params(*owner->GetParameters()) {
  DWORD error = 0;
  if (!vkpfCreateW(VolumeName(m_params.letter).c_str(), kOpenAccess, kOpenShare, kOpenFlags, kOpenPage, nullptr,
                   &hDisk)) {
    hDisk = nullptr;
    error = GetLastError();
  } else {
    const bool check = (m_params.options & OPT_CHECK) != 0;
    const bool strict = check && (m_params.options & OPT_STRICT) != 0;
    const int count = strict ? 7 : check ? 4 : 3;
    for (int i = 0; i < count && error == 0; ++i) error = vkSMCreate(&m_blocks[i]);
  }
  if (m_hrStatus == S_OK && error != 0) m_hrStatus = HRESULT_FROM_WIN32(error);
  m_owner->PostDrivesEnabled(false);
  m_owner->PostStatus(IDS_RUNNING, LoadText(IDS_RUNNING));
  m_owner->PostItemText(IDC_ELAPSED, u"");
  m_owner->PostItemText(IDC_REMAINING, u"");
}

InitWorker::~InitWorker() {
  const bool stopped = m_hThread != nullptr;  // destroyed before its run ended
  const bool started = m_hrStatus == S_OK;
  // A transfer in progress is abandoned first (the paged-file exchange fails with
  // ERROR_OPERATION_ABORTED (995) once the thread's end is requested); only then are the
  // volume and blocks closed, so the worker thread never uses a closed handle.
  EndThread();
  CloseAll();
  m_owner->PostStartReleased();
  m_owner->PostDrivesEnabled(true);
  if (stopped && started) {
    m_owner->PostStatus(IDS_CANCELLED, LoadText(IDS_CANCELLED));
  } else if (!started) {
    // Nothing was done: the card is as ready as before (the owner reports the error).
    m_owner->PostStatus(IDS_READY, LoadText(IDS_READY));
  }
}

void InitWorker::CloseAll() {
  for (HANDLE& b : m_blocks) {
    if (b) vkSMClose(b);
    b = nullptr;
  }
  if (hDisk) vkpfClose(hDisk);
  hDisk = nullptr;
}

void InitWorker::ThreadProc() {
  int stepBase = 0;
  Refusal refusal = Refusal::None;
  DWORD error = Run(&stepBase, &refusal);
  // The boot record's block and the volume are done with; the others close with the
  // object.
  if (m_blocks[kBoot]) vkSMClose(m_blocks[kBoot]);
  m_blocks[kBoot] = nullptr;
  if (hDisk) vkpfClose(hDisk);
  hDisk = nullptr;
  // A run stopped by its owner reports nothing: the owner shows the cancellation.
  if (!NxIsEndRequested()) {
    if (error == 0) {
      m_owner->PostProgressPos(stepBase + 3);
      m_owner->PostBeep(400, 200);
      m_owner->PostStatus(IDS_DONE, LoadText(IDS_DONE));
    } else {
      m_owner->PostBeep(1000, 500);
      UINT id = refusal != Refusal::None ? RefusalText(refusal) : IDS_FAILED;
      m_owner->PostStatus(id, LoadText(id));
    }
    m_owner->PostRunEnded(error);
  }
  NXThread::ThreadProc();
}

DWORD InitWorker::Run(int* stepBase, Refusal* refusal) {
  // The boot record comes first: a card this layout cannot serve is refused with its
  // own reason even where the drive cannot report a capacity for it.
  DWORD done = 0;
  if (!vkpfRead(hDisk, m_blocks[kBoot], kSectorSize, &done)) return GetLastError();
  if (done != kSectorSize) return ERROR_READ_FAULT;
  Locked boot(m_blocks[kBoot], 0);
  if (boot.error() != 0) return boot.error();
  if (vkSMGetSize(m_blocks[kBoot]) < kSectorSize) return ERROR_READ_FAULT;
  const BootRecord record = DecodeBootRecord(boot.bytes());
  if ((*refusal = CheckBootRecord(record)) != Refusal::None) return ERROR_UNRECOGNIZED_VOLUME;

  const char16_t root[] = {m_params.letter, u':', u'\\', 0};
  ULARGE_INTEGER total{};
  if (!GetDiskFreeSpaceExW(root, nullptr, &total, nullptr)) return GetLastError();

  // Nothing is written to a card whose layout the file cannot be laid over.
  CardLayout layout{};
  if ((*refusal = ComputeLayout(record, total.QuadPart, &layout)) != Refusal::None) return ERROR_UNRECOGNIZED_VOLUME;

  DWORD error = 0;
  if (m_blocks[kRead1]) {
    error = TestDataArea(layout, stepBase);
  } else {
    *stepBase = 0;
    m_owner->PostProgressRange(3);
  }
  if (error == 0) error = WriteFileHeader(layout);
  if (error == 0) {
    m_owner->PostProgressPos(*stepBase + 1);
    error = WriteRootDirectory(layout);
  }
  if (error == 0) {
    m_owner->PostProgressPos(*stepBase + 2);
    error = WriteFat(layout);
  }
  return error;
}

DWORD InitWorker::Seek(ULONGLONG pos) {
  if (!vkpfSeek(hDisk, 0, static_cast<DWORD>(pos), static_cast<LONG>(pos >> 32), nullptr)) return GetLastError();
  return 0;
}

// A transfer of exactly len bytes; a shorter one is a failure, never a pass.
DWORD InitWorker::Transfer(bool write, HANDLE block, DWORD len) {
  DWORD done = 0;
  BOOL ok = write ? vkpfWrite(hDisk, block, len, &done) : vkpfRead(hDisk, block, len, &done);
  if (!ok) return GetLastError();
  if (done != len) return write ? ERROR_WRITE_FAULT : ERROR_READ_FAULT;
  return 0;
}

// One pass over a chunk: with a pattern, write it and read it back for comparison;
// without, only read.
DWORD InitWorker::TestPass(ULONGLONG pos, DWORD len, HANDLE readBuf, HANDLE pattern) {
  DWORD error = 0;
  if (pattern) {
    if ((error = Transfer(true, pattern, len)) != 0) return error;
    if ((error = Seek(pos)) != 0) return error;
  }
  if ((error = Transfer(false, readBuf, len)) != 0) return error;
  if (!pattern) return 0;
  Locked got(readBuf, len);
  if (got.error() != 0) return got.error();
  Locked want(pattern, len);
  if (want.error() != 0) return want.error();
  if (std::memcmp(got.bytes(), want.bytes(), len) != 0) return ERROR_INVALID_DATA;
  return 0;
}

DWORD InitWorker::TestDataArea(const CardLayout& layout, int* stepBase) {
  const std::u16string form = LoadText(IDS_TIME_FORMAT, 24);
  const bool strict = m_blocks[kZero] != nullptr;
  if (strict) {
    for (auto [slot, fill] : {std::pair{kZero, 0x00}, std::pair{kOne, 0xFF}}) {
      Locked pattern(m_blocks[slot], kChunkSize);
      if (pattern.error() != 0) return pattern.error();
      std::memset(pattern.bytes(), fill, kChunkSize);
    }
  }
  *stepBase = StepBase(layout.capacity);
  m_owner->PostProgressRange(*stepBase - 1);

  GetSystemTimeAsFileTime(&m_ftStart);
  m_ftNow = m_ftStart;
  ULONGLONG lastDisplay = Units(m_ftStart);
  const ULONGLONG first = layout.dataOffset;
  const ULONGLONG end = first + layout.capacity;
  int k = 0;
  for (ULONGLONG pos = first; pos < end;) {
    // A stop request ends the test between chunks even when no exchange is waiting.
    if (NxIsEndRequested()) return ERROR_OPERATION_ABORTED;
    const DWORD len = static_cast<DWORD>(end - pos < kChunkSize ? end - pos : kChunkSize);
    DWORD error = Seek(pos);
    if (error == 0) error = TestPass(pos, len, m_blocks[kRead1], strict ? m_blocks[kZero] : nullptr);
    if (error == 0 && strict) {
      error = Seek(pos);
      if (error == 0) error = TestPass(pos, len, m_blocks[kRead2], m_blocks[kOne]);
    }
    if (error != 0) return error;
    pos += len;
    m_owner->PostProgressPos(++k);

    GetSystemTimeAsFileTime(&m_ftNow);
    const ULONGLONG now = Units(m_ftNow);
    if (now - lastDisplay >= kDisplayInterval) {
      const ULONGLONG elapsed = now - Units(m_ftStart);
      // 128 bits: a long run's elapsed units times the bytes left overflow 64 bits.
      const auto remaining = static_cast<ULONGLONG>(static_cast<unsigned __int128>(elapsed) * (end - pos) /
                                                    (pos - first));
      m_owner->PostItemText(IDC_ELAPSED, FormatInterval(elapsed, form));
      m_owner->PostItemText(IDC_REMAINING, FormatInterval(remaining, form));
      lastDisplay = now;
    }
  }
  return 0;
}

DWORD InitWorker::WriteFileHeader(const CardLayout& layout) {
  {
    Locked header(m_blocks[kHeader], kFileHeaderSize);
    if (header.error() != 0) return header.error();
    FillFileHeader(header.bytes());
  }
  DWORD error = Seek(layout.dataOffset);
  return error != 0 ? error : Transfer(true, m_blocks[kHeader], kFileHeaderSize);
}

DWORD InitWorker::WriteRootDirectory(const CardLayout& layout) {
  HANDLE hmRoot = nullptr;
  DWORD error = vkSMCreate(&hmRoot);
  if (error != 0) return error;
  {
    Locked sector(hmRoot, kSectorSize);
    error = sector.error();
    if (error == 0) {
      SYSTEMTIME local{};
      GetLocalTime(&local);
      FillRootSector(sector.bytes(), layout.capacity, local);
    }
  }
  if (error == 0) error = Seek(layout.rootOffset);
  if (error == 0) error = Transfer(true, hmRoot, kSectorSize);
  vkSMClose(hmRoot);
  return error;
}

DWORD InitWorker::WriteFat(const CardLayout& layout) {
  {
    Locked image(m_blocks[kFat], layout.fatBytes);
    if (image.error() != 0) return image.error();
    FillFat(layout, image.bytes());
  }
  DWORD error = Seek(layout.fatOffset);
  if (error == 0) error = Transfer(true, m_blocks[kFat], layout.fatBytes);
  if (error == 0) error = Transfer(true, m_blocks[kFat], layout.fatBytes);
  return error;
}

}  // namespace fci
