#include <string>

#include "TQHSMHelper.h"

// End of a scan: counters, StubCollect, the watch requests of the run, mount
// points without extended attributes, the number of candidates.

int TQHSMHelper::DeInitialize(int failed) {
  const char* tag = "TQHSMHelper::DeInitialize";
  m_perf.LogPerfCounters(tag, nullptr, -1);
  // StubCollectTemp belongs to the re-stubbing pass, which closes it. Should
  // the owner not have run the pass, its candidates are archived instead of
  // being left behind in a file nobody reads; an empty one is removed.
  if (m_tempCollect.IsOpen()) {
    if (m_tempCollect.LinesAcknowledged() > 0)
      m_event.DebugLvl(tag, -1,
                       "The re-stubbing pass did not run, adding all of %s to StubCollect",
                       m_sTempCollectPath.c_str());
    AddAllItemsFromTempCollectFile();
  }
  // A failure that only closing shows (a write-back error, a sync that fails)
  // costs lines that were acknowledged: the owner must end the run as failed.
  if (!m_stubCollect.DeInitialize()) {
    m_sCollectFileError = m_stubCollect.LastError();
    m_ulCollectLinesAffected = m_stubCollect.LinesAffected();
    m_event.Error(tag, "StubCollect file %s is not whole: %s; %lu acknowledged lines may be "
                  "missing or damaged",
                  m_stubCollect.Path().c_str(), m_sCollectFileError.c_str(),
                  static_cast<unsigned long>(m_ulCollectLinesAffected));
  }

  if (failed == 0) {
    if (m_nRemoteClientId != 0 || m_bIsProxy || m_bUseNativeSnap) ProcessMigratedVolumes();
  } else if (m_nRemoteClientId == 0) {
    CleanupNewHSMMountPoints();
  }

  if (!m_vecNoXattrMounts.empty()) {
    std::string list;
    for (const std::string& mount : m_vecNoXattrMounts) {
      if (!list.empty()) list += ", ";
      list += mount;
    }
    m_event << list;
    m_event.CriticalEvent(0x1100004a, m_jobId, 0);
    std::string text = "Extended Attribute is not supported or extended attributed is disabled "
                       "in mount options for [ " + list + " ]";
    m_event.Error(tag, "%s", text.c_str());
  }
  m_event.DebugLvl(tag, 0, "Total [%lu] archive candidates collected",
                   static_cast<unsigned long>(m_ulFilesCollected));
  return 1;
}
