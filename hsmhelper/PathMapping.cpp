#include "TQHSMHelper.h"

void TQHSMHelper::MapProxyPathToHostPath(const std::string& proxyPath, std::string& hostPath) {
  if (IsLocalScan() || !m_pPathMapper) {
    hostPath = proxyPath;
    return;
  }
  m_pPathMapper->mapProxyToHostPath(proxyPath, hostPath);  // its result is not relied on
  m_event.DebugLvl("TQHSMHelper::MapProxyPathToHostPath", 2,
                   "Proxy path '%s' converted to host path '%s'.", proxyPath.c_str(),
                   hostPath.c_str());
}
