// The right to cards, card readers, the cards in them, their mounts, and what the card
// initializer would say of each card, read through the paged-file service as it reads
// them (for reading only: nothing is written to a card).
#include <dirent.h>
#include <grp.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "card.h"
#include "checks.h"
#include "layout.h"
#include "nxpal/windows.h"
#include "vkrt.h"
#include "worker.h"

namespace vr03check {
namespace {

constexpr char kRightsTitle[] = "right to cards";
constexpr char kReadersTitle[] = "card readers";

std::string Utf8(const std::u16string& s) { return nx::Utf16ToUtf8(s); }

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) ? std::string(buf) : path;
}

// ---- the grant group ------------------------------------------------------------------

// The group by name or number, as the service resolves its --grant-group.
const group* FindGroup(const std::string& name) {
  char* end = nullptr;
  const unsigned long number = std::strtoul(name.c_str(), &end, 10);
  return !name.empty() && *end == '\0' ? getgrgid(static_cast<gid_t>(number)) : getgrnam(name.c_str());
}

bool ProcessHasGroup(gid_t gid) {
  if (getegid() == gid) return true;
  const int n = getgroups(0, nullptr);
  std::vector<gid_t> groups(n > 0 ? static_cast<size_t>(n) : 0);
  if (n > 0 && getgroups(n, groups.data()) != n) return false;
  return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// Whether the group database lists the user in the group (a login after the change
// gets it; this process may predate it).
bool DatabaseHasGroup(gid_t gid) {
  const std::string user = UserName();
  int n = 64;
  std::vector<gid_t> groups(static_cast<size_t>(n));
  if (getgrouplist(user.c_str(), getegid(), groups.data(), &n) < 0) {
    groups.resize(static_cast<size_t>(n));
    if (getgrouplist(user.c_str(), getegid(), groups.data(), &n) < 0) return false;
  }
  groups.resize(static_cast<size_t>(n));
  return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// The verdict on borrowing the service's rights; the fix a refused card should name.
std::string CheckRights(Report& report, const ServiceFacts& service) {
  const std::string user = UserName();
  if (!service.reachable) {
    report.Add("rights", kRightsTitle, Status::Skip, "not checked: no paged-file service");
    return {};
  }
  if (geteuid() == 0) {
    report.Add("rights", kRightsTitle, Status::Ok, "root opens card readers with its own rights");
    return {};
  }
  if (!service.system) {
    const std::string fix = "sudo systemctl enable --now pfsvc && systemctl --user disable --now pfsvc";
    report.Add("rights", kRightsTitle, Status::Warn,
               user + "'s own service lends no rights: cards need " + user +
                   "'s own rights to the card reader's device (the system service lends them to its group)",
               fix);
    return fix;
  }
  const std::string& name = service.grantGroup;
  if (name.empty()) {
    report.Add("rights", kRightsTitle, Status::Warn,
               "the system service lends its rights to nobody (--grant-group \"\"): cards need " + user +
                   "'s own rights to the card reader's device");
    return {};
  }
  const group* g = FindGroup(name);
  if (!g) {
    const std::string fix = "sudo addgroup --system " + name + " && sudo adduser " + user + " " + name +
                            " && sudo systemctl restart pfsvc";
    report.Add("rights", kRightsTitle, Status::Fail, "the service's grant group " + name + " does not exist", fix)
        .Fact("group", name);
    return fix;
  }
  const std::string group = g->gr_name;
  const gid_t gid = g->gr_gid;
  if (ProcessHasGroup(gid)) {
    report.Add("rights", kRightsTitle, Status::Ok,
               user + " is in group " + group + ", whose members borrow the service's rights for card readers")
        .Fact("group", group)
        .Fact("member", true);
    return {};
  }
  if (DatabaseHasGroup(gid)) {
    const std::string fix = "log out and in again (or run: newgrp " + group + ")";
    report.Add("rights", kRightsTitle, Status::Fail,
               user + " was added to group " + group + " after this login: the session does not have it yet", fix)
        .Fact("group", group)
        .Fact("member", false);
    return fix;
  }
  const std::string fix = "sudo adduser " + user + " " + group + ", then log out and in again";
  report.Add("rights", kRightsTitle, Status::Fail,
             user + " is not in group " + group + ", whose members borrow the service's rights for card readers", fix)
      .Fact("group", group)
      .Fact("member", false);
  return fix;
}

// ---- readers and mounts ----------------------------------------------------------------

struct MountEntry {
  dev_t device;
  std::string mountPoint, source;
};

std::string Unescape(const std::string& s) {  // mountinfo writes blanks as \040
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1]))) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::vector<MountEntry> Mounts() {
  std::vector<MountEntry> mounts;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mount-point options ... - fstype source super-options
    std::istringstream fields(line);
    std::string id, parent, devno, root, mountPoint;
    fields >> id >> parent >> devno >> root >> mountPoint;
    unsigned major = 0, minor = 0;
    if (std::sscanf(devno.c_str(), "%u:%u", &major, &minor) != 2) continue;
    std::string fsType, source;
    const size_t dash = line.find(" - ");
    if (dash != std::string::npos) std::istringstream(line.substr(dash + 3)) >> fsType >> source;
    mounts.push_back(MountEntry{makedev(major, minor), Unescape(mountPoint), Unescape(source)});
  }
  return mounts;
}

// The device numbers of a block device's partitions (/sys/class/block/NAME/NAMEx).
void AddPartitions(const std::string& name, std::vector<dev_t>* devices) {
  const std::string sys = "/sys/class/block/" + name;
  DIR* d = opendir(sys.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    const std::string entry = e->d_name;
    if (entry.rfind(name, 0) != 0 || access((sys + "/" + entry + "/partition").c_str(), F_OK) != 0) continue;
    unsigned major = 0, minor = 0;
    if (std::sscanf(FirstLine(sys + "/" + entry + "/dev").c_str(), "%u:%u", &major, &minor) == 2)
      devices->push_back(makedev(major, minor));
  }
  closedir(d);
}

// Where the volume behind a path (block device or image file) is mounted: the mount and
// the device to unmount; empty when it is not. An image counts through the loop devices
// that it backs.
struct MountFound {
  std::string mountPoint, device;
};
MountFound FindMount(const std::string& path) {
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) return {};
  const std::string real = RealPath(path);
  std::vector<std::pair<dev_t, std::string>> devices;  // number, /dev path
  if (S_ISBLK(st.st_mode)) {
    devices.emplace_back(st.st_rdev, real);
    std::vector<dev_t> parts;
    AddPartitions(real.substr(real.rfind('/') + 1), &parts);
    for (dev_t p : parts) devices.emplace_back(p, real);
  } else if (S_ISREG(st.st_mode)) {
    if (DIR* d = opendir("/sys/block")) {
      while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.rfind("loop", 0) != 0) continue;
        if (FirstLine("/sys/block/" + name + "/loop/backing_file") != real) continue;
        unsigned major = 0, minor = 0;
        if (std::sscanf(FirstLine("/sys/block/" + name + "/dev").c_str(), "%u:%u", &major, &minor) == 2)
          devices.emplace_back(makedev(major, minor), "/dev/" + name);
        std::vector<dev_t> parts;
        AddPartitions(name, &parts);
        for (dev_t p : parts) devices.emplace_back(p, "/dev/" + name);
      }
      closedir(d);
    }
  }
  for (const MountEntry& m : Mounts()) {
    for (const auto& [number, device] : devices)
      if (m.device == number) return {m.mountPoint, m.source.rfind("/dev/", 0) == 0 ? m.source : device};
    if (!m.source.empty() && m.source[0] == '/' && RealPath(m.source) == real) return {m.mountPoint, real};
  }
  return {};
}

// A removable disk of this system (a card reader, or an SD slot with a card).
struct Reader {
  std::string name;  // "sdb", "mmcblk0"
  std::string model;  // "Generic STORAGE DEVICE"
  bool medium = false;
};

std::vector<Reader> DetectReaders() {
  std::vector<Reader> readers;
  DIR* d = opendir("/sys/block");
  if (!d) return readers;
  while (dirent* e = readdir(d)) {
    const std::string disk = e->d_name;
    if (disk[0] == '.') continue;
    for (const char* skip : {"loop", "ram", "zram", "sr", "fd", "md", "dm-", "nbd"})
      if (disk.rfind(skip, 0) == 0) goto next;
    {
      const std::string sys = "/sys/block/" + disk;
      const bool mmc = disk.rfind("mmcblk", 0) == 0 && disk.find("boot") == std::string::npos &&
                       disk.find("rpmb") == std::string::npos;
      if (!mmc && FirstLine(sys + "/removable") != "1") continue;
      Reader r;
      r.name = disk;
      std::string vendor = FirstLine(sys + "/device/vendor"), model = FirstLine(sys + "/device/model");
      if (model.empty()) model = FirstLine(sys + "/device/name");  // SD cards name themselves
      r.model = vendor + (vendor.empty() || model.empty() ? "" : " ") + model;
      while (!r.model.empty() && r.model.back() == ' ') r.model.pop_back();
      r.medium = std::strtoull(FirstLine(sys + "/size").c_str(), nullptr, 10) > 0;
      readers.push_back(r);
    }
  next:;
  }
  closedir(d);
  std::sort(readers.begin(), readers.end(), [](const Reader& a, const Reader& b) { return a.name < b.name; });
  return readers;
}

// ---- a card -----------------------------------------------------------------------------

// The drive letters that stand for removable media other than floppies: card readers
// with or without a card in them (an empty reader has a letter only when pinned).
std::vector<WCHAR> CardLetters() {
  std::vector<WCHAR> letters;
  const DWORD mask = GetLogicalDrives();
  for (int i = 0; i < 26; ++i) {
    const WCHAR letter = static_cast<WCHAR>(u'A' + i);
    const char16_t root[] = {letter, u':', u'\\', 0};
    const char16_t drive[] = {letter, u':', 0};
    if (!(mask & (1u << i)) || GetDriveTypeW(root) != DRIVE_REMOVABLE) continue;
    WCHAR target[MAX_PATH];
    if (QueryDosDeviceW(drive, target, MAX_PATH) == 0) continue;
    if (std::u16string_view(target).find(u"Flop") != std::u16string_view::npos) continue;
    letters.push_back(letter);
  }
  return letters;
}

// The path behind a letter: "\Device\sdb1" is /dev/sdb1, "\??\PATH" is PATH.
std::string DevicePath(WCHAR letter) {
  const char16_t drive[] = {letter, u':', 0};
  WCHAR target[MAX_PATH];
  if (QueryDosDeviceW(drive, target, MAX_PATH) == 0) return {};
  const std::string t = Utf8(target);
  if (t.rfind("\\Device\\", 0) == 0) return "/dev/" + t.substr(8);
  if (t.rfind("\\??\\", 0) == 0) return t.substr(4);
  return t;
}

const char* RefusalWords(fci::Refusal r) {
  switch (r) {
    case fci::Refusal::None: return "";
    case fci::Refusal::SectorSize: return "its sectors are not 512 bytes";
    case fci::Refusal::FatCount: return "it does not have two FATs";
    case fci::Refusal::Fat32: return "it is FAT32, and only FAT12 and FAT16 cards are initialised";
    case fci::Refusal::ClusterSize: return "its clusters are not a power-of-two number of sectors";
    case fci::Refusal::Capacity: return "it holds 4 GiB or more";
    case fci::Refusal::FatSize: return "its FAT cannot hold the whole chain";
    case fci::Refusal::DataArea: return "its data area runs past the end of the volume";
    case fci::Refusal::RootDir: return "its root directory is not of whole sectors";
    case fci::Refusal::Reserved: return "its boot record has no reserved sector";
    case fci::Refusal::FatType: return "\"FAT12\" in its boot record disagrees with its number of clusters";
    case fci::Refusal::TooSmall: return "its data area cannot hold the file header";
  }
  return "it cannot carry the session file";
}

std::string ErrorText(DWORD error) {
  std::string text = fci::OpenErrorText(error);
  if (error == ERROR_FILE_NOT_FOUND) text += ": it was started with other drives";
  return text;
}

// The boot record read through the service, for reading only; the last error on failure.
bool ReadBootThroughService(WCHAR letter, fci::BootRecord* boot) {
  HANDLE volume = nullptr, block = nullptr;
  if (!vkpfCreateW(fci::VolumeName(letter).c_str(), GENERIC_READ, fci::kOpenShare, fci::kOpenFlags, fci::kOpenPage,
                   nullptr, &volume))
    return false;
  DWORD error = vkSMCreate(&block);
  if (error == 0) {
    DWORD done = 0;
    LPVOID view = nullptr;
    if (!vkpfRead(volume, block, fci::kSectorSize, &done)) error = GetLastError();
    else if (done != fci::kSectorSize) error = ERROR_HANDLE_EOF;
    else if ((error = vkSMLock(block, 0, &view)) == 0) {
      *boot = fci::DecodeBootRecord(static_cast<const uint8_t*>(view));
      vkSMUnlock(block);
    }
    vkSMClose(block);
  }
  vkpfClose(volume);
  SetLastError(error);
  return error == 0;
}

// The data area's size as the drive reports it (clusters × cluster size), from the boot
// record when the drive cannot be asked with this user's own rights.
ULONGLONG Capacity(WCHAR letter, const fci::BootRecord& b) {
  const char16_t root[] = {letter, u':', u'\\', 0};
  ULARGE_INTEGER total{};
  if (GetDiskFreeSpaceExW(root, nullptr, &total, nullptr)) return total.QuadPart;
  if (b.bytsPerSec == 0 || b.secPerClus == 0) return 0;
  const ULONGLONG rootSectors = (static_cast<ULONGLONG>(b.rootEntCnt) * 32 + b.bytsPerSec - 1) / b.bytsPerSec;
  const ULONGLONG meta = b.rsvdSecCnt + static_cast<ULONGLONG>(b.numFATs) * b.fatSz16 + rootSectors;
  const ULONGLONG total32 = fci::TotalSectors(b);
  if (total32 <= meta) return 0;
  return (total32 - meta) / b.secPerClus * b.secPerClus * b.bytsPerSec;
}

void CheckCard(Report& report, WCHAR letter, const ServiceFacts& service, const std::string& rightsFix) {
  const std::string name = std::string(1, static_cast<char>(letter)) + ":";
  const std::string device = DevicePath(letter);
  const char16_t root[] = {letter, u':', u'\\', 0};
  WCHAR label[64] = {0}, fs[16] = {0};
  const bool described = GetVolumeInformationW(root, label, 64, nullptr, nullptr, nullptr, fs, 16) != FALSE;
  const DWORD describeError = described ? 0 : GetLastError();

  // The card itself: its device, file system and mount.
  const std::string cardId = "card " + name;
  const std::string cardTitle = "card " + name;
  const MountFound mount = FindMount(device);
  std::string seen = device;
  if (described) {
    seen += ", " + Utf8(fs);
    if (label[0]) seen += " \"" + Utf8(label) + "\"";
  }
  Status status = Status::Ok;
  std::string text, fix;
  if (!mount.mountPoint.empty()) {
    status = Status::Fail;
    text = seen + ", mounted at " + mount.mountPoint + ": a mounted card is never written";
    fix = "udisksctl unmount -b " + mount.device + " (or: sudo umount " + mount.mountPoint + ")";
  } else if (described) {
    text = seen + ", not mounted";
  } else if (describeError == ERROR_ACCESS_DENIED) {
    // The initializer's command line asks for the volume's file system with the user's
    // own rights before it goes through the service, and so misses such a card.
    status = Status::Warn;
    text = seen + ", not mounted; " + UserName() +
           " cannot read the device itself, so 'vr03fci list', 'info' and 'init' do not see this card "
           "(the initializer's window reaches it through the service)";
  } else {
    text = seen + ", not mounted; its file system cannot be read: " + ErrorText(describeError);
  }
  Verdict& card = report.Add(cardId, cardTitle, status, text, fix);
  card.Fact("device", device).Fact("mounted", !mount.mountPoint.empty());
  if (!mount.mountPoint.empty()) card.Fact("mount_point", mount.mountPoint);
  if (described) card.Fact("file_system", Utf8(fs)).Fact("label", Utf8(label));

  // What the initializer would say of it, read as it reads it: through the service.
  const std::string initId = "initialise " + name;
  const std::string initTitle = "vr03fci info " + name;
  if (!service.reachable) {
    report.Add(initId, initTitle, Status::Skip, "not checked: no paged-file service");
    return;
  }
  fci::BootRecord boot{};
  if (!ReadBootThroughService(letter, &boot)) {
    const DWORD error = GetLastError();
    std::string fixOpen;
    if (error == ERROR_ACCESS_DENIED) fixOpen = rightsFix;
    else if (error == ERROR_FILE_NOT_FOUND) fixOpen = "restart the service with the same drives as this session";
    report.Add(initId, initTitle, Status::Fail, "the paged-file service cannot open the card: " + ErrorText(error), fixOpen)
        .Fact("error", static_cast<long long>(error));
    return;
  }
  fci::CardLayout layout{};
  const fci::Refusal refusal = fci::ComputeLayout(boot, Capacity(letter, boot), &layout);
  if (refusal != fci::Refusal::None) {
    const std::string reformat = refusal == fci::Refusal::Capacity
                                     ? "use a card of less than 4 GiB"
                                     : "mkfs.fat -F 16 " + device + " (everything on the card is lost)";
    report.Add(initId, initTitle, Status::Fail, std::string("the card cannot carry the session file: ") + RefusalWords(refusal),
               reformat)
        .Fact("refusal", static_cast<long long>(refusal));
    return;
  }
  char text2[160];
  std::snprintf(text2, sizeof text2, "can be initialised: VKFRCG.BIN of %.1f MiB in %u clusters, %d-bit FAT",
                static_cast<double>(layout.capacity) / 1048576.0, layout.lastCluster - 1, layout.fat12 ? 12 : 16);
  report.Add(initId, initTitle, Status::Ok, text2)
      .Fact("file_bytes", static_cast<long long>(layout.capacity))
      .Fact("clusters", static_cast<long long>(layout.lastCluster - 1))
      .Fact("fat_bits", static_cast<long long>(layout.fat12 ? 12 : 16));
}

}  // namespace

void CheckCards(Report& report, const ServiceFacts& service) {
  SetErrorMode(SEM_FAILCRITICALERRORS);
  const std::string rightsFix = CheckRights(report, service);

  const std::vector<WCHAR> letters = CardLetters();
  std::vector<WCHAR> cards;
  std::string readers;
  bool anyReader = false;
  if (const char* pins = getenv("NX_DRIVES"); pins && *pins) {
    // Pinned drives: each removable letter is a reader, its path missing is no card.
    for (WCHAR letter : letters) {
      anyReader = true;
      const char16_t root[] = {letter, u':', u'\\', 0};
      const bool medium = GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0) ||
                          GetLastError() != ERROR_NOT_READY;
      if (!readers.empty()) readers += "; ";
      readers += std::string(1, static_cast<char>(letter)) + ": pinned to " + DevicePath(letter) +
                 (medium ? "" : ", no card");
      if (medium) cards.push_back(letter);
    }
  } else {
    for (const Reader& r : DetectReaders()) {
      anyReader = true;
      if (!readers.empty()) readers += "; ";
      readers += "/dev/" + r.name + (r.model.empty() ? "" : " (" + r.model + ")") + (r.medium ? "" : ", no card");
    }
    cards = letters;
  }
  if (!anyReader) {
    report.Add("readers", kReadersTitle, Status::Fail, "none found (no removable disk)",
               "connect the card reader; 'lsblk -o NAME,RM,SIZE,MODEL' lists it with RM 1");
    return;
  }
  if (cards.empty()) {
    report.Add("readers", kReadersTitle, Status::Warn, readers, "insert a card to check it too");
    return;
  }
  std::string letterList;
  for (WCHAR c : cards) letterList += std::string(letterList.empty() ? "" : " ") + static_cast<char>(c) + ":";
  report.Add("readers", kReadersTitle, Status::Ok, readers + "; cards: " + letterList);
  for (WCHAR letter : cards) CheckCard(report, letter, service, rightsFix);
}

}  // namespace vr03check
