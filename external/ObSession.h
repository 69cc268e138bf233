#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "CZoError.h"
#include "TQHSMExport.h"

// Messaging to the HSM service of a client.

// Watch request and response, exchanged as XDR messages.
struct TQHSM_API DMRStartWatchingVolumeReq {
  static const int kMessageType = 0x4B00000B;  // "DMR_START_WATCHING_VOLUME_REQ"
  const char* clientName = nullptr;
  const char* volumePath = nullptr;
};

struct TQHSM_API DMRStartWatchingVolumeResp {
  static const int kMessageType = 0x4B00000C;  // "DMR_START_WATCHING_VOLUME_RESP"
  char* errorMessage = nullptr;
};

// A record handed to the messaging layer as an external buffer.
class TQHSM_API obsDatabuf_v2 {
 public:
  void setExternalBuffer(void* buffer, size_t length) {
    m_pBuffer = buffer;
    m_nLength = length;
  }
  void* buffer() const { return m_pBuffer; }
  size_t length() const { return m_nLength; }

 private:
  void* m_pBuffer = nullptr;
  size_t m_nLength = 0;
};

namespace tqhsm {
class TlsChannel;
}
typedef struct ssl_ctx_st SSL_CTX;

// The session to the HSM service of another machine: TCP, TLS 1.3 with both
// ends authenticated by certificates of one CA, and the records XDR-encoded in
// the frames of ServiceProtocol.h. This machine's certificate, key and CA come
// from section [TLS] of the configuration (keys Certificate, PrivateKey,
// CAFile); the service's certificate must be issued to the host name the
// session connects to.
//
// Every call returns an error object; none throws. Each failure's text says
// what happened ("connection refused by nas9:8405 ...", "timed out after 300 s
// ...", "certificate rejected: ...", "protocol error: ..."). The time-out given
// to Attach_RemoteService bounds the attach and every later send and receive.
// The flag arguments are accepted for the callers' sake and left as they are.
// One request and its answer at a time; the object is used by one thread.
class TQHSM_API CObNetwork {
 public:
  CObNetwork();
  virtual ~CObNetwork();
  CObNetwork(const CObNetwork&) = delete;
  CObNetwork& operator=(const CObNetwork&) = delete;

  // The TCP port of the service (set before the attach; by default
  // tqhsm::proto::kDefaultPort).
  void setServicePort(int port) { m_nPort = port; }
  int servicePort() const { return m_nPort; }

  // Connects to host, makes the TLS handshake and attaches to the named
  // service, all within timeout seconds.
  virtual CZoError Attach_RemoteService(const std::string& host, const std::string& service,
                                        const std::string& physicalMachine, int timeout,
                                        bool& flag);
  // Sends the record that data holds as its external buffer; only
  // DMR_START_WATCHING_VOLUME_REQ (a DMRStartWatchingVolumeReq) has an encoding.
  // A session that the service closed while it was idle is attached afresh
  // first.
  virtual CZoError SendXDRMessage(int messageType, obsDatabuf_v2& data, int arg1, int arg2,
                                  bool& flag);
  // Receives the answer of the type *messageType into the record that data
  // holds (for DMR_START_WATCHING_VOLUME_RESP a zeroed
  // DMRStartWatchingVolumeResp, whose text is allocated here). *messageType
  // becomes the type received. An error answer of the service, or a message of
  // another type, is an error. Should the service end the session, idle until
  // the request went out, before a byte of the answer, the request is sent
  // once more on a fresh session (a watch request may be made twice).
  virtual CZoError ReceiveXDRMessage(int* messageType, obsDatabuf_v2& data, void* header, int arg1,
                                     int arg2, bool& flag);
  // Frees what ReceiveXDRMessage allocated in the record.
  virtual CZoError FreeReceivedMessage(int messageType, obsDatabuf_v2& data);
  // Closes the session; the object may attach again.
  virtual CZoError Disconnect(int timeout, bool& flag);

 private:
  CZoError attach();
  CZoError failed(int code, const std::string& text);
  std::string where() const;

  tqhsm::TlsChannel* m_pChannel;  // owned; open while attached
  SSL_CTX* m_pContext;            // owned; made at the first attach
  std::string m_sHost;
  std::string m_sService;
  std::string m_sPhysicalMachine;
  int m_nPort;
  int m_nTimeout;
  bool m_bAttached;
  std::chrono::steady_clock::time_point m_tLastExchange;  // end of the last attach or answer
  std::string m_sLastRequest;                             // the frame of the last request sent
  bool m_bSentAfterIdle;  // it went out on a session idle for a second or more
};
