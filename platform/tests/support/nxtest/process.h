// Test support shared by every room: a program started with its stdin from /dev/null and
// its stdout and stderr in files, waited for or stopped with SIGTERM.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace nxtest {

inline std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

class ChildProcess {
 public:
  // Starts program with args (without the program name); its output goes to outPath
  // and errPath.
  ChildProcess(const std::string& program, std::vector<std::string> args, const std::string& outPath,
               const std::string& errPath)
      : out_(outPath), err_(errPath) {
    args.insert(args.begin(), program);
    pid_ = fork();
    if (pid_ == 0) {
      int in = open("/dev/null", O_RDONLY);
      int o = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int e = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(in, 0);
      dup2(o, 1);
      dup2(e, 2);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // False once the program has ended (its status is then kept).
  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
    Ended(status);
    return false;
  }
  // Waits for the end; the exit status, or -1 when a signal ended the program.
  int Wait() {
    if (pid_ > 0) {
      int status = 0;
      waitpid(pid_, &status, 0);
      Ended(status);
    }
    return status_;
  }
  // SIGTERM, then Wait.
  int Stop() {
    if (pid_ > 0) kill(pid_, SIGTERM);
    return Wait();
  }
  std::string Out() const { return Slurp(out_); }
  std::string Err() const { return Slurp(err_); }

 private:
  void Ended(int status) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
  }
  std::string out_, err_;
  pid_t pid_ = -1;
  int status_ = -1;
};

// The sanitizers' own settings (suppression files, exit codes) as NAME=VALUE pairs, for
// each one set here: a scrubbed child built with a sanitizer must still run under the
// settings the test runner chose, or a known report fails a program a user never meets.
inline std::vector<std::string> SanitizerSettings() {
  std::vector<std::string> pairs;
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* value = getenv(name)) pairs.push_back(std::string(name) + "=" + value);
  return pairs;
}

// A user's command run as from a bare login shell: `env -i` with HOME (the folder given),
// PATH and LANG only, plus the sanitizers' settings and the NAME=VALUE pairs of `env`.
// Nothing else the test runner sets (QT_QPA_PLATFORM, NX_*, DISPLAY) reaches it unless
// named. Waits for its end.
struct UserRun {
  int status = -1;  // exit status; -1 when a signal ended it (an abort, a crash)
  std::string out, err;
};
inline UserRun RunAsUser(const std::string& home, const std::string& program, std::vector<std::string> args,
                         const std::vector<std::string>& env = {}) {
  std::vector<std::string> all = {"-i", "HOME=" + home, "PATH=/usr/local/bin:/usr/bin:/bin", "LANG=C.UTF-8"};
  const std::vector<std::string> sanitizers = SanitizerSettings();
  all.insert(all.end(), sanitizers.begin(), sanitizers.end());
  all.insert(all.end(), env.begin(), env.end());
  all.push_back(program);
  all.insert(all.end(), args.begin(), args.end());
  ChildProcess p("/usr/bin/env", std::move(all), home + "/.run-out", home + "/.run-err");
  UserRun r;
  r.status = p.Wait();
  r.out = p.Out();
  r.err = p.Err();
  return r;
}

}  // namespace nxtest
