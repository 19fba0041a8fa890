// Client ends of named pipes: "\\.\pipe\NAME" is an AF_UNIX SOCK_SEQPACKET socket, one
// pipe message per packet. Waits go through NxPoll so that a worker whose end is
// requested leaves a blocked read or write with ERROR_OPERATION_ABORTED (995).
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "file/fileobj.h"
#include "nxpal/file.h"
#include "nxpal/sync.h"
#include "nxpal/text.h"
#include "nxpal/thread.h"

namespace nxpal {
namespace {

class PipeClient : public FileObject {
 public:
  explicit PipeClient(int fd) : fd_(fd) {}
  ~PipeClient() override { close(fd_); }

  DWORD Read(void* buf, DWORD n, DWORD* done) override {
    std::lock_guard<std::mutex> g(readLock_);
    *done = 0;
    if (restPos_ < rest_.size()) return TakeRest(buf, n, done);
    // A reply that comes within a few microseconds is taken without sleeping: waking a
    // sleeping thread costs more than the whole exchange with a fast server. Spinning
    // goes on only while replies keep coming that fast.
    const bool spin = spinHits_ > 0 || ++spinTries_ % 32 == 0;
    const ULONGLONG spinUntil = spin ? NxMonotonicTime100ns() + kSpin100ns : 0;
    bool slept = false;
    for (;;) {
      ssize_t len = recv(fd_, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
      if (len < 0 && errno == EINTR) continue;
      if (len < 0 && errno == EAGAIN) {
        if (spin && NxMonotonicTime100ns() < spinUntil) continue;
        spinHits_ = 0;
        slept = true;
        pollfd p{fd_, POLLIN, 0};
        if (NxPoll(&p, 1, -1) < 0) return GetLastError();
        continue;
      }
      if (spin && !slept && spinHits_ < 8) ++spinHits_;
      if (len < 0) return errno == ECONNRESET ? ERROR_BROKEN_PIPE : Win32FromErrno(errno);
      if (len == 0) {
        // An empty message, or the server's end closed: only the latter hangs up.
        pollfd p{fd_, POLLRDHUP, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP))) return ERROR_BROKEN_PIPE;
        [[maybe_unused]] ssize_t r = recv(fd_, nullptr, 0, MSG_DONTWAIT);
        return ERROR_SUCCESS;
      }
      if (static_cast<size_t>(len) <= n) {
        ssize_t r = recv(fd_, buf, n, MSG_DONTWAIT);
        if (r < 0) return Win32FromErrno(errno);
        *done = static_cast<DWORD>(r);
        return ERROR_SUCCESS;
      }
      // Larger than the buffer: keep the rest for the next read.
      rest_.resize(static_cast<size_t>(len));
      ssize_t r = recv(fd_, rest_.data(), rest_.size(), MSG_DONTWAIT);
      if (r < 0) {
        rest_.clear();
        return Win32FromErrno(errno);
      }
      restPos_ = 0;
      return TakeRest(buf, n, done);
    }
  }

  DWORD Write(const void* buf, DWORD n, DWORD* done) override {
    std::lock_guard<std::mutex> g(writeLock_);
    *done = 0;
    for (;;) {
      ssize_t r = send(fd_, buf, n, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (r >= 0) {
        *done = static_cast<DWORD>(r);
        return ERROR_SUCCESS;
      }
      if (errno == EINTR) continue;
      if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) return ERROR_NO_DATA;
      if (errno == EMSGSIZE) return ERROR_INVALID_PARAMETER;
      if (errno != EAGAIN) return Win32FromErrno(errno);
      pollfd p{fd_, POLLOUT, 0};
      if (NxPoll(&p, 1, -1) < 0) return GetLastError();
    }
  }

  DWORD Seek(LONGLONG, DWORD, ULONGLONG*) override { return ERROR_INVALID_FUNCTION; }
  DWORD Size(ULONGLONG*) override { return ERROR_INVALID_FUNCTION; }
  bool CanWrite() const override { return true; }

  void SetMessageMode(bool on) { message_ = on; }
  DWORD ServerPid(ULONG* pid) const {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return Win32FromErrno(errno);
    *pid = static_cast<ULONG>(cred.pid);
    return ERROR_SUCCESS;
  }

 private:
  DWORD TakeRest(void* buf, DWORD n, DWORD* done) {
    size_t left = rest_.size() - restPos_;
    size_t take = std::min<size_t>(left, n);
    std::memcpy(buf, rest_.data() + restPos_, take);
    restPos_ += take;
    *done = static_cast<DWORD>(take);
    if (restPos_ == rest_.size()) {
      rest_.clear();
      restPos_ = 0;
    }
    return take < left && message_ ? ERROR_MORE_DATA : ERROR_SUCCESS;
  }

  int fd_;
  std::mutex readLock_;  // guards rest_ and restPos_; one reader at a time
  std::mutex writeLock_;
  std::atomic<bool> message_{false};
  std::vector<uint8_t> rest_;  // the unread part of the last message
  size_t restPos_ = 0;
  int spinHits_ = 1;  // replies that came while spinning lately (guarded by readLock_)
  unsigned spinTries_ = 0;
  static constexpr ULONGLONG kSpin100ns = 1500;  // 150 microseconds
};

// The socket of a pipe name: in NX_PIPE_DIR when set; else the user's own service
// ($XDG_RUNTIME_DIR/veltrak/pipe) when it offers the name, else the system's.
std::string PipeSocketPath(const std::string& name) {
  const char* dir = getenv("NX_PIPE_DIR");
  if (dir && *dir) return std::string(dir) + "/" + name;
  if (const char* run = getenv("XDG_RUNTIME_DIR"); run && *run) {
    std::string user = std::string(run) + "/veltrak/pipe/" + name;
    struct stat st{};
    if (lstat(user.c_str(), &st) == 0) return user;
  }
  return "/run/veltrak/pipe/" + name;
}

}  // namespace

DWORD OpenPipeClient(const std::u16string& name, HANDLE* out) {
  if (name.empty() || name.find(u'/') != std::u16string::npos || name.find(u'\0') != std::u16string::npos)
    return ERROR_INVALID_NAME;
  std::string path = PipeSocketPath(nx::Utf16ToUtf8(name));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return ERROR_FILENAME_EXCED_RANGE;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = RaiseDescriptor(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd < 0) return Win32FromErrno(errno);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int e = errno;
    close(fd);
    switch (e) {
      case ENOENT:
      case ECONNREFUSED: return ERROR_FILE_NOT_FOUND;  // no server listening
      case EAGAIN: return ERROR_PIPE_BUSY;  // every instance busy (backlog full)
      default: return Win32FromErrno(e);
    }
  }
  *out = InsertHandle(fd, std::make_shared<PipeClient>(fd));
  return ERROR_SUCCESS;
}

}  // namespace nxpal

using namespace nxpal;

BOOL SetNamedPipeHandleState(HANDLE pipe, LPDWORD mode, LPDWORD maxCollectionCount, LPDWORD collectDataTimeout) {
  auto p = FindHandleAs<PipeClient>(pipe);
  DWORD err = ERROR_SUCCESS;
  if (!p) err = ERROR_INVALID_HANDLE;
  else if (maxCollectionCount || collectDataTimeout) err = ERROR_INVALID_PARAMETER;
  else if (mode && (*mode & ~PIPE_READMODE_MESSAGE) != 0) err = ERROR_INVALID_PARAMETER;
  else if (mode) p->SetMessageMode((*mode & PIPE_READMODE_MESSAGE) != 0);
  SetLastError(err);
  return err == ERROR_SUCCESS;
}

BOOL GetNamedPipeServerProcessId(HANDLE pipe, ULONG* serverProcessId) {
  auto p = FindHandleAs<PipeClient>(pipe);
  DWORD err = !p ? ERROR_INVALID_HANDLE : !serverProcessId ? ERROR_INVALID_PARAMETER : p->ServerPid(serverProcessId);
  SetLastError(err);
  return err == ERROR_SUCCESS;
}
