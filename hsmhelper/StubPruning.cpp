#include "FileUtf.h"
#include "TQHSMHelper.h"

// Deletion of stubs whose archive file has been pruned.

int TQHSMHelper::PruneStub(const char* path, struct stat* /*st*/) {
  const char* tag = "TQHSMHelper::PruneStub";
  if (!m_rules.m_bHonorArchiverRetention) return -1;
  if (m_nRemoteClientId != 0) return -1;
  if (!path) return -1;

  std::string hostPath;
  MapProxyPathToHostPath(path, hostPath);
  const char* host = hostPath.c_str();
  TQHSMLowLevel* lowLevel = m_pLowLevelCtx ? m_pLowLevelCtx->getByFileName(host) : nullptr;
  if (!lowLevel) {
    m_event.Error(tag, "Failed to get TQHSMLowLevel object for file %s.", host);
    return -1;
  }
  std::vector<char> data;
  m_perf.StartPerfCounter(tag, ePerfBackupStub);
  int rc = lowLevel->readStubData(host, data);
  m_perf.StopPerfCounter(tag, ePerfBackupStub, 0);
  if (rc != 0) {
    m_event.Error(tag, "Failed to read metadata from stub %s: %s", host,
                  lowLevel->getLastError().c_str());
    return -1;
  }
  m_perf.StartPerfCounter(tag, ePerfIsAFilePruned);
  int pruned = m_rules.isAFilePruned(data, host, m_sAppGUID, static_cast<uint64_t>(m_nAppId));
  m_perf.StopPerfCounter(tag, ePerfIsAFilePruned, 0);
  if (pruned != 1) return -1;
  m_event.DebugLvl(tag, 0, "Deleting stub %s, since its AF has been pruned", host);
  unlink_utf(host);  // the stub counts as pruned once its deletion was attempted
  return 0;
}
