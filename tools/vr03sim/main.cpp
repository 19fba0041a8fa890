// vr03sim: the virtual VR-03 recorder (see --help).
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "options.h"
#include "server.h"

namespace {

int Fail(int status, const std::string& reason) {
  std::fprintf(stderr, "vr03sim: %s\n", reason.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vr03sim;
  Options options;
  std::string error;
  if (!ParseOptions(argc - 1, argv + 1, &options, &error)) return Fail(2, error);
  if (options.help) {
    std::fputs(HelpText(), stdout);
    return 0;
  }

  // The recorder's memory: the stored block, or the factory one; options change it.
  const std::string configPath = options.configPath.empty() ? DefaultConfigPath(options.address) : options.configPath;
  RecorderConfig config = FactoryConfig(options.address);
  bool stored = false;
  if (!LoadConfig(configPath, &config, &stored, &error)) return Fail(1, error);
  if (options.leads) config.leads = static_cast<BYTE>(options.leads);
  if (options.rateHz) config.rateCode = static_cast<BYTE>(options.rateHz / 250);
  if (options.version >= 0) config.version = static_cast<BYTE>(options.version);
  if ((!stored || options.leads || options.rateHz || options.version >= 0) && !SaveConfig(configPath, config, &error))
    return Fail(1, error);

  // SIGTERM and SIGINT end serving through the loop; a gone host is an error, not a signal.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  signal(SIGPIPE, SIG_IGN);
  int signalFd = signalfd(-1, &stops, SFD_CLOEXEC);
  if (signalFd < 0) return Fail(1, "cannot watch for signals");

  Firmware firmware(config);
  Server server(options, configPath, firmware);
  std::string notice;
  if (!server.Open(&error, &notice)) return Fail(1, error);
  if (!notice.empty()) std::fprintf(stderr, "vr03sim: %s\n", notice.c_str());
  std::printf("vr03sim: %s\n", server.Description().c_str());
  std::fflush(stdout);
  if (!server.Run(signalFd, &error)) return Fail(1, error);
  return 0;
}
