// Windows Sockets subset over RFCOMM (BlueZ) and the virtual transport (Unix stream
// sockets in NX_BT_DIR), with abortable waits.
#include "socket.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "virtualbt.h"

namespace vkbth::ws {
namespace {

int Fd(SOCKET s) { return s > static_cast<SOCKET>(INT_MAX) ? -1 : static_cast<int>(s); }

int Fail(DWORD code) {
  SetLastError(code);
  return SOCKET_ERROR;
}
int FailErrno() { return Fail(WsaFromErrno(errno)); }

// Waits abortably until fd is ready for events; false with the last error set
// (ERROR_OPERATION_ABORTED (995) when the calling thread's end is requested). timeoutMs <
// 0 waits for ever; a timeout gives WSAETIMEDOUT.
bool WaitFor(int fd, short events, int timeoutMs = -1) {
  pollfd p{fd, events, 0};
  int n = NxPoll(&p, 1, timeoutMs);
  if (n < 0) return false;  // NxPoll set ERROR_OPERATION_ABORTED (995) or the poll failure
  if (n == 0) {
    SetLastError(WSAETIMEDOUT);
    return false;
  }
  return true;
}

bool SetNonBlocking(int fd, bool on) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

// connect() in non-blocking mode with an abortable wait for its completion; the socket
// is back in blocking mode afterwards. 0 or SOCKET_ERROR with the last error set.
int ConnectAbortable(int fd, const sockaddr* addr, socklen_t len) {
  if (!SetNonBlocking(fd, true)) return FailErrno();
  int result = 0;
  // A full listen queue of a Unix socket says EAGAIN instead of waiting: retry for a
  // while, as a blocking connect would wait.
  for (int busy = 0;; ++busy) {
    if (::connect(fd, addr, len) == 0) break;
    int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN && busy < 500) {
      if (!NxSleep(10)) {
        result = SOCKET_ERROR;
        break;
      }
      continue;
    }
    if (err == EAGAIN) {
      result = Fail(WSAETIMEDOUT);
      break;
    }
    if (err != EINPROGRESS) {
      result = Fail(WsaFromErrno(err));
      break;
    }
    if (!WaitFor(fd, POLLOUT)) {
      result = SOCKET_ERROR;
      break;
    }
    int soError = 0;
    socklen_t soLen = sizeof(soError);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &soLen) != 0) soError = errno;
    if (soError != 0) result = Fail(WsaFromErrno(soError));
    break;
  }
  SetNonBlocking(fd, false);
  return result;
}

int ConnectVirtual(int fd, BTH_ADDR address) {
  std::string dir = VirtualBtDir();
  if (dir.empty()) return Fail(WSAEHOSTDOWN);  // the virtual world was left meanwhile
  std::string path = VirtualSocketPath(dir, address);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (path.size() >= sizeof(sa.sun_path)) return Fail(WSAENAMETOOLONG);
  std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  return ConnectAbortable(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa));
}

int ConnectRfcomm(int fd, const SOCKADDR_BTH& name) {
  ULONG channel = name.port;
  if (channel == 0 && name.serviceClassId != GUID_NULL) {
    channel = FindRfcommChannel(name.btAddr, name.serviceClassId);
    if (channel == 0) channel = 1;
  }
  if (channel < 1 || channel > 30) return Fail(WSAEINVAL);
  sockaddr_rc sa{};
  sa.rc_family = AF_BLUETOOTH;
  for (int i = 0; i < 6; ++i) sa.rc_bdaddr.b[i] = static_cast<uint8_t>(name.btAddr >> (8 * i));
  sa.rc_channel = static_cast<uint8_t>(channel);
  return ConnectAbortable(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa));
}

}  // namespace

DWORD WsaFromErrno(int err) {
  switch (err) {
    case EINTR: return WSAEINTR;
    case EBADF:
    case ENOTSOCK: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN:
    case ENODEV: return WSAENETDOWN;  // no adapter
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;  // the peer went away
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN:
    case ENOENT: return WSAEHOSTDOWN;  // a virtual device that is switched off
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSAENETDOWN;
  }
}

SOCKET socket(int af, int type, int protocol) {
  DWORD refusal = af != AF_BTH                     ? WSAEAFNOSUPPORT
                  : type != NX_SOCK_STREAM          ? WSAESOCKTNOSUPPORT
                  : protocol != BTHPROTO_RFCOMM     ? WSAEPROTONOSUPPORT
                                                    : ERROR_SUCCESS;
  if (refusal != ERROR_SUCCESS) {
    SetLastError(refusal);
    return INVALID_SOCKET;
  }
  int fd = VirtualBtDir().empty() ? ::socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC, BTPROTO_RFCOMM)
                                  : ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    FailErrno();
    return INVALID_SOCKET;
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<SOCKET>(fd);
}

int connect(SOCKET s, const SOCKADDR_BTH* name, int namelen) {
  int fd = Fd(s);
  if (fd < 0) return Fail(WSAENOTSOCK);
  if (!name || namelen < static_cast<int>(sizeof(SOCKADDR_BTH))) return Fail(WSAEFAULT);
  if (name->addressFamily != AF_BTH) return Fail(WSAEAFNOSUPPORT);
  int domain = 0;
  socklen_t len = sizeof(domain);
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0) return FailErrno();
  int result = domain == AF_UNIX ? ConnectVirtual(fd, name->btAddr) : ConnectRfcomm(fd, *name);
  if (result == 0) SetLastError(ERROR_SUCCESS);
  return result;
}

int ioctlsocket(SOCKET s, long cmd, ULONG* argp) {
  int fd = Fd(s);
  if (fd < 0) return Fail(WSAENOTSOCK);
  if (cmd != static_cast<long>(FIONREAD)) return Fail(WSAEINVAL);
  if (!argp) return Fail(WSAEFAULT);
  int pending = 0;
  if (::ioctl(fd, FIONREAD, &pending) != 0) return FailErrno();
  *argp = pending < 0 ? 0 : static_cast<ULONG>(pending);
  return 0;
}

int recv(SOCKET s, char* buf, int len, int flags) {
  int fd = Fd(s);
  if (fd < 0) return Fail(WSAENOTSOCK);
  if (flags != 0) return Fail(WSAEOPNOTSUPP);
  if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
  for (;;) {
    ssize_t n = ::recv(fd, buf, static_cast<size_t>(len), MSG_DONTWAIT);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return FailErrno();
    if (!WaitFor(fd, POLLIN)) return SOCKET_ERROR;
  }
}

DWORD ConnectionLost(SOCKET s) {
  int fd = Fd(s);
  if (fd < 0) return WSAENOTSOCK;
  pollfd p{fd, static_cast<short>(POLLIN | POLLRDHUP), 0};
  if (::poll(&p, 1, 0) <= 0) return ERROR_SUCCESS;
  if (p.revents & POLLERR) {
    int soError = 0;
    socklen_t soLen = sizeof(soError);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &soLen) != 0) soError = errno;
    return soError ? WsaFromErrno(soError) : WSAECONNRESET;
  }
  if (p.revents & (POLLHUP | POLLRDHUP | POLLNVAL)) {
    // Bytes sent before the close are still to be read; only then is the link over.
    int pending = 0;
    if (::ioctl(fd, FIONREAD, &pending) == 0 && pending > 0) return ERROR_SUCCESS;
    return WSAECONNRESET;
  }
  return ERROR_SUCCESS;
}

int send(SOCKET s, const char* buf, int len, int flags) {
  int fd = Fd(s);
  if (fd < 0) return Fail(WSAENOTSOCK);
  if (flags != 0) return Fail(WSAEOPNOTSUPP);
  if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
  int done = 0;
  while (done < len) {
    ssize_t n = ::send(fd, buf + done, static_cast<size_t>(len - done), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      if (WaitFor(fd, POLLOUT)) continue;
      return done > 0 ? done : SOCKET_ERROR;
    }
    if (done > 0) return done;
    return FailErrno();
  }
  return done;
}

int shutdown(SOCKET s, int how) {
  int fd = Fd(s);
  if (fd < 0) return Fail(WSAENOTSOCK);
  int mode = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : how == SD_BOTH ? SHUT_RDWR : -1;
  if (mode < 0) return Fail(WSAEINVAL);
  if (::shutdown(fd, mode) != 0) return FailErrno();
  return 0;
}

int closesocket(SOCKET s) {
  int fd = Fd(s);
  if (fd < 0) return Fail(WSAENOTSOCK);
  if (::close(fd) != 0 && errno != EINTR) return FailErrno();
  return 0;
}

}  // namespace vkbth::ws
