#include "Platform.h"

#include <unistd.h>

#include "Config.h"

std::string OBPI_Focus::getFocusClientName(bool shortName) {
  std::string name;
  if (tqhsm::ConfigSource::Current().getString("Client", "Name", name) && !name.empty())
    return name;
  char host[256] = {0};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost";
  name = host;
  if (shortName) {
    size_t dot = name.find('.');
    if (dot != std::string::npos) name.resize(dot);
  }
  return name;
}

PathMapper::~PathMapper() = default;

namespace {
std::string withoutTrailingSlash(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}
}  // namespace

PrefixPathMapper::PrefixPathMapper(std::string fromPrefix, std::string toPrefix)
    : m_sFrom(withoutTrailingSlash(std::move(fromPrefix))),
      m_sTo(withoutTrailingSlash(std::move(toPrefix))) {}

int PrefixPathMapper::mapProxyToHostPath(std::string proxyPath, std::string& hostPath) {
  // Only whole leading components match: /snap maps /snap/a but not /snapshot/a.
  bool under = m_sFrom == "/" ? !proxyPath.empty() && proxyPath[0] == '/'
                              : proxyPath.compare(0, m_sFrom.size(), m_sFrom) == 0 &&
                                    (proxyPath.size() == m_sFrom.size() ||
                                     proxyPath[m_sFrom.size()] == '/');
  if (!under) {
    hostPath = proxyPath;
    return -1;
  }
  std::string rest = m_sFrom == "/" ? proxyPath.substr(1) : proxyPath.substr(m_sFrom.size());
  if (m_sTo == "/")
    hostPath = rest.empty() ? "/" : (rest[0] == '/' ? rest : "/" + rest);
  else
    hostPath = m_sTo + (m_sFrom == "/" && !rest.empty() ? "/" + rest : rest);
  return 0;
}

int PrefixPathMapper::mapSnapProxyToHostPath(std::string snapPath, std::string& hostPath) {
  return mapProxyToHostPath(std::move(snapPath), hostPath);
}

OBJobCtrlClient::~OBJobCtrlClient() = default;
int OBJobCtrlClient::checkQuitFlag() { return 0; }
void OBJobCtrlClient::finishedWork(int) {}
