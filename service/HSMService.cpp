#include "HSMService.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "HSMLowLevel.h"
#include "HSMWatch.h"
#include "ServiceProtocol.h"
#include "TlsChannel.h"
#include "VolumePath.h"
#include "WatchVolume.h"

namespace tqhsm {
namespace service {

namespace {

const char* const kTag = "TQHSMService";
// How long a connection that is being ended may still deliver its last answer.
const int kLingerMs = 1000;

std::string addressText(const struct sockaddr_storage& addr) {
  char host[INET6_ADDRSTRLEN] = "?";
  int port = 0;
  if (addr.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const struct sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    port = ntohs(in->sin_port);
    return std::string(host) + ":" + std::to_string(port);
  }
  if (addr.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const struct sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    port = ntohs(in6->sin6_port);
  }
  return "[" + std::string(host) + "]:" + std::to_string(port);
}

// Waits until the stop descriptor is readable or the time is over.
void pause(int stopFd, int ms) {
  struct pollfd p = {stopFd, POLLIN, 0};
  poll(&p, 1, ms);
}

}  // namespace

HSMService::HSMService(ServiceSettings settings)
    : m_settings(std::move(settings)),
      m_pContext(nullptr),
      m_nListenFd(-1),
      m_nStopFd(-1),
      m_nPort(0),
      m_bStarted(false),
      m_nOpen(0),
      m_ulRefused(0) {}

HSMService::~HSMService() { Stop(); }

bool HSMService::Start(std::string& error) {
  if (m_bStarted) return true;
  std::string reason;
  m_pContext = NewTlsContext(true, m_settings.m_identity, reason);
  if (!m_pContext) {
    error = "TLS: " + reason;
    return false;
  }
  m_nStopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_nStopFd < 0) {
    error = std::string("cannot make the stop event: ") + strerror(errno);
    FreeTlsContext(m_pContext);
    m_pContext = nullptr;
    return false;
  }

  const std::string where = (m_settings.m_sListenAddress.find(':') != std::string::npos
                                 ? "[" + m_settings.m_sListenAddress + "]"
                                 : m_settings.m_sListenAddress) +
                            ":" + std::to_string(m_settings.m_nPort);
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  struct addrinfo* list = nullptr;
  int rc = getaddrinfo(m_settings.m_sListenAddress.c_str(),
                       std::to_string(m_settings.m_nPort).c_str(), &hints, &list);
  if (rc != 0) {
    error = "cannot listen on " + where + ": " + gai_strerror(rc);
  } else {
    int fd = socket(list->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, list->ai_addr, list->ai_addrlen) != 0 || listen(fd, 128) != 0) {
      error = "cannot listen on " + where + ": " + strerror(errno);
      if (fd >= 0) close(fd);
    } else {
      m_nListenFd = fd;
    }
    freeaddrinfo(list);
  }
  if (m_nListenFd < 0) {
    close(m_nStopFd);
    m_nStopFd = -1;
    FreeTlsContext(m_pContext);
    m_pContext = nullptr;
    return false;
  }
  struct sockaddr_storage bound;
  socklen_t len = sizeof bound;
  if (getsockname(m_nListenFd, reinterpret_cast<struct sockaddr*>(&bound), &len) == 0) {
    const std::string text = addressText(bound);
    m_nPort = std::stoi(text.substr(text.rfind(':') + 1));
  }

  m_bStarted = true;
  m_acceptThread = std::thread(&HSMService::acceptLoop, this);
  m_log.DebugLvl(kTag, 0,
                 "%s listening on %s:%d (TLS 1.3, certificates of %s); peers: %s; allowed roots: "
                 "%s; state directory %s; at most %d sessions.",
                 kServiceName, m_settings.m_sListenAddress.c_str(), m_nPort,
                 m_settings.m_identity.m_sCAFile.c_str(),
                 m_settings.m_vecAllowedPeers.empty()
                     ? "any certificate of that CA"
                     : JoinList(m_settings.m_vecAllowedPeers).c_str(),
                 JoinList(m_settings.m_vecAllowedRoots).c_str(), HSMStateDirectory().c_str(),
                 m_settings.m_nMaxConnections);
  return true;
}

void HSMService::Stop() {
  if (!m_bStarted) return;
  uint64_t one = 1;
  while (write(m_nStopFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
  if (m_acceptThread.joinable()) m_acceptThread.join();
  close(m_nListenFd);
  m_nListenFd = -1;
  int open = m_nOpen.load();
  if (open > 0) m_log.DebugLvl(kTag, 0, "Stopping: waiting for %d session(s) to end.", open);
  reapWorkers(true);
  close(m_nStopFd);
  m_nStopFd = -1;
  FreeTlsContext(m_pContext);
  m_pContext = nullptr;
  m_bStarted = false;
  m_log.DebugLvl(kTag, 0, "%s stopped.", kServiceName);
}

void HSMService::reapWorkers(bool all) {
  std::list<std::unique_ptr<Worker>> finished;
  {
    std::lock_guard<std::mutex> lock(m_workersMutex);
    for (auto it = m_lstWorkers.begin(); it != m_lstWorkers.end();) {
      if (all || (*it)->m_bDone.load()) {
        finished.push_back(std::move(*it));
        it = m_lstWorkers.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& w : finished)
    if (w->m_thread.joinable()) w->m_thread.join();
}

void HSMService::acceptLoop() {
  using Clock = std::chrono::steady_clock;
  Clock::time_point lastRefusalLog;
  uint64_t refusalsNotLogged = 0;
  while (true) {
    struct pollfd fds[2] = {{m_nListenFd, POLLIN, 0}, {m_nStopFd, POLLIN, 0}};
    int n = poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      m_log.Error(kTag, "Cannot wait for connections: %s", strerror(errno));
      pause(m_nStopFd, 100);
      continue;
    }
    if (fds[1].revents) break;
    if (!(fds[0].revents & POLLIN)) continue;
    struct sockaddr_storage addr;
    socklen_t len = sizeof addr;
    int fd = accept4(m_nListenFd, reinterpret_cast<struct sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      int err = errno;
      if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED) continue;
      m_log.DebugLvl(kTag, -1, "Cannot accept a connection: %s", strerror(err));
      pause(m_nStopFd, 100);  // out of descriptors or memory: let sessions end first
      continue;
    }
    std::string address = addressText(addr);
    reapWorkers(false);
    if (m_nOpen.load() >= m_settings.m_nMaxConnections) {
      ++m_ulRefused;
      close(fd);
      // A flood of connections must not flood the log too.
      Clock::time_point now = Clock::now();
      if (now - lastRefusalLog >= std::chrono::seconds(1)) {
        m_log.DebugLvl(kTag, -1,
                       "Connection from %s turned away: %d sessions are open (MaxConnections)%s.",
                       address.c_str(), m_settings.m_nMaxConnections,
                       refusalsNotLogged ? (", " + std::to_string(refusalsNotLogged) +
                                            " more since the last "
                                            "such message")
                                               .c_str()
                                         : "");
        lastRefusalLog = now;
        refusalsNotLogged = 0;
      } else {
        ++refusalsNotLogged;
      }
      continue;
    }
    std::unique_ptr<Worker> worker(new Worker());
    Worker* w = worker.get();
    ++m_nOpen;
    try {
      w->m_thread = std::thread(&HSMService::serve, this, fd, address, w);
    } catch (...) {
      --m_nOpen;
      close(fd);
      m_log.DebugLvl(kTag, -1, "Connection from %s turned away: no thread for it.",
                     address.c_str());
      continue;
    }
    std::lock_guard<std::mutex> lock(m_workersMutex);
    m_lstWorkers.push_back(std::move(worker));
  }
}

void HSMService::serve(int fd, std::string address, Worker* worker) {
  struct Finish {
    HSMService* service;
    Worker* worker;
    ~Finish() {
      --service->m_nOpen;
      worker->m_bDone.store(true);
    }
  } finish{this, worker};

  const ServiceSettings& s = m_settings;
  TlsChannel channel;
  std::string error;
  if (!channel.Open(m_pContext, fd, true, "", error)) {
    m_log.DebugLvl(kTag, -1, "Connection from %s: %s", address.c_str(), error.c_str());
    return;
  }
  TlsChannel::Status status =
      channel.Handshake(DeadlineIn(s.m_nHandshakeTimeout), m_nStopFd, error);
  if (status != TlsChannel::eOk) {
    if (status == TlsChannel::eTimedOut)
      m_log.DebugLvl(kTag, -1, "No TLS handshake from %s within %d s; connection closed.",
                     address.c_str(), s.m_nHandshakeTimeout);
    else if (status != TlsChannel::eStopped)
      m_log.DebugLvl(kTag, -1, "Connection from %s refused: %s.", address.c_str(), error.c_str());
    // The peer learns why from the alert, if the connection lets it arrive.
    if (status != TlsChannel::eStopped) channel.Close(kLingerMs);
    return;
  }
  std::string name = channel.PeerCommonName();
  std::string peer = (name.empty() ? channel.PeerSubject() : name) + " at " + address;

  if (!s.m_vecAllowedPeers.empty()) {
    bool allowed = false;
    for (const std::string& p : s.m_vecAllowedPeers)
      allowed = allowed || channel.PeerCertificateMatches(p);
    if (!allowed) {
      m_log.DebugLvl(kTag, -1,
                     "Session of %s refused: certificate %s is not among the allowed "
                     "peers (%s).",
                     peer.c_str(), channel.PeerSubject().c_str(),
                     JoinList(s.m_vecAllowedPeers).c_str());
      std::string answer = ServiceSession::ErrorFrame(
          "the certificate " + channel.PeerSubject() + " is not among the allowed peers of " +
          kServiceName + " (key AllowedPeers of section [" + kServiceSection + "] there)");
      channel.Write(answer.data(), answer.size(), DeadlineIn(s.m_nRequestTimeout), error);
      channel.Close(kLingerMs);
      return;
    }
  }

  m_log.DebugLvl(kTag, 1, "Session of %s opened.", peer.c_str());
  ServiceSession::WatchFunction watch =
      m_watch ? m_watch : [this](const std::string& client, const std::string& volume) {
        return WatchVolume(client, volume);
      };
  ServiceSession session(peer, watch);
  std::string body;
  while (true) {
    unsigned char head[proto::kHeaderSize];
    status = channel.Read(head, 1, DeadlineIn(s.m_nIdleTimeout), m_nStopFd, error);
    if (status == TlsChannel::eTimedOut) {
      m_log.DebugLvl(kTag, 1, "Session of %s idle for %d s: closed.", peer.c_str(),
                     s.m_nIdleTimeout);
      break;
    }
    if (status == TlsChannel::eStopped) {
      m_log.DebugLvl(kTag, 1, "Session of %s closed: the service stops.", peer.c_str());
      break;
    }
    if (status != TlsChannel::eOk) {
      m_log.DebugLvl(kTag, status == TlsChannel::eClosed ? 1 : -1, "Session of %s ended: %s.",
                     peer.c_str(), error.c_str());
      break;
    }
    // Once a request has begun, all of it must arrive in time.
    TlsDeadline deadline = DeadlineIn(s.m_nRequestTimeout);
    status = channel.Read(head + 1, sizeof head - 1, deadline, -1, error);
    proto::FrameHeader header;
    if (status == TlsChannel::eOk && !proto::DecodeHeader(head, header, error)) {
      m_log.DebugLvl(kTag, -1, "Session of %s: protocol error: %s; closed.", peer.c_str(),
                     error.c_str());
      std::string answer = ServiceSession::ErrorFrame("protocol error: " + error);
      channel.Write(answer.data(), answer.size(), deadline, error);
      channel.Close(kLingerMs);
      break;
    }
    if (status == TlsChannel::eOk && header.m_nLength) {
      body.assign(header.m_nLength, '\0');
      status = channel.Read(&body[0], body.size(), deadline, -1, error);
    } else {
      body.clear();
    }
    if (status != TlsChannel::eOk) {
      if (status == TlsChannel::eTimedOut)
        m_log.DebugLvl(kTag, -1, "Session of %s: a request was not complete within %d s; closed.",
                       peer.c_str(), s.m_nRequestTimeout);
      else
        m_log.DebugLvl(kTag, -1, "Session of %s ended inside a request: %s.", peer.c_str(),
                       error.c_str());
      break;
    }
    std::string answer;
    bool close = false;
    session.OnFrame(header.m_nType, body.data(), body.size(), answer, close);
    status = channel.Write(answer.data(), answer.size(), DeadlineIn(s.m_nRequestTimeout), error);
    if (status != TlsChannel::eOk) {
      m_log.DebugLvl(kTag, -1, "Session of %s: cannot answer: %s; closed.", peer.c_str(),
                     error.c_str());
      break;
    }
    if (close) {
      channel.Close(kLingerMs);
      break;
    }
  }
  channel.Close();
}

std::string HSMService::WatchVolume(const std::string&, const std::string& volume) {
  std::string normalized, error;
  if (!CheckVolumePath(volume, m_settings.m_vecAllowedRoots, normalized, error)) return error;
  std::lock_guard<std::mutex> lock(m_watchMutex);
  try {
    // The mount table is read for every request: volumes come and go while the
    // service runs.
    TQHSMLowLevelCtx ctx(0);
    bool newlyWatched = false;
    if (!TQHSMWatchVolumeLocally(m_log, "TQHSMService::startWatchingVolume", &ctx,
                                 normalized.c_str(), error, newlyWatched))
      return error.empty() ? "the volume could not be put under watching" : error;
    return "";
  } catch (...) {
    return "the service ran short of memory";
  }
}

}  // namespace service
}  // namespace tqhsm
