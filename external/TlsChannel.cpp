#include "TlsChannel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

namespace tqhsm {

namespace {

// ----------------------------------------------------------------- socket BIO
//
// OpenSSL's own socket BIO writes with write(2), which raises SIGPIPE when the
// peer has gone; a library inside the scan process must not change how that
// process handles signals, so the socket is driven through this BIO instead.

struct SocketState {
  int m_nFd;
  bool m_bEof;
};

SocketState* stateOf(BIO* bio) { return static_cast<SocketState*>(BIO_get_data(bio)); }

bool retryable(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

int bioWrite(BIO* bio, const char* data, int length) {
  BIO_clear_retry_flags(bio);
  ssize_t n = ::send(stateOf(bio)->m_nFd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  if (n < 0) {
    if (retryable(errno)) BIO_set_retry_write(bio);
    return -1;
  }
  return static_cast<int>(n);
}

int bioRead(BIO* bio, char* data, int length) {
  BIO_clear_retry_flags(bio);
  ssize_t n = ::recv(stateOf(bio)->m_nFd, data, static_cast<size_t>(length), 0);
  if (n < 0) {
    if (retryable(errno)) BIO_set_retry_read(bio);
    return -1;
  }
  if (n == 0) stateOf(bio)->m_bEof = true;
  return static_cast<int>(n);
}

int bioPuts(BIO* bio, const char* text) {
  return bioWrite(bio, text, static_cast<int>(strlen(text)));
}

long bioCtrl(BIO* bio, int command, long, void*) {
  switch (command) {
    case BIO_CTRL_FLUSH: return 1;
    case BIO_CTRL_EOF: return stateOf(bio)->m_bEof ? 1 : 0;
    default: return 0;
  }
}

int bioCreate(BIO* bio) {
  BIO_set_data(bio, nullptr);
  BIO_set_init(bio, 0);
  return 1;
}

int bioDestroy(BIO* bio) {
  delete stateOf(bio);  // the descriptor belongs to the channel
  BIO_set_data(bio, nullptr);
  return 1;
}

BIO_METHOD* socketMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tqhsm socket");
    if (m) {
      BIO_meth_set_write(m, bioWrite);
      BIO_meth_set_read(m, bioRead);
      BIO_meth_set_puts(m, bioPuts);
      BIO_meth_set_ctrl(m, bioCtrl);
      BIO_meth_set_create(m, bioCreate);
      BIO_meth_set_destroy(m, bioDestroy);
    }
    return m;  // lives for the whole process
  }();
  return method;
}

// A private key is never asked for on a terminal.
int noPassword(char*, int, int, void*) { return 0; }

bool readable(const std::string& path, const char* what, std::string& error) {
  if (path.empty()) {
    error = std::string("no ") + what + " file is configured";
    return false;
  }
  if (access(path.c_str(), R_OK) != 0) {
    error = std::string("cannot read ") + what + " file " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool isIpAddress(const std::string& name) {
  unsigned char buf[sizeof(struct in6_addr)];
  return inet_pton(AF_INET, name.c_str(), buf) == 1 || inet_pton(AF_INET6, name.c_str(), buf) == 1;
}

// The alerts by which a peer says it does not accept this end's certificate.
bool isCertificateAlert(int alert) {
  switch (alert) {
    case SSL_AD_BAD_CERTIFICATE:
    case SSL_AD_UNSUPPORTED_CERTIFICATE:
    case SSL_AD_CERTIFICATE_REVOKED:
    case SSL_AD_CERTIFICATE_EXPIRED:
    case SSL_AD_CERTIFICATE_UNKNOWN:
    case SSL_AD_UNKNOWN_CA:
    case SSL_AD_ACCESS_DENIED:
    case SSL_AD_CERTIFICATE_REQUIRED: return true;
    default: return false;
  }
}

std::string reasonText(unsigned long e) {
  const char* reason = ERR_reason_error_string(e);
  if (reason) return reason;
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

}  // namespace

TlsDeadline DeadlineIn(int seconds) {
  return std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
}

std::string TlsErrorText() {
  std::string text;
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    std::string reason = reasonText(e);
    if (text.find(reason) != std::string::npos) continue;
    if (!text.empty()) text += "; ";
    text += reason;
  }
  return text.empty() ? "unknown TLS error" : text;
}

SSL_CTX* NewTlsContext(bool server, const TlsIdentity& id, std::string& error) {
  if (!readable(id.m_sCertificate, "certificate", error) ||
      !readable(id.m_sPrivateKey, "private key", error) || !readable(id.m_sCAFile, "CA", error))
    return nullptr;
  ERR_clear_error();
  std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> ctx(
      SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()), SSL_CTX_free);
  if (!ctx) {
    error = "cannot make a TLS context: " + TlsErrorText();
    return nullptr;
  }
  SSL_CTX* c = ctx.get();
  SSL_CTX_set_min_proto_version(c, TLS1_3_VERSION);
  SSL_CTX_set_max_proto_version(c, TLS1_3_VERSION);
  SSL_CTX_set_default_passwd_cb(c, noPassword);
  if (SSL_CTX_use_certificate_chain_file(c, id.m_sCertificate.c_str()) != 1) {
    error = "cannot load certificate " + id.m_sCertificate + ": " + TlsErrorText();
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(c, id.m_sPrivateKey.c_str(), SSL_FILETYPE_PEM) != 1) {
    unsigned long e = ERR_peek_last_error();
    if (ERR_GET_LIB(e) == ERR_LIB_X509 && ERR_GET_REASON(e) == X509_R_KEY_VALUES_MISMATCH)
      error = "private key " + id.m_sPrivateKey + " does not belong to certificate " +
              id.m_sCertificate;
    else
      error = "cannot load private key " + id.m_sPrivateKey +
              " (it must be PEM and not encrypted): " + TlsErrorText();
    ERR_clear_error();
    return nullptr;
  }
  if (SSL_CTX_check_private_key(c) != 1) {
    error =
        "private key " + id.m_sPrivateKey + " does not belong to certificate " + id.m_sCertificate;
    ERR_clear_error();
    return nullptr;
  }
  if (SSL_CTX_load_verify_locations(c, id.m_sCAFile.c_str(), nullptr) != 1) {
    error = "cannot load CA file " + id.m_sCAFile + ": " + TlsErrorText();
    return nullptr;
  }

  // Both ends present certificates of one CA: one that does not verify here
  // would be refused by the peer too, so say so now, not at the first
  // connection.
  {
    X509* own = SSL_CTX_get0_certificate(c);
    STACK_OF(X509)* chain = nullptr;
    SSL_CTX_get0_chain_certs(c, &chain);
    X509_STORE_CTX* check = X509_STORE_CTX_new();
    bool ok = check && X509_STORE_CTX_init(check, SSL_CTX_get_cert_store(c), own, chain) == 1 &&
              X509_verify_cert(check) == 1;
    if (!ok) {
      int why = check ? X509_STORE_CTX_get_error(check) : X509_V_ERR_UNSPECIFIED;
      error = "certificate " + id.m_sCertificate + " does not verify against CA file " +
              id.m_sCAFile + ": " + X509_verify_cert_error_string(why);
    }
    X509_STORE_CTX_free(check);
    ERR_clear_error();
    if (!ok) return nullptr;
  }

  SSL_CTX_set_verify_depth(c, 8);
  if (server) {
    SSL_CTX_set_verify(c, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(id.m_sCAFile.c_str());
    if (names) SSL_CTX_set_client_CA_list(c, names);
    // Every session is a fresh handshake: nothing to resume, nothing to keep.
    SSL_CTX_set_num_tickets(c, 0);
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
  } else {
    SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
  }
  ERR_clear_error();
  return ctx.release();
}

void FreeTlsContext(SSL_CTX* context) { SSL_CTX_free(context); }

TlsChannel::TlsChannel() : m_pSsl(nullptr), m_nFd(-1), m_bServer(false), m_bHandshakeDone(false) {}

TlsChannel::~TlsChannel() { Close(); }

bool TlsChannel::Open(SSL_CTX* context, int fd, bool server, const std::string& peerName,
                      std::string& error) {
  Close();
  m_nFd = fd;
  m_bServer = server;
  m_bHandshakeDone = false;
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    error = std::string("cannot set up the socket: ") + strerror(errno);
    Close();
    return false;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // small frames, sent at once

  ERR_clear_error();
  m_pSsl = SSL_new(context);
  BIO* bio = m_pSsl ? BIO_new(socketMethod()) : nullptr;
  if (!bio) {
    error = "cannot set up TLS: " + TlsErrorText();
    Close();
    return false;
  }
  BIO_set_data(bio, new SocketState{fd, false});
  BIO_set_init(bio, 1);
  SSL_set_bio(m_pSsl, bio, bio);
  if (server) {
    SSL_set_accept_state(m_pSsl);
    return true;
  }
  SSL_set_connect_state(m_pSsl);
  bool ok;
  if (isIpAddress(peerName)) {
    ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_pSsl), peerName.c_str()) == 1;
  } else {
    SSL_set_hostflags(m_pSsl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    ok = SSL_set_tlsext_host_name(m_pSsl, peerName.c_str()) == 1 &&
         SSL_set1_host(m_pSsl, peerName.c_str()) == 1;
  }
  if (!ok) {
    error = "cannot verify certificates for the name '" + peerName + "': " + TlsErrorText();
    Close();
    return false;
  }
  return true;
}

TlsChannel::Status TlsChannel::wait(int sslError, TlsDeadline deadline, int stopFd,
                                    std::string& error) {
  short events = sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
  while (true) {
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) {
      error = "timed out";
      return eTimedOut;
    }
    long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
    struct pollfd fds[2] = {{m_nFd, events, 0}, {stopFd, POLLIN, 0}};
    int n = poll(fds, stopFd >= 0 ? 2 : 1, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
    if (n < 0) {
      if (errno == EINTR) continue;
      error = std::string("cannot wait for the connection: ") + strerror(errno);
      return eFailed;
    }
    if (n == 0) continue;
    if (stopFd >= 0 && fds[1].revents) {
      error = "stopped";
      return eStopped;
    }
    return eOk;  // ready, or an error that the next TLS call reports
  }
}

TlsChannel::Status TlsChannel::failure(int sslError, const char* what, std::string& error) {
  int err = errno;
  Status status = eFailed;
  std::string reason;
  if (sslError == SSL_ERROR_ZERO_RETURN) {
    status = eClosed;
    reason = "closed by the peer";
  } else if (sslError == SSL_ERROR_SYSCALL) {
    if (err == 0 || err == ECONNRESET || err == EPIPE) {
      status = eClosed;
      reason = err == 0 ? "closed by the peer" : "reset by the peer";
    } else {
      reason = strerror(err);
    }
  } else {
    long verify = SSL_get_verify_result(m_pSsl);
    unsigned long e;
    while ((e = ERR_get_error()) != 0) {
      int code = ERR_GET_REASON(e);
      if (ERR_GET_LIB(e) == ERR_LIB_SSL && code == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        if (status == eFailed) status = eClosed;
        if (reason.empty()) reason = "closed by the peer";
        continue;
      }
      if (ERR_GET_LIB(e) == ERR_LIB_SSL && code >= SSL_AD_REASON_OFFSET &&
          isCertificateAlert(code - SSL_AD_REASON_OFFSET))
        status = eRefusedByPeer;
      std::string text = reasonText(e);
      if (reason.find(text) != std::string::npos) continue;
      if (!reason.empty()) reason += "; ";
      reason += text;
    }
    if (verify != X509_V_OK) {
      status = eCertificate;
      reason = X509_verify_cert_error_string(verify);
    }
    if (reason.empty()) reason = "TLS error";
  }
  // A connection after a fatal error must not be shut down cleanly.
  if (m_pSsl) SSL_set_quiet_shutdown(m_pSsl, 1);
  error = std::string(what) + ": " + reason;
  return status;
}

TlsChannel::Status TlsChannel::Handshake(TlsDeadline deadline, int stopFd, std::string& error) {
  if (!m_pSsl) {
    error = "not connected";
    return eFailed;
  }
  while (true) {
    ERR_clear_error();
    errno = 0;
    int rc = SSL_do_handshake(m_pSsl);
    if (rc == 1) {
      m_bHandshakeDone = true;
      return eOk;
    }
    int e = SSL_get_error(m_pSsl, rc);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      Status s = wait(e, deadline, stopFd, error);
      if (s != eOk) return s;
      continue;
    }
    return failure(e, "TLS handshake", error);
  }
}

TlsChannel::Status TlsChannel::Read(void* buffer, size_t n, TlsDeadline deadline, int stopFd,
                                    std::string& error) {
  if (!m_pSsl) {
    error = "not connected";
    return eFailed;
  }
  char* p = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < n) {
    ERR_clear_error();
    errno = 0;
    size_t want = n - done;
    int rc = SSL_read(m_pSsl, p + done, want > INT_MAX ? INT_MAX : static_cast<int>(want));
    if (rc > 0) {
      done += static_cast<size_t>(rc);
      continue;
    }
    int e = SSL_get_error(m_pSsl, rc);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      Status s = wait(e, deadline, stopFd, error);
      if (s != eOk) return s;
      continue;
    }
    return failure(e, "read", error);
  }
  return eOk;
}

TlsChannel::Status TlsChannel::Write(const void* buffer, size_t n, TlsDeadline deadline,
                                     std::string& error) {
  if (!m_pSsl) {
    error = "not connected";
    return eFailed;
  }
  const char* p = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < n) {
    ERR_clear_error();
    errno = 0;
    size_t want = n - done;
    int rc = SSL_write(m_pSsl, p + done, want > INT_MAX ? INT_MAX : static_cast<int>(want));
    if (rc > 0) {
      done += static_cast<size_t>(rc);
      continue;
    }
    int e = SSL_get_error(m_pSsl, rc);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      Status s = wait(e, deadline, -1, error);
      if (s != eOk) return s;
      continue;
    }
    return failure(e, "write", error);
  }
  return eOk;
}

bool TlsChannel::PeerHasSpoken() {
  if (!m_pSsl) return true;
  if (SSL_pending(m_pSsl) > 0) return true;
  struct pollfd p = {m_nFd, static_cast<short>(POLLIN | POLLRDHUP), 0};
  int n = poll(&p, 1, 0);
  if (n <= 0 || p.revents == 0) return false;
  // Bytes arrived: they may be a TLS message of no interest to the caller.
  char c;
  ERR_clear_error();
  int rc = SSL_peek(m_pSsl, &c, 1);
  if (rc > 0) return true;
  int e = SSL_get_error(m_pSsl, rc);
  ERR_clear_error();
  return !(e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE);
}

void TlsChannel::Close(int lingerMs) {
  if (m_pSsl) {
    if (m_bHandshakeDone && !SSL_get_quiet_shutdown(m_pSsl)) SSL_shutdown(m_pSsl);
    SSL_free(m_pSsl);
    m_pSsl = nullptr;
    ERR_clear_error();
  }
  if (m_nFd >= 0 && lingerMs > 0 && shutdown(m_nFd, SHUT_WR) == 0) {
    TlsDeadline end = std::chrono::steady_clock::now() + std::chrono::milliseconds(lingerMs);
    char sink[4096];
    while (true) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      end - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) break;
      struct pollfd p = {m_nFd, POLLIN, 0};
      int n = poll(&p, 1, static_cast<int>(left));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      ssize_t got = recv(m_nFd, sink, sizeof sink, 0);
      if (got < 0 && retryable(errno)) continue;
      if (got <= 0) break;  // the peer closed (or the connection is gone)
    }
  }
  if (m_nFd >= 0) {
    ::close(m_nFd);
    m_nFd = -1;
  }
  m_bHandshakeDone = false;
}

std::string TlsChannel::PeerSubject() const {
  X509* cert = m_pSsl ? SSL_get0_peer_certificate(m_pSsl) : nullptr;
  if (!cert) return "";
  char buf[512];
  X509_NAME_oneline(X509_get_subject_name(cert), buf, sizeof buf);
  return buf;
}

std::string TlsChannel::PeerCommonName() const {
  X509* cert = m_pSsl ? SSL_get0_peer_certificate(m_pSsl) : nullptr;
  if (!cert) return "";
  char buf[256];
  int n = X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool TlsChannel::PeerCertificateMatches(const std::string& name) const {
  X509* cert = m_pSsl ? SSL_get0_peer_certificate(m_pSsl) : nullptr;
  if (!cert || name.empty()) return false;
  int rc = isIpAddress(name) ? X509_check_ip_asc(cert, name.c_str(), 0)
                             : X509_check_host(cert, name.c_str(), name.size(),
                                               X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr);
  return rc == 1;
}

}  // namespace tqhsm
