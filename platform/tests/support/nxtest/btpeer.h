// Test support for the link library and its callers: a private virtual Bluetooth world
// (NX_BT_DIR in a temporary folder) and scripted recorders that listen in it.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "nxtest/temp.h"
#include "virtualbt.h"

namespace bttest {

// NX_BT_DIR points to a fresh folder for the scope.
class VirtualWorld : public nxtest::TempEnvDir {
 public:
  VirtualWorld() : TempEnvDir("NX_BT_DIR", "nxtest-bt") {}
};

// A device switched on in the virtual world: a listening socket at its address.
class PeerDevice {
 public:
  PeerDevice(const std::string& dir, ULONGLONG address) : path_(vkbth::VirtualSocketPath(dir, address)) {
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, path_.c_str(), sizeof(sa.sun_path) - 1);
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
        listen(listener_, 8) != 0)
      throw std::runtime_error("cannot listen at " + path_);
  }
  ~PeerDevice() {
    for (int fd : accepted_) close(fd);
    if (listener_ >= 0) close(listener_);
    unlink(path_.c_str());
  }
  PeerDevice(const PeerDevice&) = delete;
  PeerDevice& operator=(const PeerDevice&) = delete;

  // The next connection, or -1 when none comes within timeoutMs. Owned by the peer.
  int Accept(int timeoutMs = 5000) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return -1;
    int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) accepted_.push_back(fd);
    return fd;
  }
  // Stops listening but leaves the socket file: a device that went away uncleanly.
  void CloseListener() {
    close(listener_);
    listener_ = -1;
  }

 private:
  std::string path_;
  int listener_ = -1;
  std::vector<int> accepted_;
};

// Milliseconds left until `until`, at least 0, for poll.
inline int MsLeft(std::chrono::steady_clock::time_point until) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// All of bytes within timeoutMs; false when the peer is gone or stops taking them.
inline bool SendAll(int fd, const std::vector<unsigned char>& bytes, int timeoutMs = 5000) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    pollfd p{fd, POLLOUT, 0};
    if (n == 0 || (errno != EAGAIN && errno != EINTR) || poll(&p, 1, MsLeft(until)) != 1) return false;
  }
  return true;
}

// Everything readable right now, without waiting; a peer that never stops sending ends
// the take after 2 s.
inline std::vector<unsigned char> TakeAvailable(int fd) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::vector<unsigned char> out;
  unsigned char buf[4096];
  while (std::chrono::steady_clock::now() < until) {
    ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

// Exactly count bytes within timeoutMs; fewer when time runs out.
inline std::vector<unsigned char> TakeExactly(int fd, size_t count, int timeoutMs = 5000) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<unsigned char> out;
  while (out.size() < count) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, MsLeft(until)) != 1) break;
    unsigned char buf[4096];
    ssize_t n = recv(fd, buf, std::min(sizeof(buf), count - out.size()), 0);
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

// True when the other end has closed: the socket reads end-of-file within timeoutMs
// (pending data is skipped; a peer that keeps sending is not closed).
inline bool PeerClosed(int fd, int timeoutMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, MsLeft(until)) != 1) return false;
    unsigned char buf[256];
    ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n == 0) return true;
    if (n < 0) return errno == ECONNRESET;
    if (MsLeft(until) == 0) return false;  // still sending at the deadline
  }
}

inline int OpenDescriptors() {
  int count = 0;
  DIR* d = opendir("/proc/self/fd");
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++count;
  }
  closedir(d);
  return count;
}

}  // namespace bttest
