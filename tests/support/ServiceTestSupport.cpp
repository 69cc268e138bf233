#include "ServiceTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "TempDir.h"

namespace tqhsm {
namespace test {

namespace {

// scripts/make-certs.sh of this source tree.
std::string certScript() {
  std::string here = __FILE__;  // .../tests/support/ServiceTestSupport.cpp
  for (int i = 0; i < 3; ++i) here = here.substr(0, here.rfind('/'));
  return here + "/scripts/make-certs.sh";
}

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

TlsIdentity identity(const std::string& dir, const std::string& name, const std::string& ca) {
  TlsIdentity id;
  id.m_sCertificate = dir + "/" + name + ".crt";
  id.m_sPrivateKey = dir + "/" + name + ".key";
  id.m_sCAFile = ca;
  return id;
}

TestCertificates* make() {
  static TempDir dir;  // lives as long as the test process
  TestCertificates* c = new TestCertificates();
  c->m_sDir = dir.path();
  const std::string script = "bash '" + certScript() + "' '" + dir.path();
  const std::string rogue = dir.path() + "/rogue";
  if (!run("command -v openssl")) {
    c->m_sWhy = "the openssl command is missing";
    return c;
  }
  if (!run(script + "' ca") || !run(script + "' issue localhost DNS:localhost IP:127.0.0.1") ||
      !run(script + "' issue scanner1") || !run(script + "' issue scanner2") ||
      !run(script + "' issue wrongname DNS:elsewhere.example") ||
      !run("bash '" + certScript() + "' '" + rogue + "' ca 'rogue CA'") ||
      !run("bash '" + certScript() + "' '" + rogue + "' issue scanner1")) {
    c->m_sWhy = "scripts/make-certs.sh failed";
    return c;
  }
  const std::string ca = dir.path() + "/ca.crt";
  const std::string both = dir.path() + "/both-cas.crt";
  {
    std::ofstream out(both);
    out << ReadFile(ca) << ReadFile(rogue + "/ca.crt");
  }
  c->m_service = identity(dir.path(), "localhost", ca);
  c->m_client = identity(dir.path(), "scanner1", ca);
  c->m_client2 = identity(dir.path(), "scanner2", ca);
  c->m_wrongName = identity(dir.path(), "wrongname", ca);
  c->m_rogue = identity(rogue, "scanner1", both);
  c->m_bOk = true;
  return c;
}

}  // namespace

const TestCertificates& Certificates() {
  static const TestCertificates* certificates = make();
  return *certificates;
}

void SharedLog::write(LogKind, const char* tag, int, const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_vecLines.push_back(std::string(tag ? tag : "") + " " + text);
  m_changed.notify_all();
}

bool SharedLog::has(const std::string& text) const { return count(text) > 0; }

size_t SharedLog::count(const std::string& text) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  size_t n = 0;
  for (const std::string& l : m_vecLines) n += l.find(text) != std::string::npos;
  return n;
}

bool SharedLog::waitFor(const std::string& text, int seconds) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::seconds(seconds), [&] {
    for (const std::string& l : m_vecLines)
      if (l.find(text) != std::string::npos) return true;
    return false;
  });
}

std::vector<std::string> SharedLog::lines() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_vecLines;
}

void SharedLog::clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_vecLines.clear();
}

int ConnectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int UnusedPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  if (fd >= 0) close(fd);
  return port;
}

RawClient::~RawClient() {
  m_channel.Close();
  FreeTlsContext(m_pContext);
}

bool RawClient::Connect(int port, const TlsIdentity& id, std::string& error) {
  if (!m_pContext) m_pContext = NewTlsContext(false, id, error);
  if (!m_pContext) return false;
  int fd = ConnectLoopback(port);
  if (fd < 0) {
    error = "cannot connect";
    return false;
  }
  if (!m_channel.Open(m_pContext, fd, false, "localhost", error)) return false;
  return m_channel.Handshake(DeadlineIn(10), -1, error) == TlsChannel::eOk;
}

bool RawClient::SendBytes(const std::string& bytes) {
  std::string error;
  return m_channel.Write(bytes.data(), bytes.size(), DeadlineIn(10), error) == TlsChannel::eOk;
}

bool RawClient::SendFrame(uint32_t type, const std::vector<const char*>& fields) {
  std::string frame, error;
  return proto::EncodeFrame(type, fields, frame, error) && SendBytes(frame);
}

TlsChannel::Status RawClient::ReadFrame(proto::FrameHeader& header, std::string& body, int seconds,
                                        std::string& error) {
  unsigned char head[proto::kHeaderSize];
  TlsDeadline deadline = DeadlineIn(seconds);
  TlsChannel::Status s = m_channel.Read(head, sizeof head, deadline, -1, error);
  if (s != TlsChannel::eOk) return s;
  if (!proto::DecodeHeader(head, header, error)) return TlsChannel::eFailed;
  body.assign(header.m_nLength, '\0');
  if (header.m_nLength == 0) return TlsChannel::eOk;
  return m_channel.Read(&body[0], body.size(), deadline, -1, error);
}

bool RawClient::Attach(std::string& error) {
  if (!SendFrame(proto::kAttachRequest, {"TQHSMService", "test-machine"})) {
    error = "cannot send the attach";
    return false;
  }
  proto::FrameHeader header;
  std::string body;
  if (ReadFrame(header, body, 10, error) != TlsChannel::eOk) return false;
  error = Text(header, body);
  return header.m_nType == proto::kAttachResponse && error.empty();
}

std::string RawClient::Text(const proto::FrameHeader& header, const std::string& body) {
  proto::DecodedRecord record;
  std::string error;
  if (!proto::DecodeRecord(header.m_nType, body.data(), body.size(), record, error))
    return "(undecodable: " + error + ")";
  return record.size() ? record.field(0) : "";
}

}  // namespace test
}  // namespace tqhsm
