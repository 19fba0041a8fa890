// The virtual recorder's connections: listeners on the virtual transport and on RFCOMM,
// one host at a time, the paced live stream and the storing of configuration changes.
#pragma once

#include <cstdio>
#include <string>

#include "firmware.h"
#include "options.h"
#include "synth.h"
#include "stream.h"

namespace vr03sim {

class Server {
 public:
  Server(const Options& options, const std::string& configPath, Firmware& firmware);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Opens the listeners. False with a reason when none could be opened or the virtual
  // address is served by another recorder. notice receives a line about a transport that
  // is not available (e.g. no Bluetooth adapter), or stays empty.
  bool Open(std::string* error, std::string* notice);
  // What Open made available, for the start-up line.
  std::string Description() const;
  // Serves until SIGTERM or SIGINT (blocked by the caller and read here). False with a
  // reason on a failure that ends serving.
  bool Run(int signalFd, std::string* error);

 private:
  bool OpenVirtual(const std::string& dir, std::string* error);
  bool OpenRfcomm(std::string* error);
  void Accept(int listener);
  void DropHost();
  bool ReadHost();
  void Apply(const Firmware::Effects& effects, int64_t now);
  void Produce(int64_t now);
  void Flush(int64_t now);
  bool Stalled(int64_t now) const;  // the link stalls (a fault): nothing is sent
  void LinkEvents(int64_t now);  // the scenario's stalls and drops that are due
  int LinkTimeoutMs(int64_t now, int timeout) const;  // shortened to the next link event
  void Log(int64_t nowNs, const std::string& what);  // a line of the command log, if kept

  const Options& options_;
  std::string configPath_;
  Firmware& firmware_;
  SignalSource signal_;
  StreamWriter writer_;

  int virtualListener_ = -1;
  std::string virtualPath_;
  int rfcommListener_ = -1;
  int host_ = -1;
  FILE* log_ = nullptr;  // the command log (--command-log), flushed after every line

  Bytes out_;  // bytes for the host not yet sent, from outOffset_
  size_t outOffset_ = 0;
  int64_t bootNs_ = 0;  // when the recorder was switched on
  int64_t streamStartNs_ = 0;
  long long produced_ = 0;  // records produced since the stream started
  long long overflow_ = 0;  // records lost because the host did not take them
  size_t linkEvent_ = 0;  // the next of options_.signal.events to look at for the link
  int64_t stallUntilNs_ = 0;  // a scenario's stall lasts until then
  int64_t unreachableUntilNs_ = 0;  // after a link drop, connections are refused until then
};

// Monotonic clock in nanoseconds.
int64_t NowNs();

}  // namespace vr03sim
