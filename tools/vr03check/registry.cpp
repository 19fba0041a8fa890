// The registry hives: where they are (the platform's rule, repeated here because the
// platform names no path), whether they read, and whether the user's may be written.
// Reading goes through the registry functions; writing is judged from the file rights
// only, so the check changes nothing.
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "checks.h"
#include "nxpal/windows.h"

namespace vr03check {
namespace {

bool Exists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0;
}

std::string Parent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

// Where a hive is: NX_REGISTRY_DIR, else the machine's under /var/lib and the user's
// under ${XDG_CONFIG_HOME:-~/.config}.
std::string HivePath(bool machine) {
  if (const char* dir = getenv("NX_REGISTRY_DIR"); dir && *dir)
    return std::string(dir) + (machine ? "/machine.db" : "/user.db");
  if (machine) return "/var/lib/veltrak/machine.db";
  if (const char* xdg = getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') return std::string(xdg) + "/veltrak/user.db";
  const char* home = getenv("HOME");
  if (!home || !*home) {
    const passwd* pw = getpwuid(geteuid());
    home = pw ? pw->pw_dir : "/";
  }
  return std::string(home) + "/.config/veltrak/user.db";
}

// Whether the user may change the hive: the file and its folder writable, or for a hive
// not made yet the nearest folder that exists (the folders between are made).
bool Writable(const std::string& path, std::string* blocker) {
  std::string dir = Parent(path);
  if (Exists(path)) {
    if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
      *blocker = path;
      return false;
    }
    if (faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
      *blocker = dir;
      return false;
    }
    return true;
  }
  while (dir != "/" && !Exists(dir)) dir = Parent(dir);
  if (faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    *blocker = dir;
    return false;
  }
  return true;
}

// Reads the hive's top key; ERROR_SUCCESS also for a hive not made yet (it is empty).
LONG ReadHive(HKEY root) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExW(root, u"Software", 0, KEY_READ, &key);
  if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (rc != ERROR_SUCCESS) return rc;
  DWORD subkeys = 0, values = 0;
  rc = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                        nullptr);
  RegCloseKey(key);
  return rc;
}

std::string ReadError(LONG rc) {
  std::string text = "error " + std::to_string(rc);
  switch (rc) {
    case ERROR_ACCESS_DENIED: return text + " (access denied)";
    case ERROR_REGISTRY_CORRUPT: return text + " (not a registry hive, or damaged)";
    case ERROR_BUSY: return text + " (locked by another program)";
    default: return text;
  }
}

}  // namespace

void CheckRegistry(Report& report) {
  const std::string user = UserName();
  for (const bool machine : {true, false}) {
    const std::string path = HivePath(machine);
    const std::string id = machine ? "machine hive" : "user hive";
    const std::string title = machine ? "machine registry (HKLM)" : "user registry (HKCU)";
    const bool exists = Exists(path);
    const LONG rc = ReadHive(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER);
    std::string blocker;
    const bool writable = Writable(path, &blocker);
    Status status = Status::Ok;
    std::string text = path + (exists ? "" : " (not made yet: empty)"), fix;
    if (rc != ERROR_SUCCESS) {
      status = Status::Fail;
      text += ": cannot be read: " + ReadError(rc);
      fix = machine ? "sudo mv " + path + " " + path + ".broken (the machine's settings start empty)"
                    : "mv " + path + " " + path + ".broken (the initializer starts with no last card)";
    } else if (machine) {
      text += writable ? ", readable, writable by " + user : ", readable, read-only for " + user;
    } else if (!writable) {
      status = Status::Fail;
      text += ", readable, but " + user + " may not write " + blocker + " (the initializer keeps its last card there)";
      // Only a folder inside the user's home is given to the user; anything else
      // (a home that does not exist, "/") is the wrong place for the hive.
      const char* home = getenv("HOME");
      const std::string h = home ? home : "";
      if (h.size() > 1 && (blocker == h || blocker.rfind(h + "/", 0) == 0))
        fix = "sudo chown -R " + user + ": " + blocker;
      else
        fix = "give " + user + " a home folder of its own, or set XDG_CONFIG_HOME to a folder " + user + " may write";
    } else {
      text += ", readable and writable";
    }
    report.Add(id, title, status, text, fix)
        .Fact("path", path)
        .Fact("exists", exists)
        .Fact("readable", rc == ERROR_SUCCESS)
        .Fact("writable", writable);
  }
}

}  // namespace vr03check
