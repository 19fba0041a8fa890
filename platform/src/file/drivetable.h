// The table of drive letters: what stands behind each letter right now (detected
// removable volumes, or the pins of NX_DRIVES), shared by the drive functions and by
// CreateFile's drive paths.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "nxpal/types.h"

namespace nxpal {

struct Drive {
  char letter = 0;  // 'A'..'Z'
  UINT type = 0;  // DRIVE_*
  bool folder = false;  // a folder of this system stands for the drive's root
  std::string path;  // the folder, or the volume's block device or image file
  std::string mountPoint;  // a mounted volume: where its files are; else empty
  std::string dosTarget;  // what QueryDosDevice reports
};

std::vector<Drive> ListDrives();
// The drive of an upper-case letter; false when it does not exist.
bool FindDrive(char letter, Drive* out);

// The upper-case letter that a path begins with ("e:", "E:\...", "E:/..."), or 0.
char DriveLetterOf(std::u16string_view path);

struct MountEntry {
  dev_t device = 0;
  std::string mountPoint;
  std::string fsType;
};
// The mounts of this process (/proc/self/mountinfo).
std::vector<MountEntry> ListMounts();

}  // namespace nxpal
