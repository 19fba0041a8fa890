// pfsvc: the paged-file service. Serves the paged-file pipe protocol on NX_PIPE_DIR
// (or --pipe-dir) in the foreground until SIGTERM or SIGINT; --daemon detaches.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "peer.h"
#include "server.h"

namespace {

const char kUsage[] =
    "Usage: pfsvc [--pipe-dir DIR] [--daemon] [--pid-file FILE] [--grant-group GROUP]\n"
    "\n"
    "The paged-file service: performs the file and raw volume I/O of paged files for\n"
    "programs of the same user (or, run as root, of every local user).\n"
    "\n"
    "  --pipe-dir DIR   folder of the service's pipes; default NX_PIPE_DIR, else\n"
    "                   /run/veltrak/pipe for root and $XDG_RUNTIME_DIR/veltrak/pipe\n"
    "                   for other users\n"
    "  --daemon         detach after the pipe is ready\n"
    "  --pid-file FILE  write the serving process's id into FILE\n"
    "  --grant-group GROUP\n"
    "                   run as root: the group (name or number) whose members may\n"
    "                   borrow the service's rights for removable media; default\n"
    "                   plugdev; \"\" lets nobody borrow them\n"
    "  --version        show the version\n"
    "  --help           show this text\n"
    "\n"
    "Files are opened with the client's own rights. Raw volumes (\\\\.\\E:) exist for\n"
    "removable media and images pinned with NX_DRIVES; run as root, the service opens\n"
    "them for clients of the grant group whose own rights do not reach the device,\n"
    "and says each grant and refusal on standard error (the journal under systemd).\n"
    "A volume whose file system is mounted is never written. Stops on SIGTERM or SIGINT.\n";

// Resolves the grant group by name or number; false with a reason when it does not exist.
bool SetUpGrantGroup(const std::string& name, std::string* error) {
  if (name.empty()) {
    pfsvc::ClearGrantGroup();
    return true;
  }
  char* end = nullptr;
  const unsigned long number = std::strtoul(name.c_str(), &end, 10);
  const struct group* g = *end == '\0' ? getgrgid(static_cast<gid_t>(number)) : getgrnam(name.c_str());
  if (!g) {
    *error = "no group " + name;
    return false;
  }
  pfsvc::SetGrantGroup(g->gr_gid, g->gr_name);
  return true;
}

int Fail(const std::string& reason) {
  std::fprintf(stderr, "pfsvc: %s\n", reason.c_str());
  return 1;
}

// Tells systemd (Type=notify) that the pipe is ready, when started by it.
void NotifyReady() {
  const char* path = getenv("NOTIFY_SOCKET");
  if (!path || (path[0] != '/' && path[0] != '@')) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  size_t len = strlen(path);
  if (len >= sizeof addr.sun_path) return;
  memcpy(addr.sun_path, path, len);
  if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const char msg[] = "READY=1";
  sendto(fd, msg, sizeof msg - 1, 0, reinterpret_cast<sockaddr*>(&addr),
         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len));
  close(fd);
}

std::string DefaultPipeDir() {
  if (const char* d = getenv("NX_PIPE_DIR"); d && *d) return d;
  if (pfsvc::Privileged()) return "/run/veltrak/pipe";
  if (const char* run = getenv("XDG_RUNTIME_DIR"); run && *run) return std::string(run) + "/veltrak/pipe";
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir, pidFile, grantGroup = "plugdev";
  bool daemonize = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("pfsvc %s\n", PFSVC_VERSION);
      return 0;
    } else if (a == "--daemon") {
      daemonize = true;
    } else if ((a == "--pipe-dir" || a == "--pid-file") && i + 1 < argc) {
      (a == "--pipe-dir" ? dir : pidFile) = argv[++i];
    } else if (a == "--grant-group" && i + 1 < argc) {
      grantGroup = argv[++i];
    } else {
      return Fail("unknown argument " + a + " (see --help)");
    }
  }
  if (dir.empty()) dir = DefaultPipeDir();
  if (dir.empty()) return Fail("no pipe folder: set --pipe-dir, NX_PIPE_DIR or XDG_RUNTIME_DIR");
  if (pfsvc::Privileged()) {
    std::string error;
    if (!SetUpGrantGroup(grantGroup, &error)) {
      // The service still serves files and what clients may open themselves.
      pfsvc::Journal(4, error + ": nobody may borrow the service's rights for removable media");
      pfsvc::ClearGrantGroup();
    }
  }

  // Signals arrive through a descriptor that the accept loop watches; every thread
  // started later inherits the blocked mask.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  pfsvc::Server server(dir);
  std::string error;
  if (!server.Start(&error)) return Fail(error);

  if (daemonize) {
    pid_t child = fork();
    if (child < 0) return Fail(std::string("fork failed: ") + strerror(errno));
    if (child > 0) {
      // The id is in the file before the starter learns that the service runs.
      if (!pidFile.empty()) {
        FILE* f = std::fopen(pidFile.c_str(), "w");
        if (!f) {
          kill(child, SIGTERM);
          return Fail("cannot write " + pidFile);
        }
        std::fprintf(f, "%d\n", static_cast<int>(child));
        std::fclose(f);
      }
      _exit(0);
    }
    setsid();
    if (chdir("/") != 0) return Fail("cannot change to /");
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      close(null);
    }
  }
  if (!pidFile.empty() && !daemonize) {
    if (FILE* f = std::fopen(pidFile.c_str(), "w")) {
      std::fprintf(f, "%d\n", static_cast<int>(getpid()));
      std::fclose(f);
    } else {
      return Fail("cannot write " + pidFile);
    }
  }
  int stopFd = signalfd(-1, &set, SFD_CLOEXEC);
  if (stopFd < 0) return Fail("signalfd failed");
  NotifyReady();
  bool clean = server.Run(stopFd);
  if (!pidFile.empty()) unlink(pidFile.c_str());
  if (!clean) _exit(0);  // a session still runs: leave without tearing down what it uses
  return 0;
}
