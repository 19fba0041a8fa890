// Test support: a real pfsvc process on a temporary pipe folder, started for a test and
// stopped with SIGTERM at its end; and blocks filled or read through their views.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "vkrt.h"

namespace svctest {

// Descriptors open in a process.
inline int OpenFdCount(pid_t pid) {
  int n = 0;
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

class ServiceProcess {
 public:
  // Starts pfsvc (by default the one in NX_TEST_BIN_DIR) on pipeDir, which also
  // becomes this process's NX_PIPE_DIR; the service inherits this process's
  // environment (NX_DRIVES among it).
  // `extra` arguments follow --pipe-dir; with `errFile` the service's standard error
  // goes to that file.
  explicit ServiceProcess(const std::string& pipeDir, std::string exe = DefaultProgram(),
                          std::vector<std::string> extra = {}, const std::string& errFile = {})
      : dir_(pipeDir) {
    setenv("NX_PIPE_DIR", pipeDir.c_str(), 1);
    std::vector<std::string> args{exe, "--pipe-dir", pipeDir};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      // Never outlive the test: an orphan would hold ctest's output pipe open.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (!errFile.empty()) {
        int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || dup2(fd, 2) < 0) _exit(126);
      }
      execv(exe.c_str(), argv.data());
      _exit(127);
    }
    if (!WaitReady()) {
      if (Alive()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
      pid_ = -1;
      throw std::runtime_error("pfsvc did not come up");
    }
  }
  ~ServiceProcess() { Stop(); }

  // SIGTERM and wait; the exit status (or -1 when killed by a signal).
  int Stop() {
    if (pid_ <= 0) return status_;
    kill(pid_, SIGTERM);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return status_;
  }
  pid_t Pid() const { return pid_; }
  bool Alive() const {
    if (pid_ <= 0) return false;
    int st = 0;
    return waitpid(pid_, &st, WNOHANG) == 0;
  }
  static std::string DefaultProgram() {
    const char* bin = getenv("NX_TEST_BIN_DIR");
    if (!bin) throw std::runtime_error("NX_TEST_BIN_DIR is set by ctest");
    return std::string(bin) + "/pfsvc";
  }
  std::string ServicePipePath() const { return dir_ + "/{CE653FE6-BE3D-4DC6-A7E8-A2E6B41DC5A4}"; }

 private:
  // Until the service pipe accepts a connection (at most 30 s on a loaded machine);
  // false at once when the service exits.
  bool WaitReady() {
    for (int i = 0; i < 3000; ++i) {
      if (!Alive()) return false;
      int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::string p = ServicePipePath();
      std::memcpy(addr.sun_path, p.c_str(), p.size() + 1);
      bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
      close(fd);
      if (ok) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::string dir_;
  pid_t pid_ = -1;
  int status_ = -1;
};

// Bytes of a block: its view after a lock of size 0 (empty when the block is empty).
inline std::string BlockBytes(HANDLE block) {
  LPVOID view = nullptr;
  if (vkSMLock(block, 0, &view) != 0) return {};
  std::string s(static_cast<const char*>(view), vkSMGetSize(block));
  vkSMUnlock(block);
  return s;
}

// Replaces the first bytes of a block with data (the block grows to at least its size).
inline void FillBlock(HANDLE block, const std::string& data) {
  LPVOID view = nullptr;
  if (vkSMLock(block, static_cast<DWORD>(data.size()), &view) != 0) throw std::runtime_error("lock failed");
  std::memcpy(view, data.data(), data.size());
  vkSMUnlock(block);
}

}  // namespace svctest
