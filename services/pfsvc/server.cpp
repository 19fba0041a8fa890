// The service pipe's listener and the registry of live sessions.
#include "server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "pfwire.h"
#include "peer.h"

namespace pfsvc {

bool Registry::Begin() {
  std::lock_guard<std::mutex> g(m_);
  if (stopping_ || sessions_ >= kMaxSessions) return false;
  ++sessions_;
  return true;
}

void Registry::End() {
  std::lock_guard<std::mutex> g(m_);
  if (--sessions_ == 0) cv_.notify_all();
}

bool Registry::Add(int socket) {
  std::lock_guard<std::mutex> g(m_);
  if (stopping_) return false;
  sockets_.insert(socket);
  return true;
}

void Registry::Remove(int socket) {
  std::lock_guard<std::mutex> g(m_);
  sockets_.erase(socket);
}

void Registry::Stop() {
  std::lock_guard<std::mutex> g(m_);
  stopping_ = true;
  for (int fd : sockets_) shutdown(fd, SHUT_RDWR);  // wakes every session's wait
}

bool Registry::Stopping() {
  std::lock_guard<std::mutex> g(m_);
  return stopping_;
}

bool Registry::WaitEmpty(int ms) {
  std::unique_lock<std::mutex> lk(m_);
  return cv_.wait_for(lk, std::chrono::milliseconds(ms), [&] { return sessions_ == 0; });
}

Server::~Server() {
  if (listenFd_ >= 0) {
    close(listenFd_);
    unlink(socketPath_.c_str());
  }
  if (lockFd_ >= 0) close(lockFd_);
}

bool Server::Start(std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(dir_, ec);
  struct stat st{};
  if (stat(dir_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "cannot create the pipe folder " + dir_;
    return false;
  }
  // One service per folder: the second finds the lock taken.
  std::string lockPath = dir_ + "/.pfsvc.lock";
  lockFd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd_ < 0 || flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    *error = "another pfsvc serves " + dir_;
    return false;
  }
  socketPath_ = dir_ + "/" + pfwire::kPipeBaseName;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath_.size() >= sizeof addr.sun_path) {
    *error = "pipe folder path too long: " + dir_;
    return false;
  }
  std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  unlink(socketPath_.c_str());  // left by a service that died; the lock says none runs
  listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listenFd_, 64) != 0) {
    *error = "cannot listen on " + socketPath_ + ": " + std::strerror(errno);
    return false;
  }
  // A system service takes every local user (each is checked per connection); a
  // user's service only its own user.
  chmod(socketPath_.c_str(), Privileged() ? 0666 : 0600);
  return true;
}

bool Server::Run(int stopFd) {
  for (;;) {
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {stopFd, POLLIN, 0}};
    int n = poll(p, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (p[1].revents & (POLLIN | POLLHUP))) break;
    if (!(p[0].revents & POLLIN)) continue;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    if (!registry_.Begin()) {
      RefuseBusy(fd);
      continue;
    }
    try {
      std::thread([fd, this] { ServeClient(fd, dir_, registry_); }).detach();
    } catch (const std::system_error&) {
      close(fd);  // no thread to be had: the client sees its pipe break
      registry_.End();
    }
  }
  close(listenFd_);
  unlink(socketPath_.c_str());
  listenFd_ = -1;
  registry_.Stop();
  return registry_.WaitEmpty(5000);
}

}  // namespace pfsvc
