// The HSM service's configuration: what section [HSMService] says, with its
// defaults, and what --check-config finds wrong on the machine.

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Config.h"
#include "ServiceSettings.h"
#include "ServiceTestSupport.h"
#include "TempDir.h"

using namespace tqhsm;
using namespace tqhsm::service;
using namespace tqhsm::test;

namespace {

std::string realPath(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) ? buf : path;
}

bool load(const std::string& text, ServiceSettings& s, std::vector<std::string>& problems) {
  std::unique_ptr<IniConfig> config = IniConfig::FromString(text);
  return LoadServiceSettings(*config, s, problems);
}

std::string joined(const std::vector<std::string>& v) { return JoinList(v, " | "); }

}  // namespace

TEST(ServiceSettings, DefaultsAndTheTlsSectionFallBack) {
  ServiceSettings s;
  std::vector<std::string> problems;
  ASSERT_TRUE(
      load("[TLS]\nCertificate = /etc/tqhsm/host.crt\nPrivateKey = /etc/tqhsm/host.key\n"
           "CAFile = /etc/tqhsm/ca.crt\n[HSMService]\nAllowedRoots = /srv, /data/x/ , "
           "/with blank\n",
           s, problems))
      << joined(problems);
  EXPECT_EQ(s.m_sListenAddress, "0.0.0.0");
  EXPECT_EQ(s.m_nPort, 8405);
  EXPECT_EQ(s.m_identity.m_sCertificate, "/etc/tqhsm/host.crt");
  EXPECT_EQ(s.m_identity.m_sPrivateKey, "/etc/tqhsm/host.key");
  EXPECT_EQ(s.m_identity.m_sCAFile, "/etc/tqhsm/ca.crt");
  EXPECT_TRUE(s.m_vecAllowedPeers.empty());
  EXPECT_EQ(s.m_vecAllowedRoots, (std::vector<std::string>{"/srv", "/data/x", "/with blank"}));
  EXPECT_EQ(s.m_sStateDirectory, "/var/lib/tqhsm");
  EXPECT_EQ(s.m_nMaxConnections, 32);
  EXPECT_EQ(s.m_nHandshakeTimeout, 10);
  EXPECT_EQ(s.m_nRequestTimeout, 30);
  EXPECT_EQ(s.m_nIdleTimeout, 900);
}

TEST(ServiceSettings, EveryKeyOfItsOwnSection) {
  ServiceSettings s;
  std::vector<std::string> problems;
  ASSERT_TRUE(
      load("[TLS]\nCertificate = /tls.crt\n"
           "[HSM]\nStateDirectory = /var/lib/hsm\n"
           "[HSMService]\nListenAddress = ::1\nPort = 0\nCertificate = /svc.crt\n"
           "PrivateKey = /svc.key\nCAFile = /ca.crt\n"
           "AllowedPeers = scan1.example.com, scan2.example.com scan3\n"
           "AllowedRoots = /srv\nStateDirectory = /var/lib/svc/\nMaxConnections = 4\n"
           "HandshakeTimeout = 3\nRequestTimeout = 0x10\nIdleTimeout = 60\n",
           s, problems))
      << joined(problems);
  EXPECT_EQ(s.m_sListenAddress, "::1");
  EXPECT_EQ(s.m_nPort, 0);
  EXPECT_EQ(s.m_identity.m_sCertificate, "/svc.crt");  // its own key wins over [TLS]
  EXPECT_EQ(s.m_vecAllowedPeers,
            (std::vector<std::string>{"scan1.example.com", "scan2.example.com", "scan3"}));
  EXPECT_EQ(s.m_sStateDirectory, "/var/lib/svc");
  EXPECT_EQ(s.m_nMaxConnections, 4);
  EXPECT_EQ(s.m_nHandshakeTimeout, 3);
  EXPECT_EQ(s.m_nRequestTimeout, 16);
  EXPECT_EQ(s.m_nIdleTimeout, 60);

  // Without its own StateDirectory the service keeps the machine's HSM state.
  ASSERT_TRUE(
      load("[HSM]\nStateDirectory = /var/lib/hsm\n[HSMService]\nAllowedRoots = /\n"
           "Certificate = /a\nPrivateKey = /b\nCAFile = /c\n",
           s, problems));
  EXPECT_EQ(s.m_sStateDirectory, "/var/lib/hsm");
}

TEST(ServiceSettings, ProblemsAreNamedOneByOne) {
  ServiceSettings s;
  std::vector<std::string> problems;
  EXPECT_FALSE(
      load("[HSMService]\nListenAddress = localhost\nPort = 70000\nMaxConnections = 0\n"
           "IdleTimeout = soon\nAllowedRoots = srv, /data/../etc\nStateDirectory = var\n",
           s, problems));
  EXPECT_EQ(problems, (std::vector<std::string>{
                          "[HSMService] ListenAddress is not a numeric IPv4 or IPv6 address: "
                          "localhost",
                          "[HSMService] Port must be a whole number from 0 to 65535, not '70000'",
                          "[HSMService] MaxConnections must be a whole number from 1 to 4096, not "
                          "'0'",
                          "[HSMService] IdleTimeout must be a whole number from 1 to 604800, not "
                          "'soon'",
                          "[HSMService] Certificate is missing (nor is it set in [TLS])",
                          "[HSMService] PrivateKey is missing (nor is it set in [TLS])",
                          "[HSMService] CAFile is missing (nor is it set in [TLS])",
                          "[HSMService] AllowedRoots: volume path 'srv' is not absolute",
                          "[HSMService] AllowedRoots: volume path '/data/../etc' has a '..' "
                          "component",
                          "[HSMService] AllowedRoots is missing or empty: the service would accept "
                          "no volume",
                          "[HSMService] StateDirectory is not an absolute path: var",
                      }));
}

TEST(ServiceSettings, TheCheckLooksAtWhatTheSettingsName) {
  TQHSM_REQUIRE_CERTIFICATES();
  TempDir tmp;
  const std::string dir = realPath(tmp.path());
  ASSERT_EQ(mkdir((dir + "/root").c_str(), 0755), 0);
  ASSERT_EQ(symlink((dir + "/root").c_str(), (dir + "/link").c_str()), 0);
  tmp.write("file", "x");

  ServiceSettings good;
  good.m_identity = Certificates().m_service;
  good.m_vecAllowedRoots = {dir + "/root"};
  good.m_sStateDirectory = dir + "/not/yet/made";  // made by the first watch
  std::vector<std::string> problems, warnings;
  EXPECT_TRUE(CheckServiceSettings(good, problems, warnings)) << joined(problems);
  EXPECT_TRUE(warnings.empty()) << joined(warnings);

  struct Case {
    const char* name;
    std::function<void(ServiceSettings&)> change;
    std::string problem;
  };
  const Case cases[] = {
      {"a key of another certificate",
       [](ServiceSettings& s) {
         s.m_identity.m_sPrivateKey = Certificates().m_client.m_sPrivateKey;
       },
       "TLS: private key " + Certificates().m_client.m_sPrivateKey +
           " does not belong to certificate " + Certificates().m_service.m_sCertificate},
      {"a certificate of another CA",
       [](ServiceSettings& s) {
         s.m_identity.m_sCertificate = Certificates().m_rogue.m_sCertificate;
         s.m_identity.m_sPrivateKey = Certificates().m_rogue.m_sPrivateKey;
       },
       "TLS: certificate " + Certificates().m_rogue.m_sCertificate +
           " does not verify against CA file " + Certificates().m_service.m_sCAFile +
           ": unable to get local issuer certificate"},
      {"a CA file that is missing",
       [&](ServiceSettings& s) { s.m_identity.m_sCAFile = dir + "/no-ca.crt"; },
       "TLS: cannot read CA file " + dir + "/no-ca.crt: No such file or directory"},
      {"a certificate that is no certificate",
       [&](ServiceSettings& s) { s.m_identity.m_sCertificate = dir + "/file"; },
       "TLS: cannot load certificate " + dir + "/file: "},
      {"a root through a link", [&](ServiceSettings& s) { s.m_vecAllowedRoots = {dir + "/link"}; },
       "[HSMService] AllowedRoots: " + dir +
           "/link runs through a symbolic link: name the real "
           "directory"},
      {"a root that is a file", [&](ServiceSettings& s) { s.m_vecAllowedRoots = {dir + "/file"}; },
       "[HSMService] AllowedRoots: " + dir + "/file is not a directory"},
      {"a root that is missing", [&](ServiceSettings& s) { s.m_vecAllowedRoots = {dir + "/gone"}; },
       "[HSMService] AllowedRoots: " + dir + "/gone: No such file or directory"},
      {"a state directory below a file",
       [&](ServiceSettings& s) { s.m_sStateDirectory = dir + "/file/state"; },
       "[HSMService] StateDirectory: " + dir + "/file/state: Not a directory"},
      {"a state directory that is a file",
       [&](ServiceSettings& s) { s.m_sStateDirectory = dir + "/file"; },
       "[HSMService] StateDirectory: " + dir + "/file is not a directory"},
  };
  for (const Case& c : cases) {
    ServiceSettings s = good;
    c.change(s);
    problems.clear();
    EXPECT_FALSE(CheckServiceSettings(s, problems, warnings)) << c.name;
    ASSERT_EQ(problems.size(), 1u) << c.name << ": " << joined(problems);
    EXPECT_EQ(problems[0].rfind(c.problem, 0), 0u) << c.name << ": " << problems[0];
  }

  // A key that others may read is worth a warning, not a refusal.
  const std::string key = dir + "/open.key";
  tmp.write("open.key", ReadFile(Certificates().m_service.m_sPrivateKey));
  ASSERT_EQ(chmod(key.c_str(), 0644), 0);
  ServiceSettings s = good;
  s.m_identity.m_sPrivateKey = key;
  problems.clear();
  EXPECT_TRUE(CheckServiceSettings(s, problems, warnings)) << joined(problems);
  EXPECT_EQ(warnings, (std::vector<std::string>{"private key " + key +
                                                " may be read by others than its owner (chmod "
                                                "600 it)"}));
}
