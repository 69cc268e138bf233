// The HSM service and the scan's session to it, end to end over real TLS on
// 127.0.0.1 with certificates made at test time: the three branches of a
// watch request, a remote scan's Initialize and DeInitialize, every failure of
// the attach, refused paths, malformed and half-sent traffic, many clients,
// the connection limit, a clean stop and idle sessions.

#include <gtest/gtest.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HSMLowLevel.h"
#include "HSMService.h"
#include "ObSession.h"
#include "ScanFakes.h"
#include "ServiceProtocol.h"
#include "ServiceTestSupport.h"
#include "TQHSMHelper.h"
#include "TempDir.h"
#include "TlsChannel.h"

using namespace tqhsm;
using namespace tqhsm::test;
using tqhsm::service::HSMService;
using tqhsm::service::ServiceSettings;

namespace {

const char* const kSendFailed =
    "Failed to send DMR_START_WATCHING_VOLUME_REQ message to HBHSMService";
const char* const kReceiveFailed =
    "Failed to receive DMR_START_WATCHING_VOLUME_RESP message from HBHXMService";
const char* const kAttachFailed = "Failed to attach to On demand service [TQHSMService].Error [";

std::string realPath(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) ? buf : path;
}

void makeDir(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

// The records of a list file of the state directory, header left out.
std::vector<std::string> records(const std::string& file) {
  std::vector<std::string> out;
  std::istringstream in(ReadFile(file));
  std::string line;
  bool header = true;
  while (std::getline(in, line)) {
    if (!header) out.push_back(line);
    header = false;
  }
  return out;
}

// Polls cond for at most ten seconds.
bool WaitUntil(const std::function<bool()>& cond) {
  for (int i = 0; i < 200; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return cond();
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
  for (const std::string& s : list)
    if (s == item) return true;
  return false;
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TQHSM_REQUIRE_CERTIFICATES();
    m_sRoot = realPath(m_tmp.path()) + "/root";
    m_sState = realPath(m_tmp.path()) + "/state";
    makeDir(m_sRoot);
    UseConfig(0);
  }

  ServiceSettings Settings() const {
    ServiceSettings s;
    s.m_sListenAddress = "127.0.0.1";
    s.m_nPort = 0;
    s.m_identity = Certificates().m_service;
    s.m_vecAllowedRoots = {m_sRoot};
    s.m_sStateDirectory = m_sState;
    s.m_nHandshakeTimeout = 10;
    s.m_nRequestTimeout = 10;
    s.m_nIdleTimeout = 120;
    return s;
  }

  // Starts the test's service; its port goes into the configuration.
  HSMService& Start(const ServiceSettings& settings) {
    m_service.reset(new HSMService(settings));
    std::string error;
    EXPECT_TRUE(m_service->Start(error)) << error;
    UseConfig(m_service->port());
    return *m_service;
  }
  HSMService& Start() { return Start(Settings()); }

  // The configuration of both ends (they share this process): the service's
  // state directory and name, the scan machine's TLS material and client 9.
  void UseConfig(int port, const std::string& tls = "", const std::string& client9 = "") {
    const TlsIdentity& c = Certificates().m_client;
    std::string text =
        "[HSM]\nStateDirectory = " + m_sState +
        "\n[Client]\nName = svc-host\nPhysicalMachine = scan-box\n[TLS]\n" +
        (tls.empty() ? "Certificate = " + c.m_sCertificate + "\nPrivateKey = " + c.m_sPrivateKey +
                           "\nCAFile = " + c.m_sCAFile + "\n"
                     : tls) +
        "[Client 9]\nHostName = localhost\nName = nas9\n" +
        (client9.empty() ? "ServicePort = " + std::to_string(port) + "\n" : client9) +
        "[Subclient 5]\nRulesFlag = 0\n";
    m_config.reset();
    m_config.reset(new ScopedConfig(text));
  }

  // A session attached to the service at port.
  std::unique_ptr<CObNetwork> Attach(int port, CZoError* result = nullptr, int timeout = 10) {
    std::unique_ptr<CObNetwork> session(new CObNetwork());
    session->setServicePort(port);
    bool flag = false;
    CZoError e =
        session->Attach_RemoteService("localhost", "TQHSMService", "scan-box", timeout, flag);
    if (result)
      *result = e;
    else
      EXPECT_FALSE(e.IsError()) << e.AsString();
    return session;
  }

  // A helper of a scan for remote client 9, attached to the service at port.
  std::unique_ptr<TQHSMHelper> RemoteHelper(int port) {
    TQHSMHelperInitArgs args;
    args.m_nRemoteClientId = 9;
    std::unique_ptr<TQHSMHelper> h(new TQHSMHelper(args));
    h->m_pSession = Attach(port).release();
    h->m_sRemoteClientName = "nas9";
    return h;
  }

  // One good request of a fresh scan: the service still serves.
  void ExpectServiceAnswers(int port) {
    std::string dir = m_sRoot + "/still-served";
    mkdir(dir.c_str(), 0755);
    auto h = RemoteHelper(port);
    std::string error = "stale";
    EXPECT_TRUE(h->startWatchingVolume(dir.c_str(), error)) << error;
    EXPECT_EQ(error, "");
  }

  std::vector<std::string> Watched() const { return records(m_sState + "/watched_dirs"); }
  std::vector<std::string> Migrated() const { return records(m_sState + "/migrated_trees"); }

  SharedLog m_log;  // outlives the service's threads
  TempDir m_tmp;
  std::string m_sRoot, m_sState;
  std::unique_ptr<ScopedConfig> m_config;
  std::unique_ptr<HSMService> m_service;  // destroyed first
};

}  // namespace

TEST_F(ServiceTest, TheThreeBranchesOfAWatchRequest) {
  const std::string fresh = m_sRoot + "/fresh";
  const std::string watchedTree = m_sRoot + "/watched";
  const std::string migratedTree = m_sRoot + "/tree";
  for (const std::string& d :
       {fresh, watchedTree, watchedTree + "/vol", migratedTree, migratedTree + "/vol"})
    makeDir(d);
  HSMService& service = Start();
  {
    TQHSMLowLevel lowLevel("/");
    ASSERT_EQ(lowLevel.startWatchingDirTree(watchedTree.c_str()), 0) << lowLevel.getLastError();
    TQHSMMigratedDirTrees trees(true, "svc-host");
    ASSERT_EQ(trees.addTree(migratedTree.c_str()), 0);
  }
  auto h = RemoteHelper(service.port());
  std::string error = "stale";

  // Not watched, never migrated: watched now, and recorded.
  EXPECT_TRUE(h->startWatchingVolume(fresh.c_str(), error)) << error;
  EXPECT_EQ(error, "");
  EXPECT_TRUE(contains(Watched(), fresh));
  EXPECT_TRUE(contains(Migrated(), "svc-host " + fresh));

  // Below a watched tree: only recorded.
  EXPECT_TRUE(h->startWatchingVolume((watchedTree + "/vol").c_str(), error)) << error;
  EXPECT_FALSE(contains(Watched(), watchedTree + "/vol"));
  EXPECT_TRUE(contains(Migrated(), "svc-host " + watchedTree + "/vol"));

  // Below a tree migrated before (no longer watched): the tree is watched
  // again, the volume recorded.
  EXPECT_TRUE(h->startWatchingVolume((migratedTree + "/vol").c_str(), error)) << error;
  EXPECT_TRUE(contains(Watched(), migratedTree));
  EXPECT_FALSE(contains(Watched(), migratedTree + "/vol"));
  EXPECT_TRUE(contains(Migrated(), "svc-host " + migratedTree + "/vol"));

  EXPECT_EQ(Watched().size(), 3u);
  EXPECT_TRUE(m_log.has("TQHSMService::startWatchingVolume Dir " + migratedTree +
                        "/vol was migrated before.Starting to watch again"));
  EXPECT_EQ(m_log.count("(client nas9) for "), 3u);
  EXPECT_TRUE(m_log.has("Watch request of scanner1 at 127.0.0.1:"));
  EXPECT_TRUE(m_log.has("(client nas9) for " + fresh + ": watched."));
  EXPECT_TRUE(m_log.has("Attach of scanner1 at 127.0.0.1:"));
  EXPECT_TRUE(m_log.has("(physical machine scan-box)"));
}

// Initialize attaches through the session it makes itself; DeInitialize (0)
// sends the deferred volume at its host path.
TEST_F(ServiceTest, ARemoteScanAttachesAtInitializeAndWatchesAtDeInitialize) {
  makeDir(m_sRoot + "/vol");
  HSMService& service = Start();
  PrefixPathMapper mapper("/proxy", m_sRoot);
  TQHSMHelperInitArgs args;
  args.m_nRemoteClientId = 9;
  args.m_bIsProxy = true;
  args.m_pPathMapper = &mapper;
  args.m_sJobResultsDir = m_tmp.path();
  args.m_sCollectFileName = "StubCollect";
  {
    TQHSMHelper h(args);
    ASSERT_EQ(h.Initialize(1, 5, 0), 1);
    ASSERT_NE(h.m_pSession, nullptr);
    EXPECT_EQ(h.m_sRemoteClientName, "nas9");
    EXPECT_TRUE(m_log.waitFor("Attach of scanner1", 10));
    h.m_mapVolumesToWatch["/proxy/vol"] = true;  // as resetVolume records it
    EXPECT_TRUE(Watched().empty());              // nothing before the end
    EXPECT_EQ(h.DeInitialize(0), 1);
    EXPECT_TRUE(contains(Watched(), m_sRoot + "/vol"));
  }
  // The destructor's disconnect ends the session.
  EXPECT_TRUE(m_log.waitFor("ended: read: closed by the peer", 10));
  EXPECT_TRUE(WaitUntil([&] { return service.openConnections() == 0; }));
}

TEST_F(ServiceTest, EveryAttachFailureSaysWhatHappened) {
  HSMService& service = Start();
  ServiceSettings other = Settings();
  other.m_identity = Certificates().m_wrongName;
  HSMService wrongName(other);
  other = Settings();
  other.m_vecAllowedPeers = {"scanner2", "scan9.example.com"};
  HSMService allowList(other);
  std::string error;
  ASSERT_TRUE(wrongName.Start(error)) << error;
  ASSERT_TRUE(allowList.Start(error)) << error;
  const int down = UnusedPort();
  const TlsIdentity& rogue = Certificates().m_rogue;
  const std::string rogueTls = "Certificate = " + rogue.m_sCertificate +
                               "\nPrivateKey = " + rogue.m_sPrivateKey +
                               "\nCAFile = " + rogue.m_sCAFile + "\n";
  auto at = [](int port) { return "localhost:" + std::to_string(port); };

  struct Case {
    const char* name;
    int port;
    std::string tls;
    std::string client9;
    std::string expected;  // the start of the reason
  };
  const Case cases[] = {
      {"service down", down, "", "",
       "connection refused by " + at(down) + " (is tqhsm-service running there"},
      {"a certificate of another CA", service.port(), rogueTls, "",
       "certificate rejected by the service at " + at(service.port()) + " ("},
      {"the service's certificate is for another name", wrongName.port(), "", "",
       "certificate rejected: the certificate of the service at " + at(wrongName.port()) +
           " does not verify (TLS handshake: hostname mismatch)"},
      {"not an allowed peer", allowList.port(), "", "",
       "refused by the service at " + at(allowList.port()) +
           ": the certificate /CN=scanner1 is not among the allowed peers of TQHSMService"},
      {"no TLS material", service.port(), "Name = x\n", "",
       "TLS is not set up for remote scans: key(s) Certificate, PrivateKey, CAFile of section "
       "[TLS] missing from the configuration]"},
      {"a private key of another certificate", service.port(),
       "Certificate = " + Certificates().m_client.m_sCertificate +
           "\nPrivateKey = " + Certificates().m_client2.m_sPrivateKey +
           "\nCAFile = " + Certificates().m_client.m_sCAFile + "\n",
       "",
       "TLS is not usable for remote scans: private key " + Certificates().m_client2.m_sPrivateKey +
           " does not belong to certificate " + Certificates().m_client.m_sCertificate},
      {"a port that is no port", service.port(), "", "ServicePort = http\n",
       "key ServicePort of section [Client 9] is not a TCP port (1 to 65535): http]"},
  };
  for (const Case& c : cases) {
    UseConfig(c.port, c.tls, c.client9);
    m_log.clear();
    TQHSMHelperInitArgs args;
    args.m_nRemoteClientId = 9;
    args.m_sJobResultsDir = m_tmp.path();
    args.m_sCollectFileName = "StubCollect";
    TQHSMHelper h(args);
    EXPECT_EQ(h.Initialize(1, 5, 0), -1) << c.name;
    EXPECT_TRUE(m_log.has(kAttachFailed + c.expected)) << c.name << "\n" << m_log.lines().back();
    EXPECT_FALSE(h.m_bRulesInitialized);
  }
  UseConfig(service.port());
  ExpectServiceAnswers(service.port());
}

TEST_F(ServiceTest, TheServiceLogsWhomItRefused) {
  ServiceSettings s = Settings();
  s.m_vecAllowedPeers = {"scanner2"};
  HSMService& service = Start(s);
  CZoError result;
  Attach(service.port(), &result);
  EXPECT_TRUE(result.IsError());
  EXPECT_TRUE(m_log.waitFor("Session of scanner1 at 127.0.0.1:", 10));
  EXPECT_TRUE(
      m_log.has("refused: certificate /CN=scanner1 is not among the allowed peers "
                "(scanner2)."));

  const TlsIdentity& rogue = Certificates().m_rogue;
  UseConfig(service.port(), "Certificate = " + rogue.m_sCertificate + "\nPrivateKey = " +
                                rogue.m_sPrivateKey + "\nCAFile = " + rogue.m_sCAFile + "\n");
  Attach(service.port(), &result);
  EXPECT_TRUE(result.IsError());
  EXPECT_TRUE(m_log.waitFor("refused: TLS handshake: ", 10));

  // scanner2 is let in.
  const TlsIdentity& second = Certificates().m_client2;
  UseConfig(service.port(), "Certificate = " + second.m_sCertificate + "\nPrivateKey = " +
                                second.m_sPrivateKey + "\nCAFile = " + second.m_sCAFile + "\n");
  Attach(service.port());
}

TEST_F(ServiceTest, AnAttachToAPeerThatNeverAnswersTimesOut) {
  // A socket that listens but never accepts: the kernel completes the TCP
  // handshake, nobody makes the TLS one.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len), 0);
  int port = ntohs(addr.sin_port);
  CZoError result;
  Attach(port, &result, 1);
  EXPECT_EQ(result.AsString(),
            "timed out after 1 s in the TLS handshake (localhost:" + std::to_string(port) + ")");
  EXPECT_EQ(result.Code(), -ETIMEDOUT);
  close(fd);
}

TEST_F(ServiceTest, RefusedPathsComeBackAsTheServicesText) {
  for (const char* d : {"/ok", "/real", "/real/sub"}) makeDir(m_sRoot + d);
  ASSERT_EQ(symlink((m_sRoot + "/real").c_str(), (m_sRoot + "/link").c_str()), 0);
  ASSERT_EQ(symlink("/etc", (m_sRoot + "/etc-link").c_str()), 0);
  m_tmp.write("root/file", "x");
  HSMService& service = Start();
  auto h = RemoteHelper(service.port());
  const std::string r = m_sRoot;
  struct Case {
    std::string path;
    std::string error;
  };
  const Case cases[] = {
      {"/etc", "volume path '/etc' lies outside the allowed roots of this service (" + r + ")"},
      {r + "x",
       "volume path '" + r + "x' lies outside the allowed roots of this service (" + r + ")"},
      {r + "/../etc", "volume path '" + r + "/../etc' has a '..' component"},
      {r + "/./ok", "volume path '" + r + "/./ok' has a '.' component"},
      {"root/ok", "volume path 'root/ok' is not absolute"},
      {"", "no volume path given"},
      {r + "/link", "volume path '" + r +
                        "/link' runs through a symbolic link (links are never "
                        "followed)"},
      {r + "/link/sub", "volume path '" + r +
                            "/link/sub' runs through a symbolic link (links are "
                            "never followed)"},
      {r + "/etc-link", "volume path '" + r +
                            "/etc-link' runs through a symbolic link (links are "
                            "never followed)"},
      {r + "/file", "volume path '" + r + "/file' is not a directory"},
      {r + "/missing", "volume path '" + r + "/missing' does not exist"},
      {r + "//ok/", ""},  // the same directory as /ok
  };
  for (const Case& c : cases) {
    std::string error = "stale";
    EXPECT_EQ(h->startWatchingVolume(c.path.c_str(), error), c.error.empty()) << c.path;
    EXPECT_EQ(error, c.error);
  }
  EXPECT_EQ(Watched(), std::vector<std::string>{r + "/ok"});
  EXPECT_TRUE(m_log.has("for /etc: refused: volume path '/etc' lies outside the allowed roots"));
}

namespace {

struct Traffic {
  const char* name;
  bool attachFirst;
  std::function<std::string()> bytes;
  uint32_t answerType;  // 0: the service only closes
  std::string answer;   // the start of the answer's text
  bool closes;
};

std::string header(uint32_t magic, uint16_t version, uint32_t type, uint32_t length) {
  unsigned char h[proto::kHeaderSize];
  proto::EncodeHeader(type, length, h);
  h[0] = static_cast<unsigned char>(magic >> 24);
  h[1] = static_cast<unsigned char>(magic >> 16);
  h[2] = static_cast<unsigned char>(magic >> 8);
  h[3] = static_cast<unsigned char>(magic);
  h[4] = static_cast<unsigned char>(version >> 8);
  h[5] = static_cast<unsigned char>(version);
  return std::string(reinterpret_cast<char*>(h), sizeof h);
}

std::string frame(uint32_t type, const std::vector<const char*>& fields) {
  std::string f, error;
  proto::EncodeFrame(type, fields, f, error);
  return f;
}

}  // namespace

TEST_F(ServiceTest, MalformedTrafficGetsAnErrorOrAClosedSessionAndTheServiceGoesOn) {
  makeDir(m_sRoot + "/vol");
  HSMService& service = Start();
  const std::string vol = m_sRoot + "/vol";
  // A watch request whose first field declares more bytes than it may have.
  std::string overlong = header(proto::kMagic, 1, proto::kWatchRequest, 8) +
                         std::string("\x00\x00\x27\x0f\x00\x00\x00\x00", 8);
  std::string withNul = frame(proto::kWatchRequest, {"nas9", "/x"});
  withNul[proto::kHeaderSize + 4 + 1] = '\0';  // "n\0s9"
  const Traffic cases[] = {
      {"another magic", false, [] { return std::string(16, 'X'); }, proto::kErrorAnswer,
       "protocol error: not a frame of the HSM service protocol (magic 0x58585858)", true},
      {"another version", false, [] { return header(proto::kMagic, 2, proto::kWatchRequest, 0); },
       proto::kErrorAnswer, "protocol error: protocol version 2 is not supported", true},
      {"a huge length", true,
       [] { return header(proto::kMagic, 1, proto::kWatchRequest, 0xFFFFFFF0u); },
       proto::kErrorAnswer,
       "protocol error: a message of 4294967280 bytes is over the limit of 16384", true},
      {"a field longer than its limit", true, [&] { return overlong; }, proto::kErrorAnswer,
       "protocol error: field clientName of DMR_START_WATCHING_VOLUME_REQ (0x4B00000B) declares "
       "9999 bytes, over its limit of 1024",
       true},
      {"a NUL byte in a field", true, [&] { return withNul; }, proto::kErrorAnswer,
       "protocol error: field clientName of DMR_START_WATCHING_VOLUME_REQ (0x4B00000B) holds a "
       "NUL byte",
       true},
      {"a watch request before the attach", false,
       [&] {
         return frame(proto::kWatchRequest, {"nas9", vol.c_str()});
       },
       proto::kErrorAnswer, "protocol error: attach to TQHSMService before sending requests", true},
      {"another service", false,
       [] {
         return frame(proto::kAttachRequest, {"OtherService", "box"});
       },
       proto::kAttachResponse, "this is TQHSMService, not 'OtherService'", true},
      {"a message type the service does not serve", true,
       [] { return header(proto::kMagic, 1, 0x12345678, 3) + "abc"; }, proto::kErrorAnswer,
       "message type 0x12345678 is not served by TQHSMService", false},
      {"an answer sent as a request", true, [] { return frame(proto::kWatchResponse, {"hello"}); },
       proto::kErrorAnswer,
       "message type DMR_START_WATCHING_VOLUME_RESP (0x4B00000C) is not served", false},
  };
  for (const Traffic& c : cases) {
    RawClient client;
    std::string error;
    ASSERT_TRUE(client.Connect(service.port(), Certificates().m_client, error)) << error;
    if (c.attachFirst) {
      ASSERT_TRUE(client.Attach(error)) << error;
    }
    ASSERT_TRUE(client.SendBytes(c.bytes())) << c.name;
    proto::FrameHeader h;
    std::string body;
    ASSERT_EQ(client.ReadFrame(h, body, 10, error), TlsChannel::eOk) << c.name << ": " << error;
    EXPECT_EQ(h.m_nType, c.answerType) << c.name;
    EXPECT_EQ(RawClient::Text(h, body).rfind(c.answer, 0), 0u)
        << c.name << ": " << RawClient::Text(h, body);
    if (c.closes) {
      EXPECT_EQ(client.ReadFrame(h, body, 10, error), TlsChannel::eClosed) << c.name;
    } else {
      // The session goes on: a good request on it is served.
      ASSERT_TRUE(client.SendFrame(proto::kWatchRequest, {"nas9", vol.c_str()}));
      ASSERT_EQ(client.ReadFrame(h, body, 10, error), TlsChannel::eOk) << error;
      EXPECT_EQ(h.m_nType, proto::kWatchResponse);
      EXPECT_EQ(RawClient::Text(h, body), "");
    }
    ExpectServiceAnswers(service.port());
  }

  // Bytes that are not TLS at all.
  int fd = ConnectLoopback(service.port());
  ASSERT_GE(fd, 0);
  const char garbage[] = "GET / HTTP/1.0\r\n\r\n\x16\x03\x01\xff\xff";
  ASSERT_EQ(send(fd, garbage, sizeof garbage, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof garbage));
  struct pollfd p = {fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);  // the service answers (an alert) or closes
  close(fd);
  EXPECT_TRUE(m_log.waitFor("refused: TLS handshake: ", 10));
  ExpectServiceAnswers(service.port());
}

TEST_F(ServiceTest, HalfSentFramesAndSilentPeersAreDroppedInTime) {
  ServiceSettings s = Settings();
  s.m_nRequestTimeout = 1;
  s.m_nHandshakeTimeout = 1;
  HSMService& service = Start(s);

  RawClient half;
  std::string error;
  ASSERT_TRUE(half.Connect(service.port(), Certificates().m_client, error)) << error;
  ASSERT_TRUE(half.Attach(error)) << error;
  ASSERT_TRUE(half.SendBytes(frame(proto::kWatchRequest, {"nas9", "/x"}).substr(0, 10)));
  proto::FrameHeader h;
  std::string body;
  EXPECT_EQ(half.ReadFrame(h, body, 10, error), TlsChannel::eClosed) << error;
  EXPECT_TRUE(m_log.waitFor("a request was not complete within 1 s; closed.", 10));

  // A TCP connection that never starts TLS.
  int fd = ConnectLoopback(service.port());
  ASSERT_GE(fd, 0);
  struct pollfd p = {fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);
  char c;
  EXPECT_EQ(recv(fd, &c, 1, 0), 0);  // closed
  close(fd);
  EXPECT_TRUE(m_log.waitFor("No TLS handshake from 127.0.0.1:", 10));
  ExpectServiceAnswers(service.port());
}

// A peer stuck in the middle of a request holds up nobody: the good scan's
// whole exchange (session time-out 5 s) ends while the stuck one still has 60 s.
TEST_F(ServiceTest, AStuckPeerDoesNotHoldUpAnother) {
  ServiceSettings s = Settings();
  s.m_nRequestTimeout = 60;
  HSMService& service = Start(s);
  RawClient stuck;
  std::string error;
  ASSERT_TRUE(stuck.Connect(service.port(), Certificates().m_client, error)) << error;
  ASSERT_TRUE(stuck.Attach(error)) << error;
  ASSERT_TRUE(stuck.SendBytes(frame(proto::kWatchRequest, {"nas9", "/x"}).substr(0, 20)));

  makeDir(m_sRoot + "/vol");
  TQHSMHelperInitArgs args;
  args.m_nRemoteClientId = 9;
  TQHSMHelper h(args);
  h.m_pSession = Attach(service.port(), nullptr, 5).release();
  for (int i = 0; i < 3; ++i) {
    std::string result = "stale";
    EXPECT_TRUE(h.startWatchingVolume((m_sRoot + "/vol").c_str(), result)) << result;
  }
  EXPECT_EQ(service.openConnections(), 2);
}

namespace {

// A stand-in for the service that plays one script per connection, in turn,
// to show what the session makes of answers the real service never gives.
class ScriptedService {
 public:
  using Script = std::function<void(TlsChannel&)>;
  explicit ScriptedService(Script script) : ScriptedService(std::vector<Script>{script}) {}
  explicit ScriptedService(std::vector<Script> scripts) {
    std::string error;
    m_pContext = NewTlsContext(true, Certificates().m_service, error);
    EXPECT_NE(m_pContext, nullptr) << error;
    m_nListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(m_nListen, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
    listen(m_nListen, 4);
    getsockname(m_nListen, reinterpret_cast<struct sockaddr*>(&addr), &len);
    m_nPort = ntohs(addr.sin_port);
    m_thread = std::thread([this, scripts] {
      for (const Script& script : scripts) {
        struct pollfd p = {m_nListen, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) return;
        int fd = accept4(m_nListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        TlsChannel channel;
        std::string e;
        if (!channel.Open(m_pContext, fd, true, "", e) ||
            channel.Handshake(DeadlineIn(10), -1, e) != TlsChannel::eOk)
          return;
        script(channel);
        channel.Close(1000);
      }
    });
  }
  ~ScriptedService() {
    m_thread.join();
    close(m_nListen);
    FreeTlsContext(m_pContext);
  }
  int port() const { return m_nPort; }

  // Reads one frame; its type, or 0.
  static uint32_t Read(TlsChannel& channel) {
    unsigned char head[proto::kHeaderSize];
    std::string e;
    if (channel.Read(head, sizeof head, DeadlineIn(10), -1, e) != TlsChannel::eOk) return 0;
    proto::FrameHeader h;
    if (!proto::DecodeHeader(head, h, e)) return 0;
    std::string body(h.m_nLength, '\0');
    if (h.m_nLength &&
        channel.Read(&body[0], body.size(), DeadlineIn(10), -1, e) != TlsChannel::eOk)
      return 0;
    return h.m_nType;
  }
  static void Send(TlsChannel& channel, const std::string& bytes) {
    std::string e;
    channel.Write(bytes.data(), bytes.size(), DeadlineIn(10), e);
  }
  // Attaches the session, reads its watch request, answers with bytes.
  static Script Answer(std::function<std::string()> bytes, bool thenClose) {
    return [bytes, thenClose](TlsChannel& c) {
      if (Read(c) != proto::kAttachRequest) return;
      Send(c, frame(proto::kAttachResponse, {""}));
      if (Read(c) != proto::kWatchRequest) return;
      Send(c, bytes());
      if (thenClose) return;
      // Until the session is done with the connection.
      char x;
      std::string e;
      c.Read(&x, 1, DeadlineIn(10), -1, e);
    };
  }

 private:
  SSL_CTX* m_pContext = nullptr;
  int m_nListen = -1;
  int m_nPort = 0;
  std::thread m_thread;
};

}  // namespace

TEST_F(ServiceTest, TheSessionChecksEveryAnswer) {
  std::string withTail = frame(proto::kWatchResponse, {""});
  withTail += "tail";
  withTail[15] = static_cast<char>(withTail[15] + 4);  // the length covers the tail
  struct Case {
    const char* name;
    std::function<std::string()> answer;
    std::string error;  // after "localhost:<port>" is put in for %s
    bool thenClose;
  };
  const Case cases[] = {
      {"the answer of another type", [] { return frame(proto::kAttachResponse, {""}); },
       "protocol error: expected DMR_START_WATCHING_VOLUME_RESP (0x4B00000C), received "
       "TQHSM_ATTACH_RESP (0x54510002) from %s",
       false},
      {"an error answer", [] { return frame(proto::kErrorAnswer, {"busy"}); },
       "the service at %s answered with an error: busy", false},
      {"a huge length", [] { return header(proto::kMagic, 1, proto::kWatchResponse, 100000); },
       "protocol error: a message of 100000 bytes is over the limit of 16384 (from %s)", false},
      {"another magic", [] { return std::string(16, '\x01'); },
       "protocol error: not a frame of the HSM service protocol (magic 0x01010101) (from %s)",
       false},
      {"bytes after the record", [&] { return withTail; },
       "protocol error: 4 bytes follow the last field of DMR_START_WATCHING_VOLUME_RESP "
       "(0x4B00000C) (from %s)",
       false},
      {"half an answer, then the end",
       [] { return frame(proto::kWatchResponse, {"x"}).substr(0, 9); },
       "connection closed by %s while waiting for the answer (read: closed by the peer); the "
       "service's log says why",
       true},
  };
  for (const Case& c : cases) {
    ScriptedService fake(ScriptedService::Answer(c.answer, c.thenClose));
    TQHSMHelperInitArgs args;
    args.m_nRemoteClientId = 9;
    TQHSMHelper h(args);
    h.m_pSession = Attach(fake.port()).release();
    std::string result;
    EXPECT_FALSE(h.startWatchingVolume("/vol", result)) << c.name;
    std::string expected = c.error;
    expected.replace(expected.find("%s"), 2, "localhost:" + std::to_string(fake.port()));
    EXPECT_EQ(result, kReceiveFailed + expected) << c.name;
  }

  // A service that hears the request and never answers.
  ScriptedService silent([](TlsChannel& c) {
    if (ScriptedService::Read(c) != proto::kAttachRequest) return;
    ScriptedService::Send(c, frame(proto::kAttachResponse, {""}));
    ScriptedService::Read(c);
    ScriptedService::Read(c);  // until the session gives up and closes
  });
  TQHSMHelperInitArgs args;
  args.m_nRemoteClientId = 9;
  TQHSMHelper h(args);
  h.m_pSession = Attach(silent.port(), nullptr, 1).release();
  std::string result;
  EXPECT_FALSE(h.startWatchingVolume("/vol", result));
  EXPECT_EQ(result, kReceiveFailed +
                        std::string("timed out after 1 s while waiting for the answer "
                                    "(localhost:") +
                        std::to_string(silent.port()) + ")");
  bool flag = false;
  h.m_pSession->Disconnect(300, flag);
}

// A request that meets the close of an idle session is sent once more on a
// fresh one; a request on a busy session that gets no answer is not.
TEST_F(ServiceTest, ARequestThatMeetsTheIdleCloseIsSentOnceMore) {
  auto closeAfterRequest = [](TlsChannel& c) {
    if (ScriptedService::Read(c) != proto::kAttachRequest) return;
    ScriptedService::Send(c, frame(proto::kAttachResponse, {""}));
    ScriptedService::Read(c);  // the request, never answered
  };
  auto answer = ScriptedService::Answer([] { return frame(proto::kWatchResponse, {""}); }, false);
  {
    ScriptedService fake(std::vector<ScriptedService::Script>{closeAfterRequest, answer});
    TQHSMHelperInitArgs args;
    args.m_nRemoteClientId = 9;
    TQHSMHelper h(args);
    h.m_pSession = Attach(fake.port()).release();
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // idle
    std::string result = "stale";
    EXPECT_TRUE(h.startWatchingVolume("/vol", result)) << result;
    EXPECT_EQ(result, "");
    EXPECT_TRUE(
        m_log.has("closed the idle session as a request went out; attaching again to "
                  "send it once more."));
  }
  m_log.clear();
  ScriptedService fake(std::vector<ScriptedService::Script>{closeAfterRequest});
  TQHSMHelperInitArgs args;
  args.m_nRemoteClientId = 9;
  TQHSMHelper h(args);
  h.m_pSession = Attach(fake.port()).release();
  std::string result;
  EXPECT_FALSE(h.startWatchingVolume("/vol", result));
  EXPECT_EQ(result.rfind(std::string(kReceiveFailed) + "connection closed by localhost:", 0), 0u)
      << result;
  EXPECT_FALSE(m_log.has("send it once more"));
}

TEST_F(ServiceTest, ManyClientsAtOnceLoseNothing) {
  const int kClients = 12;
  const int kRequests = 8;
  for (int i = 0; i < kClients; ++i) makeDir(m_sRoot + "/c" + std::to_string(i));
  HSMService& service = Start();
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  std::vector<std::string> failures(kClients);
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      TQHSMHelperInitArgs args;
      args.m_nRemoteClientId = 9;
      TQHSMHelper h(args);
      std::unique_ptr<CObNetwork> session(new CObNetwork());
      session->setServicePort(service.port());
      bool flag = false;
      CZoError e = session->Attach_RemoteService("localhost", "TQHSMService", "box", 30, flag);
      if (e.IsError()) {
        failures[i] = e.AsString();
        return;
      }
      h.m_pSession = session.release();
      h.m_sRemoteClientName = "nas" + std::to_string(i);
      const std::string dir = m_sRoot + "/c" + std::to_string(i);
      for (int r = 0; r < kRequests; ++r) {
        std::string error;
        if (h.startWatchingVolume(dir.c_str(), error))
          ++good;
        else
          failures[i] = error;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kClients; ++i) EXPECT_EQ(failures[i], "") << "client " << i;
  EXPECT_EQ(good.load(), kClients * kRequests);
  std::vector<std::string> watched = Watched();
  EXPECT_EQ(watched.size(), static_cast<size_t>(kClients));
  for (int i = 0; i < kClients; ++i)
    EXPECT_TRUE(contains(watched, m_sRoot + "/c" + std::to_string(i))) << i;
  EXPECT_EQ(Migrated().size(), static_cast<size_t>(kClients));
  EXPECT_EQ(m_log.count(": watched."), static_cast<size_t>(kClients * kRequests));
}

TEST_F(ServiceTest, TheConnectionLimitTurnsPeersAwayUntilASessionEnds) {
  ServiceSettings s = Settings();
  s.m_nMaxConnections = 2;
  HSMService& service = Start(s);
  std::unique_ptr<RawClient> first(new RawClient()), second(new RawClient());
  std::string error;
  ASSERT_TRUE(first->Connect(service.port(), Certificates().m_client, error)) << error;
  ASSERT_TRUE(first->Attach(error)) << error;
  ASSERT_TRUE(second->Connect(service.port(), Certificates().m_client, error)) << error;
  ASSERT_TRUE(second->Attach(error)) << error;

  CZoError result;
  Attach(service.port(), &result);
  EXPECT_EQ(result.AsString().rfind("connection closed by localhost:" +
                                        std::to_string(service.port()) + " in the TLS handshake",
                                    0),
            0u)
      << result.AsString();
  EXPECT_EQ(service.refusedConnections(), 1u);
  EXPECT_TRUE(m_log.has("turned away: 2 sessions are open (MaxConnections)."));

  first.reset();  // its session ends
  ASSERT_TRUE(WaitUntil([&] { return service.openConnections() == 1; }));
  ExpectServiceAnswers(service.port());
}

TEST_F(ServiceTest, StopFinishesTheExchangeInProgressAndEndsIdleSessions) {
  makeDir(m_sRoot + "/vol");
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false, release = false;
  ServiceSettings s = Settings();
  HSMService& service = Start(s);
  // The service's watch steps as a test can hold them up.
  service.Stop();
  service.setWatchFunction([&](const std::string&, const std::string& volume) {
    std::unique_lock<std::mutex> lock(mutex);
    entered = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
    return volume == m_sRoot + "/vol" ? std::string() : std::string("unexpected volume");
  });
  std::string error;
  ASSERT_TRUE(service.Start(error)) << error;
  UseConfig(service.port());

  RawClient idle;
  ASSERT_TRUE(idle.Connect(service.port(), Certificates().m_client, error)) << error;
  ASSERT_TRUE(idle.Attach(error)) << error;

  TQHSMHelperInitArgs args;
  args.m_nRemoteClientId = 9;
  TQHSMHelper busy(args);
  busy.m_pSession = Attach(service.port()).release();
  std::string busyError = "stale";
  bool busyResult = false;
  std::thread request(
      [&] { busyResult = busy.startWatchingVolume((m_sRoot + "/vol").c_str(), busyError); });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return entered; }));
  }
  std::thread stopper([&] { service.Stop(); });
  // The idle session is ended at once, while the request is still held.
  proto::FrameHeader h;
  std::string body;
  EXPECT_EQ(idle.ReadFrame(h, body, 10, error), TlsChannel::eClosed);
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
    changed.notify_all();
  }
  request.join();
  stopper.join();
  EXPECT_TRUE(busyResult) << busyError;
  EXPECT_EQ(busyError, "");
  EXPECT_TRUE(m_log.has("closed: the service stops."));
  EXPECT_TRUE(m_log.has("TQHSMService stopped."));

  // Stopped: nobody is let in.
  CZoError result;
  Attach(service.port(), &result);
  EXPECT_EQ(result.Code(), -ECONNREFUSED) << result.AsString();
}

TEST_F(ServiceTest, AnIdleSessionIsEndedAndTheNextRequestAttachesAgain) {
  makeDir(m_sRoot + "/vol");
  ServiceSettings s = Settings();
  s.m_nIdleTimeout = 1;
  HSMService& service = Start(s);
  auto h = RemoteHelper(service.port());
  ASSERT_TRUE(m_log.waitFor("idle for 1 s: closed.", 10));
  ASSERT_TRUE(WaitUntil([&] { return service.openConnections() == 0; }));
  std::string error = "stale";
  EXPECT_TRUE(h->startWatchingVolume((m_sRoot + "/vol").c_str(), error)) << error;
  EXPECT_EQ(error, "");
  EXPECT_TRUE(
      m_log.has("CObNetwork The HSM service at localhost:" + std::to_string(service.port()) +
                " closed the idle session; attaching again."));
  EXPECT_EQ(m_log.count("Attach of scanner1"), 2u);
  EXPECT_TRUE(contains(Watched(), m_sRoot + "/vol"));
}
