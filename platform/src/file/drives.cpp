// Drive letters over Linux volumes: detection of removable media, NX_DRIVES pins, and
// GetLogicalDrives, GetDriveType, QueryDosDevice, GetVolumeInformation,
// GetDiskFreeSpaceEx and SetErrorMode.
#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "file/drivetable.h"
#include "file/fat.h"
#include "file/volume.h"
#include "kernel/kernel.h"
#include "nxpal/drives.h"
#include "nxpal/text.h"

namespace nxpal {
namespace {

std::string ReadLine(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string Unescape(const std::string& s) {  // mountinfo writes blanks as \040
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && isdigit(static_cast<unsigned char>(s[i + 1]))) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string MountPointOf(const std::vector<MountEntry>& mounts, dev_t dev) {
  for (const auto& m : mounts)
    if (m.device == dev) return m.mountPoint;
  return {};
}

// FNV-1a: the same identity gives the same letter in every process and run.
uint32_t Hash(const std::string& s) {
  uint32_t h = 2166136261u;
  for (unsigned char c : s) h = (h ^ c) * 16777619u;
  return h;
}

std::string Realpath(const std::string& p) {
  char buf[PATH_MAX];
  return realpath(p.c_str(), buf) ? std::string(buf) : p;
}

// The file system serial of a volume as udev publishes it (readable by everyone).
std::string UuidOf(const std::string& device) {
  std::string real = Realpath(device);
  DIR* d = opendir("/dev/disk/by-uuid");
  if (!d) return {};
  std::string found;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    if (Realpath(std::string("/dev/disk/by-uuid/") + e->d_name) == real) {
      found = e->d_name;
      break;
    }
  }
  closedir(d);
  return found;
}

struct Candidate {
  std::string identity;
  Drive drive;
};

// Removable disks with a medium, one candidate per volume (partition, or the whole disk
// when it has none).
std::vector<Candidate> DetectRemovable(const std::vector<MountEntry>& mounts) {
  std::vector<Candidate> found;
  DIR* d = opendir("/sys/block");
  if (!d) return found;
  int floppies = 0;
  std::vector<std::string> disks;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') disks.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(disks.begin(), disks.end());
  for (const auto& disk : disks) {
    const std::string sys = "/sys/block/" + disk;
    const bool mmc = disk.rfind("mmcblk", 0) == 0 && disk.find("boot") == std::string::npos &&
                     disk.find("rpmb") == std::string::npos;
    const bool removable = ReadLine(sys + "/removable") == "1";
    if (!mmc && !removable) continue;
    if (disk.rfind("loop", 0) == 0 || disk.rfind("ram", 0) == 0 || disk.rfind("zram", 0) == 0) continue;
    UINT type = disk.rfind("sr", 0) == 0 ? DRIVE_CDROM : DRIVE_REMOVABLE;
    const bool floppy = disk.rfind("fd", 0) == 0;
    std::vector<std::string> volumes;
    if (DIR* p = opendir(sys.c_str())) {
      while (dirent* e = readdir(p)) {
        std::string n = e->d_name;
        if (n.rfind(disk, 0) == 0 && access((sys + "/" + n + "/partition").c_str(), F_OK) == 0) volumes.push_back(n);
      }
      closedir(p);
    }
    std::sort(volumes.begin(), volumes.end());
    if (volumes.empty()) volumes.push_back(disk);
    for (const auto& vol : volumes) {
      const std::string cls = "/sys/class/block/" + vol;
      if (std::strtoull(ReadLine(cls + "/size").c_str(), nullptr, 10) == 0) continue;  // no medium
      unsigned maj = 0, min = 0;
      if (sscanf(ReadLine(cls + "/dev").c_str(), "%u:%u", &maj, &min) != 2) continue;
      Candidate c;
      c.drive.type = type;
      c.drive.path = "/dev/" + vol;
      c.drive.mountPoint = MountPointOf(mounts, makedev(maj, min));
      c.drive.dosTarget = floppy ? "\\Device\\Floppy" + std::to_string(floppies++) : "\\Device\\" + vol;
      std::string uuid = UuidOf(c.drive.path);
      c.identity = uuid.empty() ? "dev:" + vol : "uuid:" + uuid;
      found.push_back(std::move(c));
    }
  }
  return found;
}

// "E=/tmp/card.img;F:fixed=/srv/data": the letters pinned, nothing else.
std::vector<Drive> PinnedDrives(const std::string& pins, const std::vector<MountEntry>& mounts) {
  std::vector<Drive> drives;
  int floppies = 0;
  std::stringstream ss(pins);
  std::string item;
  while (std::getline(ss, item, ';')) {
    while (!item.empty() && (item.back() == '\n' || item.back() == ' ')) item.pop_back();
    size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0 || !isalpha(static_cast<unsigned char>(item[0]))) continue;
    std::string head = item.substr(0, eq);
    Drive dr;
    dr.letter = static_cast<char>(toupper(static_cast<unsigned char>(item[0])));
    dr.type = DRIVE_REMOVABLE;
    bool floppy = false;
    if (head.size() > 2 && head[1] == ':') {
      std::string t = head.substr(2);
      if (t == "fixed") dr.type = DRIVE_FIXED;
      else if (t == "cdrom") dr.type = DRIVE_CDROM;
      else if (t == "floppy") floppy = true;
      else if (t != "removable") continue;
    } else if (head.size() != 1) {
      continue;
    }
    dr.path = item.substr(eq + 1);
    struct stat st{};
    bool exists = stat(dr.path.c_str(), &st) == 0;
    dr.folder = exists && S_ISDIR(st.st_mode);
    if (exists && S_ISBLK(st.st_mode)) {
      dr.mountPoint = MountPointOf(mounts, st.st_rdev);
      dr.dosTarget = "\\Device\\" + Realpath(dr.path).substr(Realpath(dr.path).rfind('/') + 1);
    } else {
      dr.dosTarget = "\\??\\" + dr.path;
    }
    if (floppy) dr.dosTarget = "\\Device\\Floppy" + std::to_string(floppies++);
    drives.erase(std::remove_if(drives.begin(), drives.end(), [&](const Drive& o) { return o.letter == dr.letter; }),
                 drives.end());
    drives.push_back(std::move(dr));
  }
  std::sort(drives.begin(), drives.end(), [](const Drive& a, const Drive& b) { return a.letter < b.letter; });
  return drives;
}

std::atomic<UINT> g_errorMode{0};

std::u16string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return nx::Utf8ToUtf16(s);
}

// What GetVolumeInformationW and GetDiskFreeSpaceExW report.
struct VolumeFacts {
  std::string label;
  DWORD serial = 0;
  DWORD maxComponent = 255;
  DWORD flags = 0;
  std::u16string fsName;
  ULONGLONG total = 0, free = 0, available = 0;
};

// A folder (or a mount point) as the file system under it tells.
DWORD DescribeFolder(const std::string& folder, VolumeFacts* f) {
  struct statvfs sv{};
  if (statvfs(folder.c_str(), &sv) != 0) return errno == ENOENT ? ERROR_NOT_READY : Win32FromErrno(errno);
  f->serial = static_cast<DWORD>(sv.f_fsid);
  f->maxComponent = static_cast<DWORD>(sv.f_namemax);
  f->total = static_cast<ULONGLONG>(sv.f_blocks) * sv.f_frsize;
  f->free = static_cast<ULONGLONG>(sv.f_bfree) * sv.f_frsize;
  f->available = static_cast<ULONGLONG>(sv.f_bavail) * sv.f_frsize;
  // The file system type of the mount that holds the folder: the longest mount point
  // that is a prefix of its real path.
  std::string real = Realpath(folder), fs;
  size_t best = 0;
  for (const auto& m : ListMounts()) {
    const std::string& mp = m.mountPoint;
    bool prefix = real.rfind(mp, 0) == 0 && (mp == "/" || real.size() == mp.size() || real[mp.size()] == '/');
    if (prefix && mp.size() >= best) {
      best = mp.size();
      fs = m.fsType;
    }
  }
  const bool fat = fs == "vfat" || fs == "msdos";
  f->fsName = fat ? u"FAT" : Upper(fs);
  f->flags = fat ? (FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK)
                 : (FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK);
  return ERROR_SUCCESS;
}

DWORD Describe(const Drive& d, bool wantSpace, VolumeFacts* f) {
  if (d.folder) return DescribeFolder(d.path, f);
  std::shared_ptr<VolumeIo> io;
  DWORD err = VolumeIo::Open(d.path, false, &io);
  std::unique_ptr<FatVolume> fat;
  if (err == ERROR_SUCCESS) err = FatVolume::Open(io, &fat);
  if (err != ERROR_SUCCESS) {
    // A mounted volume that cannot be read raw (no rights, another file system) is
    // described by its mount.
    if (!d.mountPoint.empty() && err != ERROR_NOT_READY) return DescribeFolder(d.mountPoint, f);
    return err;
  }
  const FatLayout& l = fat->Layout();
  err = fat->Label(&f->label);
  if (err != ERROR_SUCCESS) return err;
  f->serial = l.serial;
  f->maxComponent = 255;
  f->flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
  f->fsName = l.bits == 32 ? u"FAT32" : u"FAT";
  if (!wantSpace) return ERROR_SUCCESS;
  if (!d.mountPoint.empty()) {
    // The mounted file system knows the current free space; the medium may lag behind.
    VolumeFacts m;
    if (DescribeFolder(d.mountPoint, &m) == ERROR_SUCCESS) {
      f->total = m.total;
      f->free = m.free;
      f->available = m.available;
      return ERROR_SUCCESS;
    }
  }
  uint32_t freeClusters = 0;
  err = fat->CountFreeClusters(&freeClusters);
  if (err != ERROR_SUCCESS) return err;
  f->total = static_cast<ULONGLONG>(l.clusterCount) * l.ClusterBytes();
  f->free = f->available = static_cast<ULONGLONG>(freeClusters) * l.ClusterBytes();
  return ERROR_SUCCESS;
}

// The drive of a root path; the error GetVolumeInformation and GetDiskFreeSpaceEx give
// for a path that names no drive.
DWORD DriveOfRoot(LPCWSTR root, Drive* d) {
  char letter = root ? DriveLetterOf(root) : 'C';
  if (!letter || !FindDrive(letter, d)) return ERROR_PATH_NOT_FOUND;
  return ERROR_SUCCESS;
}

DWORD CopyOut(const std::u16string& s, LPWSTR buf, DWORD size) {
  if (!buf) return ERROR_SUCCESS;
  if (s.size() + 1 > size) return ERROR_INSUFFICIENT_BUFFER;
  std::copy(s.begin(), s.end(), buf);
  buf[s.size()] = 0;
  return ERROR_SUCCESS;
}

}  // namespace

char DriveLetterOf(std::u16string_view p) {
  if (p.size() < 2 || p[1] != u':') return 0;
  char16_t c = p[0];
  if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  if (c < u'A' || c > u'Z') return 0;
  if (p.size() > 2 && p[2] != u'\\' && p[2] != u'/') return 0;
  return static_cast<char>(c);
}

std::vector<MountEntry> ListMounts() {
  std::vector<MountEntry> mounts;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mount-point options ... - fstype source super-options
    std::istringstream ls(line);
    std::string id, parent, devno, root, mp;
    ls >> id >> parent >> devno >> root >> mp;
    unsigned maj = 0, min = 0;
    if (sscanf(devno.c_str(), "%u:%u", &maj, &min) != 2) continue;
    size_t dash = line.find(" - ");
    std::string fs;
    if (dash != std::string::npos) std::istringstream(line.substr(dash + 3)) >> fs;
    mounts.push_back(MountEntry{makedev(maj, min), Unescape(mp), fs});
  }
  return mounts;
}

std::vector<Drive> ListDrives() {
  const auto mounts = ListMounts();
  if (const char* pins = getenv("NX_DRIVES")) return PinnedDrives(pins, mounts);
  std::vector<Drive> drives;
  Drive c;
  c.letter = 'C';
  c.type = DRIVE_FIXED;
  c.folder = true;
  c.path = "/";
  c.dosTarget = "\\??\\/";
  drives.push_back(c);
  auto candidates = DetectRemovable(mounts);
  std::sort(candidates.begin(), candidates.end(),
            [](const Candidate& a, const Candidate& b) { return a.identity < b.identity; });
  bool taken[26] = {};
  taken['C' - 'A'] = true;
  for (auto& cand : candidates) {
    // D..Z from the identity; on a clash the next free letter.
    uint32_t start = Hash(cand.identity) % 23;
    for (uint32_t i = 0; i < 23; ++i) {
      int idx = 3 + static_cast<int>((start + i) % 23);
      if (taken[idx]) continue;
      taken[idx] = true;
      cand.drive.letter = static_cast<char>('A' + idx);
      drives.push_back(cand.drive);
      break;
    }
  }
  std::sort(drives.begin(), drives.end(), [](const Drive& a, const Drive& b) { return a.letter < b.letter; });
  return drives;
}

bool FindDrive(char letter, Drive* out) {
  for (auto& d : ListDrives()) {
    if (d.letter == letter) {
      *out = std::move(d);
      return true;
    }
  }
  return false;
}

}  // namespace nxpal

using namespace nxpal;

DWORD GetLogicalDrives() {
  DWORD mask = 0;
  for (const auto& d : ListDrives()) mask |= 1u << (d.letter - 'A');
  SetLastError(ERROR_SUCCESS);
  return mask;
}

UINT GetDriveTypeW(LPCWSTR rootPath) {
  char letter = rootPath ? DriveLetterOf(rootPath) : 'C';
  Drive d;
  if (!letter || !FindDrive(letter, &d)) return DRIVE_NO_ROOT_DIR;
  return d.type;
}

UINT GetDriveTypeA(LPCSTR rootPath) {
  if (!rootPath) return GetDriveTypeW(nullptr);
  return GetDriveTypeW(nx::Utf8ToUtf16(rootPath).c_str());
}

DWORD QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD size) {
  std::u16string list;
  if (!deviceName) {
    for (const auto& d : ListDrives()) {
      list += static_cast<char16_t>(d.letter);
      list += u':';
      list += u'\0';
    }
  } else {
    std::u16string_view name(deviceName);
    char letter = name.size() == 2 ? DriveLetterOf(name) : 0;
    Drive d;
    if (!letter || !FindDrive(letter, &d)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    list = nx::Utf8ToUtf16(d.dosTarget);
    list += u'\0';
  }
  list += u'\0';
  if (!targetPath || list.size() > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(list.begin(), list.end(), targetPath);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(list.size());
}

BOOL GetVolumeInformationW(LPCWSTR rootPath, LPWSTR volumeName, DWORD volumeNameSize, LPDWORD serialNumber,
                           LPDWORD maxComponentLength, LPDWORD fileSystemFlags, LPWSTR fileSystemName,
                           DWORD fileSystemNameSize) {
  Drive d;
  VolumeFacts f;
  DWORD err = DriveOfRoot(rootPath, &d);
  if (err == ERROR_SUCCESS) err = Describe(d, false, &f);
  if (err == ERROR_SUCCESS) err = CopyOut(nx::Utf8ToUtf16(f.label), volumeName, volumeNameSize);
  if (err == ERROR_SUCCESS) err = CopyOut(f.fsName, fileSystemName, fileSystemNameSize);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return FALSE;
  }
  if (serialNumber) *serialNumber = f.serial;
  if (maxComponentLength) *maxComponentLength = f.maxComponent;
  if (fileSystemFlags) *fileSystemFlags = f.flags;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL GetDiskFreeSpaceExW(LPCWSTR rootPath, PULARGE_INTEGER freeBytesAvailable, PULARGE_INTEGER totalBytes,
                         PULARGE_INTEGER totalFreeBytes) {
  Drive d;
  VolumeFacts f;
  DWORD err = DriveOfRoot(rootPath, &d);
  if (err == ERROR_SUCCESS) err = Describe(d, true, &f);
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return FALSE;
  }
  if (freeBytesAvailable) freeBytesAvailable->QuadPart = f.available;
  if (totalBytes) totalBytes->QuadPart = f.total;
  if (totalFreeBytes) totalFreeBytes->QuadPart = f.free;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

UINT SetErrorMode(UINT mode) { return g_errorMode.exchange(mode); }
