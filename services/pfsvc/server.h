// The paged-file service: the well-known pipe, one thread per client, and the registry
// of live connections that a stop ends.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

namespace pfsvc {

// Sessions in progress and their sockets. Stop shuts every socket down so that each
// session thread leaves its wait and ends; the service ends after the last one.
class Registry {
 public:
  // A session starts; false when the service is stopping or full (refuse the client).
  bool Begin();
  // The session's thread is done with everything, the registry included.
  void End();
  // Sockets that a stop must wake; Add fails once the service is stopping.
  bool Add(int socket);
  void Remove(int socket);
  void Stop();
  bool Stopping();
  // Waits up to ms for every session to end; true when none is left.
  bool WaitEmpty(int ms);

 private:
  std::mutex m_;  // guards everything below
  std::condition_variable cv_;
  std::set<int> sockets_;
  size_t sessions_ = 0;
  bool stopping_ = false;
};

inline constexpr size_t kMaxSessions = 128;

class Server {
 public:
  explicit Server(std::string pipeDir) : dir_(std::move(pipeDir)) {}
  ~Server();
  // Creates the folder, takes its lock and binds the service pipe. False with a
  // one-line reason.
  bool Start(std::string* error);
  // Serves until stopFd becomes readable, then ends every session; false when some
  // session did not end in time (the process must then leave without cleaning up).
  bool Run(int stopFd);

 private:
  std::string dir_;
  int lockFd_ = -1;
  int listenFd_ = -1;
  std::string socketPath_;
  Registry registry_;
};

// Serves one client from its connect header to its close; closes `socket` and ends the
// session that the caller began in the registry.
void ServeClient(int socket, const std::string& pipeDir, Registry& registry);
// Refuses a client when the service is full; closes `socket`.
void RefuseBusy(int socket);

}  // namespace pfsvc
