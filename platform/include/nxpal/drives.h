// Drive letters and volumes. Letters stand for volumes of this system:
// - without NX_DRIVES: C: is the root folder "/" (a fixed drive) and every volume of a
//   removable disk with a medium (USB card readers, SD slots) gets a letter from D: to
//   Z: derived from the medium's identity (its file system's serial number), so the same
//   card gets the same letter across runs and in every process;
// - with NX_DRIVES (for example "E=/tmp/card.img;F:fixed=/srv/data"): exactly the
//   letters listed, each pinned to an image file of a volume, a block device or a
//   folder, of the type given after the letter (removable when none: removable, fixed,
//   floppy or cdrom). A pinned path that does not exist is a drive without a medium.
//   Nothing else is detected then, so tests see only what they pin.
#pragma once

#include "errors.h"
#include "export.h"
#include "types.h"

NX_CONST(UINT, DRIVE_UNKNOWN, 0);
NX_CONST(UINT, DRIVE_NO_ROOT_DIR, 1);
NX_CONST(UINT, DRIVE_REMOVABLE, 2);
NX_CONST(UINT, DRIVE_FIXED, 3);
NX_CONST(UINT, DRIVE_REMOTE, 4);
NX_CONST(UINT, DRIVE_CDROM, 5);

NX_CONST(DWORD, FILE_CASE_SENSITIVE_SEARCH, 0x1);
NX_CONST(DWORD, FILE_CASE_PRESERVED_NAMES, 0x2);
NX_CONST(DWORD, FILE_UNICODE_ON_DISK, 0x4);

NX_CONST(UINT, SEM_FAILCRITICALERRORS, 0x0001);
NX_CONST(UINT, SEM_NOGPFAULTERRORBOX, 0x0002);
NX_CONST(UINT, SEM_NOALIGNMENTFAULTEXCEPT, 0x0004);
NX_CONST(UINT, SEM_NOOPENFILEERRORBOX, 0x8000);

// Bit n set for each letter 'A' + n that exists.
NXPAL_API DWORD GetLogicalDrives(void);
// Type of the drive of a root path ("E:\", also "E:" and "E:/"); DRIVE_NO_ROOT_DIR for a
// letter that does not exist or a path that names no drive; null: the drive of "/".
NXPAL_API UINT GetDriveTypeW(LPCWSTR rootPath);
NXPAL_API UINT GetDriveTypeA(LPCSTR rootPath);
// The device behind a drive name ("E:") as a list of strings ending with an empty one:
// "\Device\<block device>" ("\Device\Floppy<n>" for floppy drives), "\??\<path>" for
// images and folders. A null name lists the drive names. Returns the characters stored
// with both terminators; 0 with ERROR_FILE_NOT_FOUND (2) for an unknown drive or
// ERROR_INSUFFICIENT_BUFFER (122) when the buffer is too small.
NXPAL_API DWORD QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD size);
// Label, serial number, longest name, flags and file system name ("FAT", "FAT32", or the
// Linux name in capitals) of the volume behind a root path. Every output is optional.
// ERROR_PATH_NOT_FOUND (3) for an unknown letter, ERROR_NOT_READY (21) without a medium,
// ERROR_UNRECOGNIZED_VOLUME (1005) when the medium holds no file system that can be read.
NXPAL_API BOOL GetVolumeInformationW(LPCWSTR rootPath, LPWSTR volumeName, DWORD volumeNameSize, LPDWORD serialNumber,
                                     LPDWORD maxComponentLength, LPDWORD fileSystemFlags, LPWSTR fileSystemName,
                                     DWORD fileSystemNameSize);
// Sizes of the volume behind a root path, as Windows reports them: for a FAT volume the
// data clusters times the cluster size, and the free clusters times the cluster size.
// Every output is optional; errors as GetVolumeInformationW.
NXPAL_API BOOL GetDiskFreeSpaceExW(LPCWSTR rootPath, PULARGE_INTEGER freeBytesAvailable, PULARGE_INTEGER totalBytes,
                                   PULARGE_INTEGER totalFreeBytes);
// The process's error mode, returning the previous one. Nothing here ever raises a
// system dialog, so the mode is only kept.
NXPAL_API UINT SetErrorMode(UINT mode);
