// The paged-file service: the well-known pipe, one thread per client, and the registry
// of live connections that a stop ends.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

namespace pfsvc {

// Connections in progress. Sessions add and remove their sockets; Stop shuts them all
// down so that every session thread leaves its wait and ends.
class Registry {
 public:
  // False when the service is stopping or full (the caller refuses the client).
  bool Enter(int socket);
  void Leave(int socket);
  void Stop();
  bool Stopping();
  // Waits up to ms for every session to end; true when none is left.
  bool WaitEmpty(int ms);

 private:
  std::mutex m_;  // guards everything below
  std::condition_variable cv_;
  std::set<int> sockets_;
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
  // Serves until stopFd becomes readable, then ends every session.
  void Run(int stopFd);

 private:
  std::string dir_;
  int lockFd_ = -1;
  int listenFd_ = -1;
  std::string socketPath_;
  Registry registry_;
};

// Serves one client from its connect header to its close; closes `socket`.
void ServeClient(int socket, const std::string& pipeDir, Registry& registry);

}  // namespace pfsvc
