// The card test and the card information.
#include "card.h"

#include <cstdio>
#include <cstring>

#include "ids.h"
#include "pfwire.h"
#include "vkrt.h"
#include "worker.h"

namespace fci {

std::u16string LoadText(UINT id, int cch) {
  std::u16string s(static_cast<size_t>(cch), u'\0');
  int n = LoadStringW(NxThisModule(), id, s.data(), cch);
  s.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return s;
}

bool IsCard(WCHAR letter) {
  const char16_t root[] = {letter, u':', u'\\', 0};
  const char16_t drive[] = {letter, u':', 0};
  if (GetDriveTypeW(root) != DRIVE_REMOVABLE) return false;
  WCHAR target[MAX_PATH];
  if (QueryDosDeviceW(drive, target, MAX_PATH) == 0) return false;
  if (std::u16string_view(target).find(u"Flop") != std::u16string_view::npos) return false;
  return GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0) != FALSE;
}

BOOL ReadBootRecord(WCHAR letter, BootRecord* boot) {
  HANDLE disk = nullptr, block = nullptr;
  if (!vkpfCreateW(VolumeName(letter).c_str(), kOpenAccess, kOpenShare, kOpenFlags, kOpenPage, nullptr, &disk))
    return FALSE;
  DWORD error = vkSMCreate(&block);
  if (error == 0) {
    DWORD done = 0;
    LPVOID view = nullptr;
    if (!vkpfRead(disk, block, kSectorSize, &done)) {
      error = GetLastError();
    } else if (done != kSectorSize) {
      error = ERROR_HANDLE_EOF;
    } else if ((error = vkSMLock(block, 0, &view)) == 0) {
      *boot = DecodeBootRecord(static_cast<const uint8_t*>(view));
      vkSMUnlock(block);
    }
    vkSMClose(block);
  }
  vkpfClose(disk);
  SetLastError(error);
  return error == 0;
}

bool NoPagedFileService(DWORD openError) {
  // The service's own refusal of an unknown drive is ERROR_FILE_NOT_FOUND too, as is a
  // pipe nobody listens on; only a fresh look at the service's pipe tells them apart.
  if (openError != ERROR_FILE_NOT_FOUND && openError != ERROR_PATH_NOT_FOUND && openError != ERROR_PIPE_BUSY)
    return false;
  HANDLE pipe = CreateFileW(pfwire::kServicePipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (pipe != INVALID_HANDLE_VALUE) {
    CloseHandle(pipe);  // the service takes a connection that says nothing as a client gone
    return false;
  }
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_PIPE_BUSY;
}

std::string OpenErrorText(DWORD error) {
  const char* words = nullptr;
  switch (error) {
    case ERROR_FILE_NOT_FOUND: words = "the service knows no such drive"; break;
    case ERROR_PATH_NOT_FOUND: words = "no such drive"; break;
    case ERROR_ACCESS_DENIED: words = "access denied"; break;
    case ERROR_NOT_READY: words = "no medium in the drive"; break;
    case ERROR_SHARING_VIOLATION: words = "in use by another program"; break;
    case ERROR_WRITE_PROTECT: words = "write-protected"; break;
    case ERROR_UNRECOGNIZED_VOLUME: words = "no FAT file system"; break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: words = "out of memory"; break;
    case ERROR_INVALID_PARAMETER: words = "invalid parameter"; break;
    case ERROR_GEN_FAILURE: words = "device failure"; break;
    default: break;
  }
  std::string text = "error " + std::to_string(error);
  if (words) text += std::string(" (") + words + ")";
  return text;
}

std::u16string FormatSize(LONGLONG value, UINT unitId) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(value));
  std::u16string text(digits, digits + std::strlen(digits));
  WCHAR decimal[] = u",", thousand[] = u" ";
  NUMBERFMTW fmt{0, 0, 3, decimal, thousand, 0};
  WCHAR out[32];
  if (GetNumberFormatW(LOCALE_USER_DEFAULT, 0, text.c_str(), &fmt, out, 32) == 0) return {};
  return out + LoadText(unitId);
}

bool ReadCardInfo(WCHAR letter, CardInfoTexts* texts) {
  BootRecord boot{};
  if (!ReadBootRecord(letter, &boot)) return false;  // its last error stays
  CardSizes sizes = SizesFromBootRecord(boot);
  texts->cluster = FormatSize(sizes.clusterBytes, IDS_UNIT_BYTES);
  texts->total = FormatSize(sizes.totalKiB, IDS_UNIT_KIB);
  texts->free = FormatSize(sizes.freeKiB, IDS_UNIT_KIB);
  return true;
}

}  // namespace fci
