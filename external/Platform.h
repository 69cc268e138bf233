#pragma once

#include <string>

#include "TQHSMExport.h"

// Smaller services of the agent that the helper reaches.

// The local client.
class TQHSM_API OBPI_Focus {
 public:
  // The local client's name (section "Client", key "Name" of the configuration;
  // the host name when it is not set).
  static std::string getFocusClientName(bool shortName);
};

// The scan process's path mapper: turns proxy or snapshot paths into the paths
// on the scanned host. The results are not examined by the helper.
class TQHSM_API PathMapper {
 public:
  virtual ~PathMapper();
  virtual int mapProxyToHostPath(std::string proxyPath, std::string& hostPath) = 0;
  virtual int mapSnapProxyToHostPath(std::string snapPath, std::string& hostPath) = 0;
};

// A ready mapper: replaces a leading path prefix (the proxy or snapshot root) by
// the host root. A path outside the prefix is returned unchanged.
class TQHSM_API PrefixPathMapper : public PathMapper {
 public:
  PrefixPathMapper(std::string fromPrefix, std::string toPrefix);
  int mapProxyToHostPath(std::string proxyPath, std::string& hostPath) override;
  int mapSnapProxyToHostPath(std::string snapPath, std::string& hostPath) override;

 private:
  std::string m_sFrom;
  std::string m_sTo;
};

// The job controller of the scan.
class TQHSM_API OBJobCtrlClient {
 public:
  virtual ~OBJobCtrlClient();
  // Non-zero when the job is to stop.
  virtual int checkQuitFlag();
  virtual void finishedWork(int code);
};
