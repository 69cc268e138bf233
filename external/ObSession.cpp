#include "ObSession.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "Config.h"
#include "EvEvent.h"
#include "ServiceProtocol.h"
#include "TlsChannel.h"

// The session to the HSM service of another machine (see ObSession.h and
// ServiceProtocol.h).

using tqhsm::TlsChannel;
using tqhsm::TlsDeadline;
namespace proto = tqhsm::proto;

namespace {

const char* const kTag = "CObNetwork";
const char* const kTlsSection = "TLS";
const int kDefaultTimeout = 300;

// Error codes of the session's failures (negative: CZoError::IsError).
enum {
  eErrNotAttached = -ENOTCONN,
  eErrRefused = -ECONNREFUSED,
  eErrTimedOut = -ETIMEDOUT,
  eErrClosed = -ECONNRESET,
  eErrCertificate = -EACCES,
  eErrProtocol = -EPROTO,
  eErrUsage = -EINVAL,
  eErrOther = -EIO,
};

// Connects a non-blocking TCP socket to one of the host's addresses before
// the deadline. -1 with *err (an errno value, ETIMEDOUT for the deadline) when
// none answers.
int connectBefore(const struct addrinfo* list, TlsDeadline deadline, int* err) {
  *err = EHOSTUNREACH;
  for (const struct addrinfo* ai = list; ai; ai = ai->ai_next) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      *err = errno;
      continue;
    }
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) return fd;
    if (errno != EINPROGRESS) {
      *err = errno;
      close(fd);
      continue;
    }
    while (true) {
      auto left = deadline - std::chrono::steady_clock::now();
      long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
      if (ms <= 0) {
        close(fd);
        *err = ETIMEDOUT;
        return -1;  // the time is spent: no other address gets a try
      }
      struct pollfd p = {fd, POLLOUT, 0};
      int n = poll(&p, 1, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) continue;
      int soError = 0;
      socklen_t len = sizeof soError;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
      if (soError == 0) return fd;
      *err = soError;
      close(fd);
      break;
    }
  }
  return -1;
}

}  // namespace

CObNetwork::CObNetwork()
    : m_pChannel(new TlsChannel()),
      m_pContext(nullptr),
      m_nPort(proto::kDefaultPort),
      m_nTimeout(kDefaultTimeout),
      m_bAttached(false),
      m_bSentAfterIdle(false) {}

CObNetwork::~CObNetwork() {
  delete m_pChannel;
  tqhsm::FreeTlsContext(m_pContext);
}

std::string CObNetwork::where() const {
  bool v6 = m_sHost.find(':') != std::string::npos;
  return (v6 ? "[" + m_sHost + "]" : m_sHost) + ":" + std::to_string(m_nPort);
}

CZoError CObNetwork::failed(int code, const std::string& text) {
  m_pChannel->Close();
  m_bAttached = false;
  return CZoError(code, text);
}

namespace {

// What a failed transport operation means to the person reading the log.
CZoError transportError(TlsChannel::Status status, const std::string& reason,
                        const std::string& during, const std::string& where, int timeout,
                        const std::string& host) {
  switch (status) {
    case TlsChannel::eTimedOut:
      return CZoError(eErrTimedOut, "timed out after " + std::to_string(timeout) + " s " + during +
                                        " (" + where + ")");
    case TlsChannel::eClosed:
      return CZoError(eErrClosed, "connection closed by " + where + " " + during + " (" + reason +
                                      "); the service's log says why");
    case TlsChannel::eCertificate:
      return CZoError(eErrCertificate, "certificate rejected: the certificate of the service at " +
                                           where + " does not verify (" + reason +
                                           "); it must be signed by the CA of "
                                           "[TLS] CAFile and issued to the name '" +
                                           host + "'");
    case TlsChannel::eRefusedByPeer:
      return CZoError(eErrCertificate,
                      "certificate rejected by the service at " + where + " (" + reason +
                          "); [TLS] Certificate must be valid and signed by the CA that the "
                          "service trusts");
    default:
      return CZoError(eErrOther, "connection to " + where + " failed " + during + ": " + reason);
  }
}

// Reads one frame: its header checked, its body whole. closedUnanswered (when
// given) tells whether the peer closed the connection before a byte came.
CZoError readFrame(TlsChannel& channel, proto::FrameHeader& header, std::string& body,
                   TlsDeadline deadline, const std::string& where, int timeout,
                   const std::string& host, bool* closedUnanswered = nullptr) {
  unsigned char head[proto::kHeaderSize];
  std::string reason;
  TlsChannel::Status s = channel.Read(head, 1, deadline, -1, reason);
  if (closedUnanswered) *closedUnanswered = s == TlsChannel::eClosed;
  if (s == TlsChannel::eOk) s = channel.Read(head + 1, sizeof head - 1, deadline, -1, reason);
  if (s != TlsChannel::eOk)
    return transportError(s, reason, "while waiting for the answer", where, timeout, host);
  if (!proto::DecodeHeader(head, header, reason))
    return CZoError(eErrProtocol, "protocol error: " + reason + " (from " + where + ")");
  body.assign(header.m_nLength, '\0');
  if (header.m_nLength) {
    s = channel.Read(&body[0], body.size(), deadline, -1, reason);
    if (s != TlsChannel::eOk)
      return transportError(s, reason, "while reading the answer", where, timeout, host);
  }
  return CZoError::Success();
}

}  // namespace

CZoError CObNetwork::attach() {
  m_pChannel->Close();
  m_bAttached = false;
  TlsDeadline deadline = tqhsm::DeadlineIn(m_nTimeout);

  if (!m_pContext) {
    const tqhsm::ConfigSource& config = tqhsm::ConfigSource::Current();
    tqhsm::TlsIdentity id;
    std::string missing;
    struct {
      const char* key;
      std::string* value;
    } keys[] = {{"Certificate", &id.m_sCertificate},
                {"PrivateKey", &id.m_sPrivateKey},
                {"CAFile", &id.m_sCAFile}};
    for (auto& k : keys)
      if (!config.getString(kTlsSection, k.key, *k.value) || k.value->empty())
        missing += std::string(missing.empty() ? "" : ", ") + k.key;
    if (!missing.empty())
      return CZoError(eErrCertificate, "TLS is not set up for remote scans: key(s) " + missing +
                                           " of section [TLS] missing from the configuration");
    std::string error;
    m_pContext = tqhsm::NewTlsContext(false, id, error);
    if (!m_pContext)
      return CZoError(eErrCertificate, "TLS is not usable for remote scans: " + error +
                                           " (section [TLS] of the configuration)");
  }

  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  struct addrinfo* list = nullptr;
  int rc = getaddrinfo(m_sHost.c_str(), std::to_string(m_nPort).c_str(), &hints, &list);
  if (rc != 0)
    return CZoError(eErrOther, "cannot resolve the host name '" + m_sHost +
                                   "': " + (rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc)));
  int err = 0;
  int fd = connectBefore(list, deadline, &err);
  freeaddrinfo(list);
  if (fd < 0) {
    if (err == ETIMEDOUT)
      return CZoError(eErrTimedOut, "timed out after " + std::to_string(m_nTimeout) +
                                        " s connecting to " + where());
    if (err == ECONNREFUSED)
      return CZoError(eErrRefused, "connection refused by " + where() +
                                       " (is tqhsm-service running there and listening on that "
                                       "port?)");
    return CZoError(-err, "cannot connect to " + where() + ": " + strerror(err));
  }

  std::string reason;
  if (!m_pChannel->Open(m_pContext, fd, false, m_sHost, reason))
    return failed(eErrOther, "cannot set up the session to " + where() + ": " + reason);
  TlsChannel::Status s = m_pChannel->Handshake(deadline, -1, reason);
  if (s != TlsChannel::eOk) {
    CZoError e = transportError(s, reason, "in the TLS handshake", where(), m_nTimeout, m_sHost);
    return failed(e.Code(), e.AsString());
  }

  std::string frame;
  if (!proto::EncodeFrame(proto::kAttachRequest, {m_sService.c_str(), m_sPhysicalMachine.c_str()},
                          frame, reason))
    return failed(eErrUsage, "cannot attach to " + where() + ": " + reason);
  s = m_pChannel->Write(frame.data(), frame.size(), deadline, reason);
  if (s != TlsChannel::eOk) {
    CZoError e = transportError(s, reason, "while attaching", where(), m_nTimeout, m_sHost);
    return failed(e.Code(), e.AsString());
  }
  proto::FrameHeader header;
  std::string body;
  CZoError e = readFrame(*m_pChannel, header, body, deadline, where(), m_nTimeout, m_sHost);
  if (e.IsError()) return failed(e.Code(), e.AsString());
  if (header.m_nType != proto::kAttachResponse && header.m_nType != proto::kErrorAnswer)
    return failed(eErrProtocol, "protocol error: " + where() + " answered the attach with " +
                                    proto::DescribeType(header.m_nType));
  proto::DecodedRecord answer;
  if (!proto::DecodeRecord(header.m_nType, body.data(), body.size(), answer, reason))
    return failed(eErrProtocol, "protocol error: " + reason + " (from " + where() + ")");
  if (!answer.field(0).empty())
    return failed(eErrCertificate, "refused by the service at " + where() + ": " + answer.field(0));
  m_bAttached = true;
  m_tLastExchange = std::chrono::steady_clock::now();
  return CZoError::Success();
}

CZoError CObNetwork::Attach_RemoteService(const std::string& host, const std::string& service,
                                          const std::string& physicalMachine, int timeout, bool&) {
  m_sHost = host;
  m_sService = service;
  m_sPhysicalMachine = physicalMachine;
  m_nTimeout = timeout > 0 ? timeout : kDefaultTimeout;
  if (host.empty()) return CZoError(eErrUsage, "no host name to attach to");
  if (m_nPort < 1 || m_nPort > 65535)
    return CZoError(eErrUsage, "port " + std::to_string(m_nPort) + " is not a TCP port");
  return attach();
}

CZoError CObNetwork::SendXDRMessage(int messageType, obsDatabuf_v2& data, int, int, bool&) {
  uint32_t type = static_cast<uint32_t>(messageType);
  if (type != proto::kWatchRequest)
    return CZoError(eErrUsage, "protocol error: no XDR encoding is known for message type " +
                                   proto::DescribeType(type));
  if (!data.buffer() || data.length() != sizeof(DMRStartWatchingVolumeReq))
    return CZoError(eErrUsage, "the record of " + proto::DescribeType(type) +
                                   " is not a DMRStartWatchingVolumeReq");
  if (m_sHost.empty())
    return CZoError(eErrNotAttached, "not attached to the HSM service (no Attach_RemoteService)");

  // The service ends sessions that stay idle too long (a scan sends its watch
  // requests at its end, maybe hours after it attached), and a failed exchange
  // ends the session too: attach afresh. Nothing has been sent yet, so nothing
  // is lost by it.
  if (m_bAttached && m_pChannel->PeerHasSpoken()) {
    EvDebug().DebugLvl(kTag, 1, "The HSM service at %s closed the idle session; attaching again.",
                       where().c_str());
    m_pChannel->Close();
    m_bAttached = false;
  }
  if (!m_bAttached) {
    CZoError e = attach();
    if (e.IsError()) return e;
  }

  const auto* request = static_cast<const DMRStartWatchingVolumeReq*>(data.buffer());
  std::string reason;
  m_sLastRequest.clear();
  if (!proto::EncodeFrame(type, {request->clientName, request->volumePath}, m_sLastRequest, reason))
    return CZoError(eErrUsage, "cannot send " + proto::DescribeType(type) + ": " + reason);
  // A service ends an idle session after at least a second; a request sent
  // just then may meet the close (see ReceiveXDRMessage).
  m_bSentAfterIdle = std::chrono::steady_clock::now() - m_tLastExchange >= std::chrono::seconds(1);
  TlsChannel::Status s = m_pChannel->Write(m_sLastRequest.data(), m_sLastRequest.size(),
                                           tqhsm::DeadlineIn(m_nTimeout), reason);
  if (s != TlsChannel::eOk) {
    CZoError e = transportError(s, reason, "while sending a request", where(), m_nTimeout, m_sHost);
    return failed(e.Code(), e.AsString());
  }
  return CZoError::Success();
}

CZoError CObNetwork::ReceiveXDRMessage(int* messageType, obsDatabuf_v2& data, void*, int, int,
                                       bool&) {
  if (!messageType) return CZoError(eErrUsage, "no message type to receive");
  uint32_t expected = static_cast<uint32_t>(*messageType);
  if (expected != proto::kWatchResponse)
    return CZoError(eErrUsage, "protocol error: no XDR decoding is known for message type " +
                                   proto::DescribeType(expected));
  auto* response = static_cast<DMRStartWatchingVolumeResp*>(data.buffer());
  if (!response || data.length() != sizeof(DMRStartWatchingVolumeResp))
    return CZoError(eErrUsage, "the record of " + proto::DescribeType(expected) +
                                   " is not a DMRStartWatchingVolumeResp");
  if (!m_bAttached) return CZoError(eErrNotAttached, "not attached to the HSM service");

  proto::FrameHeader header;
  std::string body, reason;
  bool closedUnanswered = false;
  CZoError e = readFrame(*m_pChannel, header, body, tqhsm::DeadlineIn(m_nTimeout), where(),
                         m_nTimeout, m_sHost, &closedUnanswered);
  if (e.IsError() && closedUnanswered && m_bSentAfterIdle && !m_sLastRequest.empty()) {
    // The service ended the idle session as the request went out. A watch
    // request may be made twice (the second finds the volume watched), so it
    // is sent once more on a fresh session.
    EvDebug().DebugLvl(kTag, 1,
                       "The HSM service at %s closed the idle session as a request went out; "
                       "attaching again to send it once more.",
                       where().c_str());
    m_bSentAfterIdle = false;
    CZoError again = attach();
    if (again.IsError()) return again;
    TlsChannel::Status s = m_pChannel->Write(m_sLastRequest.data(), m_sLastRequest.size(),
                                             tqhsm::DeadlineIn(m_nTimeout), reason);
    if (s != TlsChannel::eOk) {
      CZoError w =
          transportError(s, reason, "while sending a request", where(), m_nTimeout, m_sHost);
      return failed(w.Code(), w.AsString());
    }
    e = readFrame(*m_pChannel, header, body, tqhsm::DeadlineIn(m_nTimeout), where(), m_nTimeout,
                  m_sHost);
  }
  if (e.IsError()) return failed(e.Code(), e.AsString());
  m_tLastExchange = std::chrono::steady_clock::now();
  if (header.m_nType == proto::kErrorAnswer) {
    proto::DecodedRecord answer;
    if (!proto::DecodeRecord(header.m_nType, body.data(), body.size(), answer, reason))
      return failed(eErrProtocol, "protocol error: " + reason + " (from " + where() + ")");
    // The service closes a session after a request it could not read.
    m_pChannel->Close();
    m_bAttached = false;
    return CZoError(eErrProtocol,
                    "the service at " + where() + " answered with an error: " + answer.field(0));
  }
  if (header.m_nType != expected)
    return failed(eErrProtocol, "protocol error: expected " + proto::DescribeType(expected) +
                                    ", received " + proto::DescribeType(header.m_nType) + " from " +
                                    where());
  proto::DecodedRecord answer;
  if (!proto::DecodeRecord(header.m_nType, body.data(), body.size(), answer, reason))
    return failed(eErrProtocol, "protocol error: " + reason + " (from " + where() + ")");
  *messageType = static_cast<int>(header.m_nType);
  response->errorMessage = answer.release(0);
  return CZoError::Success();
}

CZoError CObNetwork::FreeReceivedMessage(int messageType, obsDatabuf_v2& data) {
  if (static_cast<uint32_t>(messageType) == proto::kWatchResponse && data.buffer() &&
      data.length() == sizeof(DMRStartWatchingVolumeResp))
    proto::FreeXdrString(static_cast<DMRStartWatchingVolumeResp*>(data.buffer())->errorMessage);
  return CZoError::Success();
}

CZoError CObNetwork::Disconnect(int, bool&) {
  m_pChannel->Close();
  m_bAttached = false;
  return CZoError::Success();
}
