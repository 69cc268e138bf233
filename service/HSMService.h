#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ServiceSession.h"
#include "ServiceSettings.h"

typedef struct ssl_ctx_st SSL_CTX;

// The HSM service "TQHSMService" of a client: it answers the watch requests of
// scans that run on other machines by putting the volume on this machine's
// watch list. One thread accepts connections; each connection has a thread of
// its own (at most MaxConnections), which carries one request and its answer
// at a time. Every handshake and read is bounded in time: a peer that sends
// nothing, too much, or half a frame loses its connection and never holds up
// another. Every request and its outcome go to the log.

namespace tqhsm {
namespace service {

class HSMService {
 public:
  explicit HSMService(ServiceSettings settings);
  ~HSMService();  // stops the service
  HSMService(const HSMService&) = delete;
  HSMService& operator=(const HSMService&) = delete;

  // Replaces the watch steps (tests, benchmarks); before Start.
  void setWatchFunction(ServiceSession::WatchFunction watch) { m_watch = std::move(watch); }

  // Loads the TLS material, binds the listening socket and starts accepting.
  // False with the reason when any of it fails.
  bool Start(std::string& error);
  // Stops accepting and ends the sessions: an exchange in progress is
  // finished (within RequestTimeout), an idle session or a handshake is ended
  // at once. Waits for every thread. Does nothing when not started.
  void Stop();

  // The port it listens on (the one the kernel chose for port 0).
  int port() const { return m_nPort; }
  int openConnections() const { return m_nOpen.load(); }
  // Connections turned away at MaxConnections since the start.
  uint64_t refusedConnections() const { return m_ulRefused.load(); }

  // The service's watch steps: the volume path must pass the checks of
  // VolumePath.h; then the local steps of startWatchingVolume run against this
  // machine's watch list, one request at a time. The error text, empty when
  // the volume is watched.
  std::string WatchVolume(const std::string& client, const std::string& volume);

 private:
  struct Worker {
    std::thread m_thread;
    std::atomic<bool> m_bDone{false};
  };

  void acceptLoop();
  void serve(int fd, std::string address, Worker* worker);
  void reapWorkers(bool all);

  ServiceSettings m_settings;
  ServiceSession::WatchFunction m_watch;
  SSL_CTX* m_pContext;
  int m_nListenFd;
  int m_nStopFd;  // an eventfd, readable once the service stops
  int m_nPort;
  bool m_bStarted;
  std::thread m_acceptThread;
  std::mutex m_workersMutex;
  std::list<std::unique_ptr<Worker>> m_lstWorkers;
  std::atomic<int> m_nOpen;
  std::atomic<uint64_t> m_ulRefused;
  std::mutex m_watchMutex;  // the watch steps run one at a time
  EvDebug m_log;
};

}  // namespace service
}  // namespace tqhsm
