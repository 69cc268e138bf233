#pragma once

#include <string>
#include <vector>

#include "Config.h"
#include "ServiceProtocol.h"
#include "TlsChannel.h"

// The settings of the HSM service (tqhsm-service), section [HSMService] of the
// configuration; see README, "Configuration".

namespace tqhsm {
namespace service {

extern const char* const kServiceSection;  // "HSMService"
extern const char* const kServiceName;     // "TQHSMService"

struct ServiceSettings {
  std::string m_sListenAddress = "0.0.0.0";    // numeric IPv4 or IPv6 address
  int m_nPort = proto::kDefaultPort;           // 0: any free port (logged)
  TlsIdentity m_identity;                      // this machine's certificate, key and CA
  std::vector<std::string> m_vecAllowedPeers;  // empty: every certificate of the CA
  std::vector<std::string> m_vecAllowedRoots;  // volumes must lie under one of them
  std::string m_sStateDirectory;               // the watch list's directory
  int m_nMaxConnections = 32;
  int m_nHandshakeTimeout = 10;  // seconds for the TLS handshake
  int m_nRequestTimeout = 30;    // seconds for a request, once begun, and its answer
  int m_nIdleTimeout = 900;      // seconds a session may wait for its next request
};

// Reads the settings from config. Every problem (a required key missing, a
// value that is not valid) is added to problems; false when there is any.
bool LoadServiceSettings(const ConfigSource& config, ServiceSettings& settings,
                         std::vector<std::string>& problems);

// Checks what the settings name on this machine: the TLS files make a usable
// context, every allowed root is an absolute directory reached without a
// symbolic link, the state directory is (or can be made) a writable
// directory. Problems fail the check; warnings (a private key that others may
// read) do not.
bool CheckServiceSettings(const ServiceSettings& settings, std::vector<std::string>& problems,
                          std::vector<std::string>& warnings);

// The configuration as the service's process sees it: the HSM low-level
// library's state directory ([HSM] StateDirectory) is the service's; every
// other key comes from the configuration it wraps.
class StateDirectoryConfig : public ConfigSource {
 public:
  StateDirectoryConfig(const ConfigSource& wrapped, std::string stateDirectory)
      : m_wrapped(wrapped), m_sStateDirectory(std::move(stateDirectory)) {}
  bool getString(const std::string& section, const std::string& key,
                 std::string& value) const override;
  std::string problem() const override { return m_wrapped.problem(); }

 private:
  const ConfigSource& m_wrapped;
  std::string m_sStateDirectory;
};

std::string JoinList(const std::vector<std::string>& items, const char* separator = ", ");

}  // namespace service
}  // namespace tqhsm
