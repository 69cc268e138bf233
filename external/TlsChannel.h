#pragma once

#include <chrono>
#include <string>

#include "TQHSMExport.h"

// TLS 1.3 over a TCP socket, with both ends authenticated by certificates of one
// CA, and every operation bounded by a deadline: the transport of the session
// to the HSM service and of the service itself (OpenSSL). The socket is driven
// non-blocking and written with MSG_NOSIGNAL, so a peer that goes away never
// raises SIGPIPE in the scan process.

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace tqhsm {

using TlsDeadline = std::chrono::steady_clock::time_point;

// The seconds from now as a deadline.
TQHSM_API TlsDeadline DeadlineIn(int seconds);

// The certificate, private key and CA of one end (PEM files).
struct TQHSM_API TlsIdentity {
  std::string m_sCertificate;  // may hold the chain after the end certificate
  std::string m_sPrivateKey;   // unencrypted: a daemon cannot answer a prompt
  std::string m_sCAFile;       // the CA whose certificates the peer must present
};

// A TLS 1.3-only context that presents the identity and verifies the peer
// against its CA. A server context also demands a certificate from every
// client. Null, with the reason, when a file cannot be read, the key does not
// belong to the certificate or the certificate does not verify against the CA.
TQHSM_API SSL_CTX* NewTlsContext(bool server, const TlsIdentity& identity, std::string& error);
TQHSM_API void FreeTlsContext(SSL_CTX* context);

// OpenSSL's queued errors of this thread as one text (the queue is emptied).
TQHSM_API std::string TlsErrorText();

class TQHSM_API TlsChannel {
 public:
  enum Status {
    eOk,
    eTimedOut,
    eClosed,         // the peer closed the connection (or reset it)
    eStopped,        // the stop descriptor became readable
    eCertificate,    // the peer's certificate did not verify here
    eRefusedByPeer,  // the peer refused this end's certificate
    eFailed,         // anything else; the text says what
  };

  TlsChannel();
  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  // Takes over fd, a connected TCP socket (closed by this object from now on,
  // also when Open fails). A client verifies the peer's certificate against
  // peerName, a host name or an IP address; a server ignores peerName.
  bool Open(SSL_CTX* context, int fd, bool server, const std::string& peerName, std::string& error);

  // Each waits at most until the deadline; stopFd (-1: none) ends a wait once
  // it is readable. Read and Write move exactly n bytes.
  Status Handshake(TlsDeadline deadline, int stopFd, std::string& error);
  Status Read(void* buffer, size_t n, TlsDeadline deadline, int stopFd, std::string& error);
  Status Write(const void* buffer, size_t n, TlsDeadline deadline, std::string& error);

  // Whether the peer closed the connection or sent something nobody asked for
  // (a service that ends an idle session); does not wait.
  bool PeerHasSpoken();

  // Sends close_notify when the handshake was done (without waiting for the
  // peer's) and closes the socket. With lingerMs, the socket is first shut for
  // writing and what the peer still sends is read and dropped until it closes
  // too or that time is over: a socket closed with unread bytes is reset, and
  // a reset can destroy the last answer (an alert, an error frame) before the
  // peer reads it.
  void Close(int lingerMs = 0);

  bool IsOpen() const { return m_nFd >= 0; }
  SSL* ssl() const { return m_pSsl; }

  // The peer's certificate subject and common name, after the handshake.
  std::string PeerSubject() const;
  std::string PeerCommonName() const;
  // Whether the peer's certificate is issued to name (a DNS name of its
  // subject alternative names, or its common name when it has none).
  bool PeerCertificateMatches(const std::string& name) const;

 private:
  Status wait(int sslError, TlsDeadline deadline, int stopFd, std::string& error);
  Status failure(int sslError, const char* what, std::string& error);

  SSL* m_pSsl;
  int m_nFd;
  bool m_bServer;
  bool m_bHandshakeDone;
};

}  // namespace tqhsm
