// The paged-file service as a client finds it: its pipe, the process behind it, whose it
// is, its version and the group it lends its rights for card readers to.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "checks.h"
#include "nxpal/windows.h"
#include "pfwire.h"

namespace vr03check {
namespace {

constexpr char kTitle[] = "paged-file service";
constexpr char kSystemPipeDir[] = "/run/veltrak/pipe";

// The folder whose pipe a client of this process would use: NX_PIPE_DIR, else the user's
// own service when it offers the pipe there, else the system's (the platform's order).
std::string PipeDir() {
  if (const char* dir = getenv("NX_PIPE_DIR"); dir && *dir) return dir;
  if (const char* run = getenv("XDG_RUNTIME_DIR"); run && *run) {
    const std::string user = std::string(run) + "/veltrak/pipe";
    struct stat st{};
    if (lstat((user + "/" + pfwire::kPipeBaseName).c_str(), &st) == 0) return user;
  }
  return kSystemPipeDir;
}

// A process's arguments from /proc (readable for every user's processes).
std::vector<std::string> CommandLineOf(unsigned long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::vector<std::string> args;
  std::string arg;
  while (std::getline(in, arg, '\0')) args.push_back(arg);
  return args;
}

// The group the service lends its rights to: its --grant-group, or its default.
std::string GrantGroupOf(const std::vector<std::string>& args) {
  for (size_t i = 1; i + 1 < args.size(); ++i)
    if (args[i] == "--grant-group") return args[i + 1];
  return "plugdev";
}

// The service's version, from its own program: "pfsvc 1.0.0" -> "1.0.0"; empty when it
// cannot be told (a program that knows no --version, or one this user cannot run).
std::string VersionOf(unsigned long pid, const std::vector<std::string>& args) {
  std::string program = args.empty() ? std::string() : args[0];
  if (program.empty() || program[0] != '/') {
    char buf[4096];
    const ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf - 1);
    if (n <= 0) return {};
    program.assign(buf, static_cast<size_t>(n));
  }
  const ProgramRun run = RunProgram({program, "--version"}, 5000);
  if (run.status != 0 || run.out.rfind("pfsvc ", 0) != 0) return {};
  std::string version = run.out.substr(6);
  return version.substr(0, version.find('\n'));
}

}  // namespace

ServiceFacts CheckService(Report& report) {
  ServiceFacts facts;
  const std::string dir = PipeDir();
  const std::string socket = dir + "/" + pfwire::kPipeBaseName;
  const bool systemDir = dir == kSystemPipeDir;
  const char* start = systemDir ? "sudo systemctl enable --now pfsvc" : "systemctl --user enable --now pfsvc";

  HANDLE pipe = CreateFileW(pfwire::kServicePipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    std::string text;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      text = "not running: nothing answers on " + socket;
    else if (error == ERROR_PIPE_BUSY)
      text = "its pipe " + socket + " takes no more connections (the service is swamped or hangs)";
    else if (error == ERROR_ACCESS_DENIED)
      text = "its pipe " + socket + " is closed to " + UserName() + " (error 5)";
    else
      text = "its pipe " + socket + " cannot be reached: error " + std::to_string(error);
    report.Add("service", kTitle, Status::Fail, text, error == ERROR_PIPE_BUSY ? std::string(systemDir ? "sudo systemctl restart pfsvc" : "systemctl --user restart pfsvc") : start)
        .Fact("pipe", socket)
        .Fact("error", static_cast<long long>(error));
    return facts;
  }
  ULONG pid = 0;
  GetNamedPipeServerProcessId(pipe, &pid);
  CloseHandle(pipe);  // the service takes a connection that says nothing as a client gone

  // The pipe is made by the service, so its owner is the service's user.
  struct stat st{};
  facts.reachable = true;
  facts.uid = lstat(socket.c_str(), &st) == 0 ? st.st_uid : geteuid();
  facts.system = facts.uid == 0;
  const std::vector<std::string> args = pid ? CommandLineOf(pid) : std::vector<std::string>();
  if (facts.system) facts.grantGroup = GrantGroupOf(args);
  const std::string version = pid ? VersionOf(pid, args) : std::string();

  std::ostringstream text;
  if (facts.system) text << "the system service (root)";
  else if (facts.uid == geteuid()) text << UserName() << "'s own service";
  else text << "a service of uid " << facts.uid;
  text << ", pfsvc " << (version.empty() ? "of unknown version" : version);
  if (pid) text << ", process " << pid;
  text << ", pipe " << dir;
  Status status = Status::Ok;
  std::string fix;
  if (!facts.system && facts.uid != geteuid()) {
    text << "; it serves only its own user";
    status = Status::Fail;
    fix = "sudo systemctl enable --now pfsvc";
  }
  Verdict& v = report.Add("service", kTitle, status, text.str(), fix);
  v.Fact("pipe", socket).Fact("system", facts.system).Fact("uid", static_cast<long long>(facts.uid));
  if (pid) v.Fact("pid", static_cast<long long>(pid));
  if (!version.empty()) v.Fact("version", version);
  if (facts.system) v.Fact("grant_group", facts.grantGroup);
  return facts;
}

}  // namespace vr03check
