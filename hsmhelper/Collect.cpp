#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "FileUtf.h"
#include "TQHSMHelper.h"

// The StubCollect and StubCollectTemp files. Entries are built as strings of
// any length; the collect-file writer refuses what the line layout cannot hold
// (a line break), which takes the documented failure path.

namespace {

// The limit message is written once per process, whatever the number of
// helpers and volumes.
bool g_bLimitMessageLogged = false;

bool isSkippedPath(const std::string& path) {
  return path.find(".tqfs_locks") != std::string::npos ||
         path.find(".tqfs_restore") != std::string::npos;
}

}  // namespace

int TQHSMHelper::AddToCollect(const char* path, bool add, unsigned long long inode) {
  const char* tag = "TQHSMTurboHelper::AddToCollect";
  if (!m_bRulesInitialized) return 0;
  if (m_pJobCtrl && m_pJobCtrl->checkQuitFlag()) {
    m_event.Debug(tag, "Quit Flag set, exiting.");
    m_pJobCtrl->finishedWork(120000);
  }
  if (m_ulLimitStubCollect != 0 && m_ulFilesCollected >= m_ulLimitStubCollect) {
    if (!g_bLimitMessageLogged) {
      m_event.DebugLvl(tag, 0,
                       "Total [%lu] files collected >= limit of [%lu], not adding to stub collect",
                       static_cast<unsigned long>(m_ulFilesCollected),
                       static_cast<unsigned long>(m_ulLimitStubCollect));
      g_bLimitMessageLogged = true;
    }
    return 1;
  }
  if (!add) return 1;
  if (!path) return 0;

  std::string hostPath;
  MapProxyPathToHostPath(path, hostPath);
  if (isSkippedPath(hostPath)) {
    m_event.DebugLvl(tag, 2, "Corivan ZUVU directories '.tqfs_restore' and '.tqfs_locks' skipped.");
    return 1;
  }
  // Callers pass all ones for a file without an inode number; anything whose
  // low 32 bits are negative is written as -1.
  std::string entry = hostPath;
  if (static_cast<int32_t>(static_cast<uint32_t>(inode & 0xffffffffULL)) < 0)
    entry += ":-1";
  else
    entry += ":" + std::to_string(inode);

  long long number = m_bUseNativeSnap ? m_llSnapCollectArg : 0;
  if (!m_stubCollect.AddToCollectFile(entry, add, true, number)) {
    m_event.Error(tag, "Can not add '%s' to collect file.", path);
    m_event << path;
    m_event.CriticalEvent(0x11000027, 0, 0);
    return 0;
  }
  ++m_ulFilesCollected;
  return 1;
}

bool TQHSMHelper::AddToTempCollect(const char* path, bool add, unsigned long long inode,
                                   std::string& stubCacheName) {
  const char* tag = "TQHSMHelper::AddToTempCollect";
  if (!add) return true;
  if (!path) return false;
  std::string p = path;
  if (isSkippedPath(p)) {
    m_event.DebugLvl(tag, 2, "Corvina ZUVU directories '.tqfs_restore' and '.tqfs_locks' skipped.");
    return true;
  }
  std::string base = p + ":" + std::to_string(inode);
  std::string entry = base + "|" + stubCacheName;
  m_event.DebugLvl(tag, 3,
                   "Adding file [%s], entry [%s] to TempCollect, to be processed later for "
                   "re-stubbing.",
                   path, entry.c_str());
  // The reader takes the cached stub's path as everything after the entry's
  // last '|': one that holds a '|' itself cannot be stored.
  long long number = m_bUseNativeSnap ? m_llSnapCollectArg : 0;
  if (stubCacheName.find('|') == std::string::npos &&
      m_tempCollect.AddToCollectFile(entry, add, true, number))
    return true;
  m_event.Error(tag, "Could not add '%s' to temp collectFile.", path);
  m_bReStubbingEnabled = false;
  m_stubCollect.AddToCollectFile(base, add, true, 0);
  return false;
}

void TQHSMHelper::AddAllItemsFromTempCollectFile() {
  const char* tag = "TQHSMHelper::AddAllItemsFromTempCollectFile";
  // Lines still buffered in the writer belong to the file too.
  m_tempCollect.DeInitialize();
  FILE* file = fopen_utf(m_sTempCollectPath.c_str(), "r");
  if (file) {
    HSMCollectFile record;
    while (GetLineFromCollectFile(file, '|', record)) {
      size_t bar = record.m_sEntry.rfind('|');
      if (bar == std::string::npos) continue;
      std::string filePart = record.m_sEntry.substr(0, bar);
      m_event.DebugLvl(tag, 2, "temp_string:%s", filePart.c_str());
      size_t colon = filePart.rfind(':');
      if (colon == std::string::npos) continue;
      // strtoll saturates a value beyond the signed 64-bit range.
      long long inode = std::strtoll(filePart.c_str() + colon + 1, nullptr, 10);
      std::string fileName = filePart.substr(0, colon);
      m_event.DebugLvl(tag, 2, "Adding file_name:%s and inode:%llu to StubCollect",
                       fileName.c_str(), static_cast<unsigned long long>(inode));
      AddToCollect(fileName.c_str(), true, static_cast<unsigned long long>(inode));
    }
    fclose(file);
  }
  unlink_utf(m_sTempCollectPath.c_str());
}
