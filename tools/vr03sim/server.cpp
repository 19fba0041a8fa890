// Sockets and the serving loop of the virtual recorder.
#include "server.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "virtualbt.h"

namespace vr03sim {
namespace {

// Bytes the recorder keeps for a host that does not read (about 10 s at 1000 Hz with
// three leads); records beyond are lost, as in the recorder's own buffer.
constexpr size_t kOutLimit = 64 * 1024;
constexpr int kStreamTickMs = 4;  // records are produced in batches at this interval
constexpr int kBlockTickMs = 50;  // checks of a pending short block write

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool FillUnixAddress(const std::string& path, sockaddr_un* sa) {
  *sa = sockaddr_un{};
  sa->sun_family = AF_UNIX;
  if (path.size() >= sizeof(sa->sun_path)) return false;
  std::memcpy(sa->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// True when something accepts connections at path.
bool Answers(const std::string& path) {
  sockaddr_un sa;
  if (!FillUnixAddress(path, &sa)) return false;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool answers = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
  if (fd >= 0) close(fd);
  return answers;
}

}  // namespace

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

Server::Server(const Options& options, const std::string& configPath, Firmware& firmware)
    : options_(options),
      configPath_(configPath),
      firmware_(firmware),
      signal_(options.signal),
      writer_(options.faults, options.signal.seed),
      bootNs_(NowNs()) {}

Server::~Server() {
  if (host_ >= 0) {
    close(host_);
    Log(NowNs(), "disconnect");
  }
  firmware_.commandLog = nullptr;
  if (log_) std::fclose(log_);
  if (rfcommListener_ >= 0) close(rfcommListener_);
  if (virtualListener_ >= 0) {
    close(virtualListener_);
    unlink(virtualPath_.c_str());  // switched off; the name file stays (a known device)
  }
}

void Server::Log(int64_t nowNs, const std::string& what) {
  if (!log_) return;
  std::fprintf(log_, "%.6f %s\n", (nowNs - bootNs_) / 1e9, what.c_str());
  std::fflush(log_);
}

bool Server::Open(std::string* error, std::string* notice) {
  if (!options_.commandLog.empty()) {
    log_ = std::fopen(options_.commandLog.c_str(), "we");
    if (!log_) {
      *error = Errno(("cannot write the command log " + options_.commandLog).c_str());
      return false;
    }
    firmware_.commandLog = [this](int64_t nowNs, const std::string& what) { Log(nowNs, what); };
  }
  std::string dir = options_.dir.empty() ? vkbth::VirtualBtDir() : options_.dir;
  if (!dir.empty() && !OpenVirtual(dir, error)) return false;
  std::string rfcommError;
  if (options_.rfcomm && !OpenRfcomm(&rfcommError)) {
    if (virtualListener_ < 0) {
      *error = "no transport to serve on: " + rfcommError + "; set NX_BT_DIR or --dir for the virtual one";
      return false;
    }
    *notice = "RFCOMM not available (" + rfcommError + "); serving the virtual transport only";
  }
  if (virtualListener_ < 0 && rfcommListener_ < 0) {
    *error = "no transport to serve on: set NX_BT_DIR or --dir, or allow RFCOMM";
    return false;
  }
  return true;
}

bool Server::OpenVirtual(const std::string& dir, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  virtualPath_ = vkbth::VirtualSocketPath(dir, options_.address);
  const std::string address = vkbth::BtAddressText(options_.address);
  if (Answers(virtualPath_)) {
    *error = "another recorder already serves " + address + " in " + dir;
    return false;
  }
  // Bound under a temporary name and renamed when listening, so that the socket
  // appears only when it accepts connections.
  const std::string temp = virtualPath_ + "." + std::to_string(getpid()) + ".tmp";
  sockaddr_un sa;
  if (!FillUnixAddress(temp, &sa)) {
    *error = "folder name too long for a socket: " + dir;
    return false;
  }
  unlink(temp.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || listen(fd, 4) != 0) {
    *error = Errno(("cannot listen at " + virtualPath_).c_str());
    if (fd >= 0) close(fd);
    unlink(temp.c_str());
    return false;
  }
  // The name is in place (written whole, then renamed) before the socket appears, so a
  // program that sees the device also sees its name.
  const std::string namePath = vkbth::VirtualNamePath(dir, options_.address);
  const std::string nameTemp = namePath + "." + std::to_string(getpid()) + ".tmp";
  {
    std::ofstream name(nameTemp, std::ios::trunc);
    name << options_.name << "\n";
    if (!name.flush()) {
      *error = "cannot write " + namePath;
      close(fd);
      unlink(temp.c_str());
      return false;
    }
  }
  if (rename(nameTemp.c_str(), namePath.c_str()) != 0 || rename(temp.c_str(), virtualPath_.c_str()) != 0) {
    *error = Errno(("cannot publish " + virtualPath_).c_str());
    close(fd);
    unlink(nameTemp.c_str());
    unlink(temp.c_str());
    return false;
  }
  virtualListener_ = fd;
  return true;
}

bool Server::OpenRfcomm(std::string* error) {
  int fd = socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, BTPROTO_RFCOMM);
  if (fd < 0) {
    *error = Errno("RFCOMM socket");
    return false;
  }
  sockaddr_rc sa{};
  sa.rc_family = AF_BLUETOOTH;
  sa.rc_bdaddr = bdaddr_t{};  // any local adapter
  sa.rc_channel = static_cast<uint8_t>(options_.channel);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || listen(fd, 1) != 0) {
    *error = Errno(("RFCOMM channel " + std::to_string(options_.channel)).c_str());
    close(fd);
    return false;
  }
  rfcommListener_ = fd;
  return true;
}

std::string Server::Description() const {
  std::string text = options_.name + " (" + vkbth::BtAddressText(options_.address) + ") serving";
  if (virtualListener_ >= 0) text += " at " + virtualPath_;
  if (rfcommListener_ >= 0) {
    text += virtualListener_ >= 0 ? " and" : "";
    text += " on RFCOMM channel " + std::to_string(options_.channel);
  }
  return text;
}

void Server::Accept(int listener) {
  int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  // One host at a time, as on the recorder's serial channel; none while out of reach.
  if (host_ >= 0 || NowNs() < unreachableUntilNs_) {
    close(fd);
    return;
  }
  host_ = fd;
  Log(NowNs(), "connect");
  out_.clear();
  outOffset_ = 0;
  Bytes greeting = Greeting(firmware_.Config());
  out_.insert(out_.end(), greeting.begin(), greeting.end());
}

void Server::DropHost() {
  if (host_ >= 0) {
    close(host_);
    Log(NowNs(), "disconnect");
  }
  host_ = -1;
  out_.clear();
  outOffset_ = 0;
  firmware_.Disconnect();
}

void Server::Apply(const Firmware::Effects& effects, int64_t now) {
  if (effects.configChanged) {
    std::string error;
    if (!SaveConfig(configPath_, firmware_.Config(), &error)) std::fprintf(stderr, "vr03sim: %s\n", error.c_str());
  }
  if (effects.started) {
    writer_.Restart();
    streamStartNs_ = now;
    produced_ = 0;
  }
}

// False when the host has gone.
bool Server::ReadHost() {
  BYTE buf[4096];
  for (;;) {
    ssize_t n = recv(host_, buf, sizeof(buf), MSG_DONTWAIT);
    if (n > 0) {
      const int64_t now = NowNs();
      Bytes reply;
      Apply(firmware_.Receive(buf, static_cast<size_t>(n), now, reply), now);
      out_.insert(out_.end(), reply.begin(), reply.end());
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    return false;  // closed or failed
  }
}

// Produces the records due by now: record k belongs to the time start + k / rate.
void Server::Produce(int64_t now) {
  if (!firmware_.Streaming()) return;
  const int rate = firmware_.RateHz();
  const int leads = firmware_.Leads();
  const long long due = (now - streamStartNs_) / 1000 * rate / 1'000'000;
  for (; produced_ < due; ++produced_) {
    const double t = (streamStartNs_ - bootNs_) / 1e9 + static_cast<double>(produced_) / rate;
    const Sample sample = signal_.At(t, firmware_.Config());
    if (out_.size() - outOffset_ >= kOutLimit) {
      ++overflow_;
      continue;
    }
    writer_.Append(sample, leads, out_);
  }
}

bool Server::Stalled(int64_t now) const {
  if (now < stallUntilNs_) return true;
  return firmware_.Streaming() && InStall(options_.faults, static_cast<double>(now - streamStartNs_) / 1e9);
}

void Server::LinkEvents(int64_t now) {
  const std::vector<Event>& events = options_.signal.events;
  for (; linkEvent_ < events.size(); ++linkEvent_) {
    const Event& e = events[linkEvent_];
    const int64_t atNs = bootNs_ + static_cast<int64_t>(e.atS * 1e9);
    if (atNs > now) break;
    const int64_t untilNs = atNs + static_cast<int64_t>(e.value * 1e9);
    if (e.kind == Event::Kind::Stall) {
      Log(now, "stall " + std::to_string(e.value));
      stallUntilNs_ = std::max(stallUntilNs_, untilNs);
    } else if (e.kind == Event::Kind::LinkDrop) {
      Log(now, "link-drop " + std::to_string(e.value));
      unreachableUntilNs_ = std::max(unreachableUntilNs_, untilNs);
      DropHost();
    }
  }
}

int Server::LinkTimeoutMs(int64_t now, int timeout) const {
  int64_t next = -1;
  const std::vector<Event>& events = options_.signal.events;
  for (size_t i = linkEvent_; i < events.size(); ++i) {
    if (events[i].OfLink()) {
      next = bootNs_ + static_cast<int64_t>(events[i].atS * 1e9);
      break;
    }
  }
  // The end of a stall lets pending replies go.
  if (stallUntilNs_ > now && (next < 0 || stallUntilNs_ < next)) next = stallUntilNs_;
  if (next < 0) return timeout;
  const int ms = static_cast<int>(std::max<int64_t>(0, (next - now) / 1'000'000 + 1));
  return timeout < 0 ? ms : std::min(timeout, ms);
}

void Server::Flush(int64_t now) {
  if (host_ < 0 || outOffset_ == out_.size() || Stalled(now)) return;
  while (outOffset_ < out_.size()) {
    ssize_t n = send(host_, out_.data() + outOffset_, out_.size() - outOffset_, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      outOffset_ += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) DropHost();
    break;
  }
  if (host_ >= 0 && outOffset_ == out_.size()) {
    out_.clear();
    outOffset_ = 0;
  } else if (outOffset_ > kOutLimit) {
    out_.erase(out_.begin(), out_.begin() + static_cast<ptrdiff_t>(outOffset_));
    outOffset_ = 0;
  }
}

bool Server::Run(int signalFd, std::string* error) {
  for (;;) {
    pollfd fds[4];
    int count = 0;
    fds[count++] = pollfd{signalFd, POLLIN, 0};
    const int virtualIndex = virtualListener_ >= 0 ? count : -1;
    if (virtualIndex >= 0) fds[count++] = pollfd{virtualListener_, POLLIN, 0};
    const int rfcommIndex = rfcommListener_ >= 0 ? count : -1;
    if (rfcommIndex >= 0) fds[count++] = pollfd{rfcommListener_, POLLIN, 0};
    const int hostIndex = host_ >= 0 ? count : -1;
    if (hostIndex >= 0) {
      short events = POLLIN;
      if (outOffset_ < out_.size() && !Stalled(NowNs())) events |= POLLOUT;
      fds[count++] = pollfd{host_, events, 0};
    }
    int timeout = firmware_.Streaming() ? kStreamTickMs : firmware_.BlockPending() ? kBlockTickMs : -1;
    timeout = LinkTimeoutMs(NowNs(), timeout);
    if (poll(fds, static_cast<nfds_t>(count), timeout) < 0) {
      if (errno == EINTR) continue;
      *error = Errno("poll");
      return false;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info;
      if (read(signalFd, &info, sizeof(info)) > 0) return true;  // SIGTERM or SIGINT
    }
    if (virtualIndex >= 0 && (fds[virtualIndex].revents & POLLIN)) Accept(virtualListener_);
    if (rfcommIndex >= 0 && (fds[rfcommIndex].revents & POLLIN)) Accept(rfcommListener_);
    if (hostIndex >= 0 && (fds[hostIndex].revents & (POLLIN | POLLHUP | POLLERR))) {
      if (!ReadHost()) DropHost();
    }
    const int64_t now = NowNs();
    LinkEvents(now);
    if (firmware_.BlockPending()) Apply(firmware_.Tick(now), now);
    Produce(now);
    Flush(now);
  }
}

}  // namespace vr03sim
