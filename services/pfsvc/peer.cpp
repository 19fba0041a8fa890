// Peer identification and per-thread file-system rights of the paged-file service.
#include "peer.h"

#include <errno.h>
#include <linux/kcmp.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace pfsvc {
namespace {

// Raw system calls: the C library's declarations of these lack C linkage in C++.
int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }
int PidfdGetfd(int pidfd, int fd) { return static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0)); }

// Supplementary groups of a process from /proc (the pidfd keeps its number from being
// reused meanwhile).
bool GroupsOf(pid_t pid, std::vector<gid_t>* out) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Groups:", 0) != 0) continue;
    std::istringstream ls(line.substr(7));
    gid_t g;
    while (ls >> g) out->push_back(g);
    return true;
  }
  return false;
}

// The thread's own setgroups (the C library's wrapper changes every thread).
bool SetThreadGroups(const std::vector<gid_t>& groups) {
  return syscall(SYS_setgroups, groups.size(), groups.empty() ? nullptr : groups.data()) == 0;
}

}  // namespace

bool Peer::Identify(int socket) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.pid <= 0) return false;
  pid_ = cred.pid;
  self_ = getpid();
  uid_ = cred.uid;
  gid_ = cred.gid;
  // The pidfd of the very process that connected; older kernels: by its number.
  int fd = -1;
  len = sizeof fd;
  if (getsockopt(socket, SOL_SOCKET, SO_PEERPIDFD, &fd, &len) != 0) fd = PidfdOpen(pid_);
  pidfd_ = fd;
  return pidfd_ >= 0;
}

Peer::~Peer() {
  if (pidfd_ >= 0) close(pidfd_);
}

DWORD Peer::TakeDescriptor(uint32_t fd, int* out) const {
  if (fd > static_cast<uint32_t>(INT32_MAX)) return ERROR_INVALID_HANDLE;
  int got = PidfdGetfd(pidfd_, static_cast<int>(fd));
  if (got < 0) return errno == EPERM || errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE;
  *out = got;
  return ERROR_SUCCESS;
}

bool Peer::SameFile(uint32_t fd, int ownFd) const {
  if (fd > static_cast<uint32_t>(INT32_MAX)) return false;
  return syscall(SYS_kcmp, pid_, self_, KCMP_FILE, static_cast<int>(fd), ownFd) == 0;
}

bool Privileged() { return geteuid() == 0; }

bool MayServe(const Peer& peer) { return Privileged() || peer.Uid() == geteuid(); }

ClientRights::ClientRights(const Peer& peer) {
  if (!Privileged() || (peer.Uid() == 0 && peer.Gid() == 0)) {
    ok_ = true;  // same rights already (own user, or a root client of a root service)
    return;
  }
  std::vector<gid_t> groups;
  int n = getgroups(0, nullptr);
  savedGroups_.resize(n > 0 ? static_cast<size_t>(n) : 0);
  if (n > 0 && getgroups(n, savedGroups_.data()) != n) return;
  if (!GroupsOf(peer.Pid(), &groups)) return;
  switched_ = true;
  if (!SetThreadGroups(groups)) return;
  setfsgid(peer.Gid());
  setfsuid(peer.Uid());
  // setfsuid answers with the previous value: asking again tells whether it took.
  ok_ = static_cast<uid_t>(setfsuid(peer.Uid())) == peer.Uid() && static_cast<gid_t>(setfsgid(peer.Gid())) == peer.Gid();
}

ClientRights::~ClientRights() {
  if (!switched_) return;
  setfsuid(geteuid());
  setfsgid(getegid());
  SetThreadGroups(savedGroups_);
}

namespace {
// Written once by main before the first session; read by session threads afterwards.
bool g_hasGrantGroup = false;
gid_t g_grantGid = 0;
std::string g_grantName;
}  // namespace

void SetGrantGroup(gid_t gid, std::string name) {
  g_hasGrantGroup = true;
  g_grantGid = gid;
  g_grantName = std::move(name);
}

void ClearGrantGroup() {
  g_hasGrantGroup = false;
  g_grantName.clear();
}

bool InGrantGroup(const Peer& peer, std::string* group) {
  if (!g_hasGrantGroup) return false;
  *group = g_grantName;
  if (peer.Gid() == g_grantGid) return true;
  std::vector<gid_t> groups;
  return GroupsOf(peer.Pid(), &groups) && std::find(groups.begin(), groups.end(), g_grantGid) != groups.end();
}

void Journal(int priority, const std::string& line) {
  static std::mutex m;  // one whole line at a time from the session threads
  static const bool underSystemd = getenv("JOURNAL_STREAM") != nullptr;
  std::lock_guard lock(m);
  if (underSystemd)
    std::fprintf(stderr, "<%d>pfsvc: %s\n", priority, line.c_str());
  else
    std::fprintf(stderr, "pfsvc: %s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace pfsvc
