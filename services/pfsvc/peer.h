// The process at the other end of a connection: its credentials, a pidfd that keeps
// naming it, descriptors taken from it by number, and its file-system rights, which the
// service takes on while it opens what the client names.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "nxpal/windows.h"

namespace pfsvc {

class Peer {
 public:
  // The peer of a connected socket; false when it cannot be identified.
  bool Identify(int socket);
  ~Peer();

  pid_t Pid() const { return pid_; }
  uid_t Uid() const { return uid_; }
  gid_t Gid() const { return gid_; }

  // A duplicate of the peer's descriptor `fd` (its handle value). Win32 codes:
  // ERROR_INVALID_HANDLE (6) when it has no such descriptor, ERROR_ACCESS_DENIED (5) when
  // the system does not let us take it.
  DWORD TakeDescriptor(uint32_t fd, int* out) const;
  // Whether the peer's descriptor `fd` still is the open file that ownFd (taken from it
  // earlier) is; false also when the system cannot tell.
  bool SameFile(uint32_t fd, int ownFd) const;

 private:
  int pidfd_ = -1;
  pid_t pid_ = 0;
  pid_t self_ = 0;  // this process, as kcmp compares it with the peer
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

// While alive, the calling thread opens files with the peer's user, group and
// supplementary groups (its file-system ids; other threads are not affected). Only a
// service running as root changes anything; Active() tells whether the switch happened.
class ClientRights {
 public:
  explicit ClientRights(const Peer& peer);
  ~ClientRights();
  ClientRights(const ClientRights&) = delete;
  ClientRights& operator=(const ClientRights&) = delete;
  bool Ok() const { return ok_; }

 private:
  bool switched_ = false;
  bool ok_ = false;
  std::vector<gid_t> savedGroups_;
};

// True when the service may act for this peer at all: a root service for anyone, any
// other service only for its own user.
bool MayServe(const Peer& peer);
// True when the service runs with more rights than its clients (as root).
bool Privileged();

// Who may borrow a root service's rights for the raw volume of a removable medium: the
// members of one group (primary or supplementary), typically "plugdev". Set once at
// start, before any session begins; without a group nobody borrows.
void SetGrantGroup(gid_t gid, std::string name);
void ClearGrantGroup();
// True when the peer belongs to the grant group; `group` receives its name for the journal.
bool InGrantGroup(const Peer& peer, std::string* group);

// One line for the system journal on standard error; under systemd (JOURNAL_STREAM set)
// it carries the syslog priority as a "<N>" prefix. Priorities: 3 error, 4 warning,
// 5 notice, 6 info.
void Journal(int priority, const std::string& line);

}  // namespace pfsvc
