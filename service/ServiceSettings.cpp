#include "ServiceSettings.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "SafePath.h"
#include "VolumePath.h"

namespace tqhsm {
namespace service {

const char* const kServiceSection = "HSMService";
const char* const kServiceName = "TQHSMService";

namespace {

const char* const kTlsSection = "TLS";
const char* const kDefaultStateDirectory = "/var/lib/tqhsm";

std::string trim(const std::string& text) {
  size_t b = text.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = text.find_last_not_of(" \t");
  return text.substr(b, e - b + 1);
}

// Items separated by commas (and, for names, blanks), blanks around them
// dropped.
std::vector<std::string> splitList(const std::string& text, bool blanksSeparate) {
  std::vector<std::string> items;
  std::string item;
  for (char c : text + ",") {
    if (c == ',' || (blanksSeparate && (c == ' ' || c == '\t'))) {
      item = trim(item);
      if (!item.empty()) items.push_back(item);
      item.clear();
    } else {
      item += c;
    }
  }
  return items;
}

std::string key(const char* name) { return std::string("[") + kServiceSection + "] " + name; }

}  // namespace

bool StateDirectoryConfig::getString(const std::string& section, const std::string& key,
                                     std::string& value) const {
  if (section == "HSM" && key == "StateDirectory") {
    value = m_sStateDirectory;
    return true;
  }
  return m_wrapped.getString(section, key, value);
}

std::string JoinList(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += separator;
    out += item;
  }
  return out;
}

bool LoadServiceSettings(const ConfigSource& config, ServiceSettings& s,
                         std::vector<std::string>& problems) {
  size_t before = problems.size();
  if (!config.problem().empty()) problems.push_back(config.problem());
  std::string text;

  if (config.getString(kServiceSection, "ListenAddress", text) && !trim(text).empty())
    s.m_sListenAddress = trim(text);
  unsigned char addr[sizeof(struct in6_addr)];
  if (inet_pton(AF_INET, s.m_sListenAddress.c_str(), addr) != 1 &&
      inet_pton(AF_INET6, s.m_sListenAddress.c_str(), addr) != 1)
    problems.push_back(key("ListenAddress") +
                       " is not a numeric IPv4 or IPv6 address: " + s.m_sListenAddress);

  struct {
    const char* name;
    int* field;
    int min;
    int max;
  } numbers[] = {
      {"Port", &s.m_nPort, 0, 65535},
      {"MaxConnections", &s.m_nMaxConnections, 1, 4096},
      {"HandshakeTimeout", &s.m_nHandshakeTimeout, 1, 3600},
      {"RequestTimeout", &s.m_nRequestTimeout, 1, 3600},
      {"IdleTimeout", &s.m_nIdleTimeout, 1, 7 * 86400},
  };
  for (auto& n : numbers) {
    if (!config.getString(kServiceSection, n.name, text) || trim(text).empty()) continue;
    uint64_t value = 0;
    if (!config.getNumber(kServiceSection, n.name, value) || value < static_cast<uint64_t>(n.min) ||
        value > static_cast<uint64_t>(n.max)) {
      problems.push_back(key(n.name) + " must be a whole number from " + std::to_string(n.min) +
                         " to " + std::to_string(n.max) + ", not '" + text + "'");
      continue;
    }
    *n.field = static_cast<int>(value);
  }

  // The TLS material: the service's own keys, else this machine's [TLS] ones.
  struct {
    const char* name;
    std::string* field;
  } files[] = {{"Certificate", &s.m_identity.m_sCertificate},
               {"PrivateKey", &s.m_identity.m_sPrivateKey},
               {"CAFile", &s.m_identity.m_sCAFile}};
  for (auto& f : files) {
    if ((config.getString(kServiceSection, f.name, text) && !trim(text).empty()) ||
        (config.getString(kTlsSection, f.name, text) && !trim(text).empty()))
      *f.field = trim(text);
    else
      problems.push_back(key(f.name) + " is missing (nor is it set in [TLS])");
  }

  s.m_vecAllowedPeers.clear();
  if (config.getString(kServiceSection, "AllowedPeers", text))
    s.m_vecAllowedPeers = splitList(text, true);

  s.m_vecAllowedRoots.clear();
  if (config.getString(kServiceSection, "AllowedRoots", text)) {
    for (const std::string& root : splitList(text, false)) {
      std::string normalized, error;
      if (!NormalizeVolumePath(root, normalized, error))
        problems.push_back(key("AllowedRoots") + ": " + error);
      else
        s.m_vecAllowedRoots.push_back(normalized);
    }
  }
  if (s.m_vecAllowedRoots.empty())
    problems.push_back(key("AllowedRoots") +
                       " is missing or empty: the service would accept no volume");

  if (config.getString(kServiceSection, "StateDirectory", text) && !trim(text).empty())
    s.m_sStateDirectory = trim(text);
  else if (config.getString("HSM", "StateDirectory", text) && !trim(text).empty())
    s.m_sStateDirectory = trim(text);
  else
    s.m_sStateDirectory = kDefaultStateDirectory;
  while (s.m_sStateDirectory.size() > 1 && s.m_sStateDirectory.back() == '/')
    s.m_sStateDirectory.pop_back();
  if (s.m_sStateDirectory[0] != '/')
    problems.push_back(key("StateDirectory") + " is not an absolute path: " + s.m_sStateDirectory);

  return problems.size() == before;
}

bool CheckServiceSettings(const ServiceSettings& s, std::vector<std::string>& problems,
                          std::vector<std::string>& warnings) {
  size_t before = problems.size();
  std::string error;
  SSL_CTX* context = NewTlsContext(true, s.m_identity, error);
  if (!context)
    problems.push_back("TLS: " + error);
  else
    FreeTlsContext(context);

  struct stat st;
  if (!s.m_identity.m_sPrivateKey.empty() && stat(s.m_identity.m_sPrivateKey.c_str(), &st) == 0 &&
      (st.st_mode & 077) != 0)
    warnings.push_back("private key " + s.m_identity.m_sPrivateKey +
                       " may be read by others than its owner (chmod 600 it)");

  for (const std::string& root : s.m_vecAllowedRoots) {
    int fd = root.empty() || root[0] != '/' ? (errno = EINVAL, -1)
                                               : OpenNoFollow(root.c_str(), O_PATH);
    if (fd < 0) {
      int err = errno;
      problems.push_back(key("AllowedRoots") + ": " + root +
                         (err == ELOOP ? " runs through a symbolic link: name the real directory"
                                       : std::string(": ") + strerror(err)));
      continue;
    }
    bool dir = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    close(fd);
    if (!dir) problems.push_back(key("AllowedRoots") + ": " + root + " is not a directory");
  }

  // The state directory, or the nearest directory above it that exists (the
  // lists make the rest), must be a directory this process can write.
  std::string dir = s.m_sStateDirectory;
  while (true) {
    if (stat(dir.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode))
        problems.push_back(key("StateDirectory") + ": " + dir + " is not a directory");
      else if (access(dir.c_str(), W_OK | X_OK) != 0)
        problems.push_back(key("StateDirectory") + ": " + dir +
                           " cannot be written: " + strerror(errno));
      break;
    }
    if (errno != ENOENT || dir == "/") {
      problems.push_back(key("StateDirectory") + ": " + dir + ": " + strerror(errno));
      break;
    }
    size_t slash = dir.find_last_of('/');
    dir = slash == 0 ? "/" : dir.substr(0, slash);
  }
  return problems.size() == before;
}

}  // namespace service
}  // namespace tqhsm
