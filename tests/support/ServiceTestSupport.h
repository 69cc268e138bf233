#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "Backend.h"
#include "EvEvent.h"
#include "ServiceProtocol.h"
#include "TlsChannel.h"

// Support for the tests of the HSM service and its session: certificates made
// at test time with the openssl command, a log capture that the service's
// threads may write to, and a client that speaks raw frames (or raw bytes).
// All traffic goes to 127.0.0.1.

namespace tqhsm {
namespace test {

// Made once per test process by scripts/make-certs.sh.
struct TestCertificates {
  bool m_bOk = false;
  std::string m_sWhy;  // why they could not be made
  std::string m_sDir;
  TlsIdentity m_service;    // CN localhost, DNS:localhost, IP:127.0.0.1
  TlsIdentity m_client;     // CN scanner1
  TlsIdentity m_client2;    // CN scanner2
  TlsIdentity m_wrongName;  // a service certificate for elsewhere.example only
  TlsIdentity m_rogue;      // CN scanner1 of another CA; CAFile holds both CAs
};
const TestCertificates& Certificates();

#define TQHSM_REQUIRE_CERTIFICATES()                                                    \
  do {                                                                                  \
    if (!::tqhsm::test::Certificates().m_bOk)                                           \
      GTEST_SKIP() << "no test certificates: " << ::tqhsm::test::Certificates().m_sWhy; \
  } while (0)

// Captures log lines from any thread.
class SharedLog : public LogSink {
 public:
  SharedLog() : m_scope(this) {}
  int level() const override { return 10; }
  void write(LogKind kind, const char* tag, int level, const std::string& text) override;
  void event(unsigned int, long long, int, const std::vector<std::string>&) override {}

  // Whether some line holds this text.
  bool has(const std::string& text) const;
  size_t count(const std::string& text) const;
  // Waits (at most seconds) until some line holds text.
  bool waitFor(const std::string& text, int seconds) const;
  std::vector<std::string> lines() const;
  void clear();

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<std::string> m_vecLines;
  ScopedBackend<LogSink> m_scope;
};

// A TCP connection to 127.0.0.1:port; -1 when it fails.
int ConnectLoopback(int port);
// A port on 127.0.0.1 where nothing listens (it was free a moment ago).
int UnusedPort();

// A TLS client of the service that sends what a test wants.
class RawClient {
 public:
  RawClient() = default;
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // Connects and makes the TLS handshake as identity.
  bool Connect(int port, const TlsIdentity& identity, std::string& error);
  bool SendBytes(const std::string& bytes);
  bool SendFrame(uint32_t type, const std::vector<const char*>& fields);
  // Reads one frame within seconds.
  TlsChannel::Status ReadFrame(proto::FrameHeader& header, std::string& body, int seconds,
                               std::string& error);
  // Attaches as a scan does; true when the service said yes.
  bool Attach(std::string& error);
  // The text field of a frame of a text record.
  static std::string Text(const proto::FrameHeader& header, const std::string& body);

  TlsChannel& channel() { return m_channel; }

 private:
  SSL_CTX* m_pContext = nullptr;
  TlsChannel m_channel;
};

}  // namespace test
}  // namespace tqhsm
