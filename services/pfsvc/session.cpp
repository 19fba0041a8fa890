// One client of the paged-file service: the open exchange on the service pipe (checked
// record by record), the connection pipe made for it alone, and its requests. The data
// of a transfer moves between the target and the client's block file, never through a
// pipe. Nothing a client sends or fails to send ends anything but its own session.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "blockview.h"
#include "peer.h"
#include "pfwire.h"
#include "records.h"
#include "server.h"

namespace pfsvc {
namespace {

constexpr int kHandshakeMs = 5000;  // each record of the open exchange must come within this
constexpr int kConnectMs = 10000;  // the client must open its connection pipe within this
constexpr size_t kChunk = 256 * 1024;  // transfer unit, and the step of progress reports
constexpr DWORD kOpenFlags = FILE_FLAG_WRITE_THROUGH | FILE_FLAG_RANDOM_ACCESS | FILE_FLAG_SEQUENTIAL_SCAN;

// Receives one message of at most cap bytes within timeoutMs (-1: no limit). Returns the
// message's real length (more than cap when it was too long and got cut), 0 when the
// peer has gone, -1 on time-out or error.
ssize_t ReceiveMessage(int fd, uint8_t* buf, size_t cap, int timeoutMs) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    ssize_t r = recv(fd, buf, cap, MSG_TRUNC | MSG_DONTWAIT);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (r < 0) return errno == ECONNRESET ? 0 : -1;
    return r;
  }
}

// The length of one message for a record parser: a cut one counts as too long, none as
// none at all.
size_t ReceiveLength(int fd, uint8_t* buf, size_t cap, int timeoutMs) {
  const ssize_t n = ReceiveMessage(fd, buf, cap, timeoutMs);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

// As ReceiveMessage with no time limit, but the next request of a busy client is taken
// without sleeping when it comes within a few microseconds (*spin says whether to try;
// it follows whether that worked last time).
ssize_t ReceiveRequest(int fd, uint8_t* buf, size_t cap, bool* spin) {
  if (*spin) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(40);
    do {
      ssize_t r = recv(fd, buf, cap, MSG_TRUNC | MSG_DONTWAIT);
      if (r >= 0) return r;
      if (errno != EAGAIN && errno != EINTR) return errno == ECONNRESET ? 0 : -1;
    } while (std::chrono::steady_clock::now() < until);
  }
  // Then one blocking receive, not a poll and a receive: the service's stop shuts the
  // socket down, which ends the wait as the client's going does.
  *spin = false;
  for (;;) {
    ssize_t r = recv(fd, buf, cap, MSG_TRUNC);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return errno == ECONNRESET ? 0 : -1;
    return r;
  }
}

bool SendAll(int fd, const uint8_t* buf, size_t n) {
  for (;;) {
    ssize_t r = send(fd, buf, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    return r == static_cast<ssize_t>(n);
  }
}

// Ends the service pipe's exchange: waits (briefly) for the client to close its end
// first, so that closing ours never discards the reply it has not read yet.
void Linger(int fd) {
  shutdown(fd, SHUT_WR);
  uint8_t sink[64];
  for (int waited = 0; waited < 1000; waited += 100) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) < 0) return;
    if (!(p.revents & (POLLIN | POLLHUP))) continue;
    ssize_t r;
    while ((r = recv(fd, sink, sizeof sink, MSG_DONTWAIT)) > 0) {
    }
    if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) return;
  }
}

bool IsEventFd(int fd) {
  char link[64] = {};
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
  return n > 0 && std::strcmp(link, "anon_inode:[eventfd]") == 0;
}

// "\\.\E:": the whole volume behind a drive letter.
bool IsRawVolumeName(const std::u16string& n) {
  return n.size() == 6 && n.compare(0, 4, u"\\\\.\\") == 0 && n[5] == u':' &&
         ((n[4] >= u'A' && n[4] <= u'Z') || (n[4] >= u'a' && n[4] <= u'z'));
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

class Session {
 public:
  Session(int socket, const std::string& dir, Registry& registry) : service_(socket), dir_(dir), registry_(registry) {}
  ~Session() {
    if (target_) CloseHandle(target_);
    if (conn_ >= 0) {
      registry_.Remove(conn_);
      close(conn_);
    }
  }

  void Run() {
    uint32_t id = 0;
    int listener = -1;
    std::string path;
    DWORD status = Open(&id, &listener, &path);
    pfwire::OpenReply reply{status, status == ERROR_SUCCESS ? id : 0, {0, 0}};
    uint8_t bytes[16];
    pfwire::Encode(reply, bytes);
    bool sent = SendAll(service_, bytes, sizeof bytes);
    if (status == ERROR_SUCCESS) {
      if (sent) conn_ = AcceptClient(listener);
      unlink(path.c_str());
      close(listener);
    }
    // A client on its connection pipe has read the reply; any other may still have to.
    if (conn_ < 0) Linger(service_);
    registry_.Remove(service_);
    close(service_);
    service_ = -1;
    if (conn_ >= 0 && registry_.Add(conn_)) Serve();
  }

 private:
  // The open exchange; a Win32 status for the reply. On success the connection pipe
  // listens at *path.
  DWORD Open(uint32_t* id, int* listener, std::string* path) {
    if (!peer_.Identify(service_)) return ERROR_ACCESS_DENIED;
    uint8_t head[sizeof(pfwire::ConnectHeader)];
    pfwire::ConnectHeader cd;
    DWORD err = ParseConnectHeader(head, ReceiveLength(service_, head, sizeof head, kHandshakeMs), &cd);
    if (err != ERROR_SUCCESS) return err;
    // Only the process at the other end may speak for itself.
    if (cd.processId != static_cast<uint32_t>(peer_.Pid())) return ERROR_ACCESS_DENIED;
    if (!OpenRequestSizeAllowed(cd.requestSize)) return ERROR_BAD_LENGTH;
    std::vector<uint8_t> bytes(cd.requestSize);
    OpenRequest rq;
    err = ParseOpenRequest(bytes.data(), ReceiveLength(service_, bytes.data(), bytes.size(), kHandshakeMs),
                           cd.requestSize, &rq);
    if (err != ERROR_SUCCESS) return err;
    if (!MayServe(peer_)) return ERROR_ACCESS_DENIED;
    // Reaching the client's event proves that its handles can be reached at all.
    Fd event;
    err = peer_.TakeDescriptor(cd.event, &event.fd);
    if (err != ERROR_SUCCESS) return err;
    if (!IsEventFd(event.fd)) return ERROR_INVALID_HANDLE;
    sink_ = rq.hasSink;
    access_ = rq.params[0];
    err = OpenTarget(rq.name, rq.params);
    if (err != ERROR_SUCCESS) return err;
    return Listen(id, listener, path);
  }

  // Opens what the client names with the client's own rights. Block devices are reached
  // only as the raw volume of a drive letter (removable media and pinned images); there
  // a root service lends its own rights when the client's do not suffice.
  DWORD OpenTarget(const std::u16string& name, const uint32_t params[4]) {
    if ((params[0] & (GENERIC_READ | GENERIC_WRITE)) == 0) return ERROR_INVALID_PARAMETER;
    const bool raw = IsRawVolumeName(name);
    DWORD err;
    {
      ClientRights rights(peer_);
      if (!rights.Ok()) return ERROR_ACCESS_DENIED;
      if (!raw && DriveLetterLess(name)) {
        struct stat st{};
        std::string native = nx::Utf16ToUtf8(name);
        if (stat(native.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) return ERROR_ACCESS_DENIED;
      }
      err = TryOpen(name, params);
    }
    if (err == ERROR_ACCESS_DENIED && raw && Privileged()) err = BorrowRights(name, params);
    return err;
  }

  // A root service opens a removable medium's raw volume for a client whose own rights
  // do not reach the device only when the client belongs to the grant group; each grant
  // and refusal goes to the journal.
  DWORD BorrowRights(const std::u16string& name, const uint32_t params[4]) {
    std::string group;
    const std::string who = "uid " + std::to_string(peer_.Uid()) + " (pid " + std::to_string(peer_.Pid()) + ")";
    const std::string what = nx::Utf16ToUtf8(name) + ((params[0] & GENERIC_WRITE) ? " for writing" : " for reading");
    if (!InGrantGroup(peer_, &group)) {
      Journal(5, "refused " + what + " to " + who +
                     (group.empty() ? ": no group may borrow the service's rights" : ": not in group " + group));
      return ERROR_ACCESS_DENIED;
    }
    DWORD err = TryOpen(name, params);
    if (err == ERROR_SUCCESS)
      Journal(5, "granted " + what + " to " + who + ", member of " + group);
    else
      Journal(4, "could not open " + what + " for " + who + ": error " + std::to_string(err));
    return err;
  }

  static bool DriveLetterLess(const std::u16string& n) {
    return !(n.size() >= 2 && n[1] == u':') && n.rfind(u"\\\\", 0) != 0;
  }

  DWORD TryOpen(const std::u16string& name, const uint32_t params[4]) {
    HANDLE h = CreateFileW(name.c_str(), params[0] & (GENERIC_READ | GENERIC_WRITE), params[1], nullptr,
                           OPEN_EXISTING, params[2] & kOpenFlags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    target_ = h;
    return ERROR_SUCCESS;
  }

  // The connection pipe: a fresh random id, a socket only the client's user may open.
  DWORD Listen(uint32_t* id, int* listener, std::string* path) {
    for (int attempt = 0; attempt < 16; ++attempt) {
      uint32_t candidate = 0;
      if (getrandom(&candidate, sizeof candidate, 0) != sizeof candidate) return ERROR_GEN_FAILURE;
      char name[64];
      snprintf(name, sizeof name, "%s_%08X", pfwire::kPipeBaseName, candidate);
      std::string p = dir_ + "/" + name;
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      if (p.size() >= sizeof addr.sun_path) return ERROR_FILENAME_EXCED_RANGE;
      std::memcpy(addr.sun_path, p.c_str(), p.size() + 1);
      int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      if (fd < 0) return ERROR_TOO_MANY_OPEN_FILES;
      if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        if (errno == EADDRINUSE) continue;
        return ERROR_GEN_FAILURE;
      }
      if ((Privileged() && chown(p.c_str(), peer_.Uid(), peer_.Gid()) != 0) || chmod(p.c_str(), 0600) != 0 ||
          listen(fd, 4) != 0) {
        unlink(p.c_str());
        close(fd);
        return ERROR_GEN_FAILURE;
      }
      *id = candidate;
      *listener = fd;
      *path = p;
      return ERROR_SUCCESS;
    }
    return ERROR_GEN_FAILURE;
  }

  // The client's connection, or -1 when it does not come in time. Strangers who find
  // the pipe first are turned away.
  int AcceptClient(int listener) {
    for (int waited = 0; waited < kConnectMs && !registry_.Stopping(); waited += 200) {
      pollfd p{listener, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ucred cred{};
      socklen_t len = sizeof cred;
      if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.pid == peer_.Pid()) {
        timeval tv{30, 0};  // a client that stops reading its replies cannot hold us for ever
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        return fd;
      }
      close(fd);
    }
    return -1;
  }

  bool SendAck(uint32_t status, uint32_t amount, uint32_t total) {
    uint8_t bytes[12];
    pfwire::Encode(pfwire::Ack{status, amount, total}, bytes);
    return SendAll(conn_, bytes, sizeof bytes);
  }

  void Serve() {
    bool spin = false;
    for (unsigned i = 0;; ++i) {
      uint8_t bytes[16];
      spin = spin || i % 32 == 0;
      ssize_t n = ReceiveRequest(conn_, bytes, sizeof bytes, &spin);
      if (n <= 0) return;  // gone, or the service stops
      pfwire::Request rq;
      if (ParseRequest(bytes, static_cast<size_t>(n), &rq) != ERROR_SUCCESS) {
        if (!SendAck(ERROR_BAD_LENGTH, 0, 0)) return;
        continue;
      }
      bool ok;
      switch (rq.op) {
        case pfwire::kClose: return;
        case pfwire::kRead:
        case pfwire::kWrite: ok = Transfer(rq.op == pfwire::kRead, rq.arg1, rq.arg2); break;
        case pfwire::kSeekBegin:
        case pfwire::kSeekCurrent:
        case pfwire::kSeekEnd: ok = Seek(rq.op - pfwire::kSeekBegin, rq.arg1, rq.arg2); break;
        default: ok = SendAck(ERROR_INVALID_FUNCTION, 0, 0); break;
      }
      if (!ok) return;
    }
  }

  bool Seek(DWORD method, uint32_t low, uint32_t high) {
    LONG hi = static_cast<LONG>(high);
    DWORD pos = SetFilePointer(target_, static_cast<LONG>(low), &hi, method);
    if (pos == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) return SendAck(GetLastError(), 0, 0);
    return SendAck(ERROR_SUCCESS, pos, static_cast<uint32_t>(hi));
  }

  // A read fills the start of the block's file from the target; a write takes the start
  // of the block's file to the target. The data moves between the target and a mapping
  // of the block, copied once; where the block cannot be mapped, or a mapped chunk
  // fails, it goes through the session's buffer. Reports follow each chunk but the last
  // when the client has a sink.
  bool Transfer(bool read, uint32_t count, uint32_t blockHandle) {
    if (count == 0) return SendAck(ERROR_INVALID_PARAMETER, 0, 0);
    if (!(access_ & (read ? GENERIC_READ : GENERIC_WRITE))) return SendAck(ERROR_ACCESS_DENIED, 0, count);
    DWORD err = TakeBlock(blockHandle, read);
    if (err != ERROR_SUCCESS) return SendAck(err, 0, count);
    Span span = Prepare(read, count);
    uint32_t done = 0;
    bool connected = true;
    while (done < count) {
      const DWORD want = static_cast<DWORD>(std::min<size_t>(kChunk, count - done));
      DWORD moved = 0;
      bool more = read ? ReadChunk(span, done, want, &moved, &err) : WriteChunk(span, done, want, &moved, &err);
      done += moved;
      if (!more || err != ERROR_SUCCESS || moved < want || done == count) break;
      if (sink_ && !SendAck(pfwire::kProgress, done, count)) {
        connected = false;
        break;
      }
    }
    // A block grown for the mapping ends where the bytes delivered end, as if they had
    // been written to it, unless it was longer before.
    if (span.grown && done < count) SetBlockLength(std::max<uint64_t>(span.length, done));
    return connected && SendAck(err, done, count);
  }

  // The client's block file behind its handle value, checked to be a regular file open
  // the way the transfer needs. The last few are kept, mapped, while the client's handles
  // still name the same open files, which saves taking and mapping them again for every
  // request (the card test alternates four blocks, each chunk and pass).
  DWORD TakeBlock(uint32_t handle, bool read) {
    BlockView* view = nullptr;
    for (BlockView& b : blocks_) {
      if (!b.Held() || b.Handle() != handle) continue;
      if (peer_.SameFile(handle, b.Fd())) {
        view = &b;
        break;
      }
      b.Reset();  // the handle value now names another file
    }
    if (!view) {
      Fd taken;
      DWORD err = peer_.TakeDescriptor(handle, &taken.fd);
      if (err != ERROR_SUCCESS) return err;
      struct stat st{};
      int mode = fcntl(taken.fd, F_GETFL);
      if (fstat(taken.fd, &st) != 0 || !S_ISREG(st.st_mode) || mode < 0) return ERROR_INVALID_HANDLE;
      view = &blocks_[0];  // a free place, or the one used longest ago
      for (BlockView& b : blocks_) {
        if (!b.Held()) {
          view = &b;
          break;
        }
        if (lastUse_[&b - blocks_.data()] < lastUse_[view - blocks_.data()]) view = &b;
      }
      view->Adopt(taken.fd, handle, mode & O_ACCMODE);
      taken.fd = -1;
    }
    lastUse_[view - blocks_.data()] = ++uses_;
    block_ = view;
    const int mode = block_->AccessMode();
    if (read ? mode == O_RDONLY : mode == O_WRONLY) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
  }

  // What a transfer knows of the block before it starts.
  struct Span {
    uint8_t* view = nullptr;  // the block's mapping, or null: the buffered way
    uint64_t length = 0;  // the block's length before the transfer
    bool grown = false;  // lengthened to the whole count so that the view may be filled
  };

  Span Prepare(bool read, uint32_t count) {
    Span s;
    struct stat st{};
    if (fstat(block_->Fd(), &st) != 0) return s;
    s.length = static_cast<uint64_t>(st.st_size);
    if (!read) {
      // Only the bytes the block holds are taken, and only those need mapping.
      if (s.length > 0) s.view = block_->Map(static_cast<size_t>(std::min<uint64_t>(count, s.length)), false);
      return s;
    }
    // The view is never touched past the file's end (that would be SIGBUS): a shorter
    // block is lengthened first, and cut back to what arrived at the end.
    if (block_->AccessMode() != O_RDWR) return s;
    if (s.length < count) {
      if (!SetBlockLength(count)) return s;
      s.grown = true;
    }
    s.view = block_->Map(count, true);
    if (!s.view && s.grown) {
      SetBlockLength(s.length);
      s.grown = false;
    }
    return s;
  }

  bool SetBlockLength(uint64_t length) { return ftruncate(block_->Fd(), static_cast<off_t>(length)) == 0; }

  // Each moves one chunk at `at` in the block and returns false when the transfer ends
  // there (end of the target or of the block, or an error in *err). A failed mapped
  // chunk is finished the buffered way, which then tells whether the block or the target
  // failed. A block that its client cuts short under the copy costs the view; a read
  // then takes the chunk again the buffered way, a write ends with the error of a block
  // that could not be read.
  bool ReadChunk(Span& s, uint32_t at, DWORD want, DWORD* moved, DWORD* err) {
    if (s.view) {
      DWORD got = 0;
      bool cut = false;
      BOOL ok = ThroughView(true, &s, at, want, &got, &cut);
      if (cut) {
        // What went to the lost pages is read again and written to the block, which
        // lengthens it again as a write does.
        LONG high = -1;
        if (got > 0 && SetFilePointer(target_, -static_cast<LONG>(got), &high, FILE_CURRENT) == INVALID_SET_FILE_POINTER &&
            GetLastError() != ERROR_SUCCESS) {
          *err = ERROR_WRITE_FAULT;
          return false;
        }
        return BufferedRead(at, want, moved, err);
      }
      *moved = got;
      if (ok) return got == want;
    }
    return BufferedRead(at + *moved, want - *moved, moved, err);
  }

  bool WriteChunk(Span& s, uint32_t at, DWORD want, DWORD* moved, DWORD* err) {
    if (s.view) {
      const DWORD have = s.length > at ? static_cast<DWORD>(std::min<uint64_t>(want, s.length - at)) : 0;
      if (have == 0) return false;  // the block holds no more
      DWORD put = 0;
      bool cut = false;
      BOOL ok = ThroughView(false, &s, at, have, &put, &cut);
      if (cut) {
        // Some of what went out came from the lost pages, not from the block.
        *err = ERROR_READ_FAULT;
        return false;
      }
      *moved = put;
      if (ok) return put == want;
    }
    return BufferedWrite(at + *moved, want - *moved, moved, err);
  }

  // ReadFile or WriteFile of n bytes between the target and the view at `at`, guarded:
  // *cut tells that the client cut its block short under the copy, which costs the view.
  BOOL ThroughView(bool read, Span* s, uint32_t at, DWORD n, DWORD* moved, bool* cut) {
    BOOL ok;
    {
      FaultGuard guard(s->view, block_->Mapped());
      ok = read ? ReadFile(target_, s->view + at, n, moved, nullptr) : WriteFile(target_, s->view + at, n, moved, nullptr);
      *cut = guard.Hit();
    }
    if (*cut) {
      block_->Unmap();
      s->view = nullptr;
    }
    return ok;
  }

  uint8_t* Buffer() {
    if (!buffer_) buffer_.reset(static_cast<uint8_t*>(std::aligned_alloc(4096, kChunk)));
    return buffer_.get();
  }

  // The buffered way: the target's bytes through the session's buffer into the block,
  // or the block's bytes through it to the target. Results as ReadChunk and WriteChunk.
  bool BufferedRead(uint32_t at, DWORD want, DWORD* moved, DWORD* err) {
    uint8_t* buf = Buffer();
    if (!buf) {
      *err = ERROR_NOT_ENOUGH_MEMORY;
      return false;
    }
    DWORD got = 0;
    if (!ReadFile(target_, buf, want, &got, nullptr)) {
      *err = GetLastError();
      return false;
    }
    size_t put = 0;
    while (put < got) {
      ssize_t r = pwrite(block_->Fd(), buf + put, got - put, static_cast<off_t>(at) + static_cast<off_t>(put));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        *err = r < 0 && errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
        *moved += static_cast<DWORD>(put);
        return false;
      }
      put += static_cast<size_t>(r);
    }
    *moved += got;
    return got == want;
  }

  bool BufferedWrite(uint32_t at, DWORD want, DWORD* moved, DWORD* err) {
    uint8_t* buf = Buffer();
    if (!buf) {
      *err = ERROR_NOT_ENOUGH_MEMORY;
      return false;
    }
    size_t got = 0;
    while (got < want) {
      ssize_t r = pread(block_->Fd(), buf + got, want - got, static_cast<off_t>(at) + static_cast<off_t>(got));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        *err = ERROR_READ_FAULT;
        return false;
      }
      if (r == 0) break;  // the block holds fewer bytes than asked for
      got += static_cast<size_t>(r);
    }
    if (got == 0) return false;
    DWORD put = 0;
    if (!WriteFile(target_, buf, static_cast<DWORD>(got), &put, nullptr)) *err = GetLastError();
    *moved += put;
    return *err == ERROR_SUCCESS && got == want;
  }

  struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
  };

  int service_;
  std::string dir_;
  Registry& registry_;
  Peer peer_;
  HANDLE target_ = nullptr;
  DWORD access_ = 0;
  bool sink_ = false;
  int conn_ = -1;
  std::unique_ptr<uint8_t, FreeDeleter> buffer_;
  // The block files last taken from the client, mapped; block_ is the one of the
  // transfer in progress (set by TakeBlock), lastUse_ orders them for replacement.
  static constexpr size_t kBlocksKept = 4;
  std::array<BlockView, kBlocksKept> blocks_;
  std::array<uint64_t, kBlocksKept> lastUse_{};
  uint64_t uses_ = 0;
  BlockView* block_ = &blocks_[0];
};

}  // namespace

void RefuseBusy(int socket) {
  uint8_t bytes[16];
  pfwire::Encode(pfwire::OpenReply{ERROR_PIPE_BUSY, 0, {0, 0}}, bytes);
  SendAll(socket, bytes, sizeof bytes);
  close(socket);
}

void ServeClient(int socket, const std::string& pipeDir, Registry& registry) {
  if (registry.Add(socket)) Session(socket, pipeDir, registry).Run();
  else close(socket);
  registry.End();
}

}  // namespace pfsvc
