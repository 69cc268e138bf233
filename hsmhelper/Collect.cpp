#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FileUtf.h"
#include "TQHSMHelper.h"

// The StubCollect and StubCollectTemp files. Entries are built as strings of
// any length; the collect-file writer refuses what the line layout cannot hold
// (a line break) and what it cannot store, which takes the documented failure
// path. m_ulFilesCollected counts only lines the writer acknowledged, and a
// candidate handed to StubCollectTemp ends in StubCollect, is re-stubbed, or is
// counted as lost (TempCandidatesLost).

namespace {

// The limit message is written once per process, whatever the number of
// helpers and volumes.
bool g_bLimitMessageLogged = false;

bool isSkippedPath(const char* path) {
  return std::strstr(path, ".tqfs_locks") != nullptr ||
         std::strstr(path, ".tqfs_restore") != nullptr;
}

// The decimal digits of v, appended.
void appendDecimal(std::string& out, unsigned long long v) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* p = end;
  do {
    *--p = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  out.append(p, static_cast<size_t>(end - p));
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

  // A local scan's path is the host path already: it is not copied.
  std::string mapped;
  const char* hostPath = path;
  if (!IsLocalScan()) {
    MapProxyPathToHostPath(path, mapped);
    hostPath = mapped.c_str();
  }
  if (isSkippedPath(hostPath)) {
    m_event.DebugLvl(tag, 2, "Corivan ZUVU directories '.tqfs_restore' and '.tqfs_locks' skipped.");
    return 1;
  }
  // Callers pass all ones for a file without an inode number; anything whose
  // low 32 bits are negative is written as -1. The entry is built in one
  // buffer that every candidate reuses.
  std::string& entry = m_sEntryBuf;
  entry.assign(hostPath);
  if (static_cast<int32_t>(static_cast<uint32_t>(inode & 0xffffffffULL)) < 0) {
    entry += ":-1";
  } else {
    entry += ':';
    appendDecimal(entry, inode);
  }

  long long number = m_bUseNativeSnap ? m_llSnapCollectArg : 0;
  if (!m_stubCollect.AddToCollectFile(entry.data(), entry.size(), add, true, number)) {
    m_event.Error(tag, "Can not add '%s' to collect file.", path);
    m_event << path;
    m_event.CriticalEvent(0x11000027, 0, 0);
    ++m_ulNotCollected;
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
  if (isSkippedPath(path)) {
    m_event.DebugLvl(tag, 2, "Corvina ZUVU directories '.tqfs_restore' and '.tqfs_locks' skipped.");
    return true;
  }
  std::string entry = path;
  entry += ':';
  appendDecimal(entry, inode);
  entry += '|';
  entry += stubCacheName;
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
  // Without re-stubbing the pass will not look at StubCollectTemp again: what
  // it holds goes to StubCollect now, and the failing entry after it, counted
  // like any other line.
  AddAllItemsFromTempCollectFile();
  AddToCollect(path, true, inode);
  return false;
}

bool TQHSMHelper::CloseTempCollect() {
  if (!m_tempCollect.IsOpen()) return true;
  bool ok = m_tempCollect.DeInitialize() != 0;
  m_ulTempExpected = m_tempCollect.LinesWritten();
  return ok;
}

void TQHSMHelper::ReportTempLoss(const char* tag, uint64_t lost, const char* why) {
  if (lost == 0) return;
  m_ulTempLost += lost;
  m_event.Error(tag,
                "%lu candidates of StubCollectTemp %s could not be read back (%s); they are "
                "neither collected nor re-stubbed",
                static_cast<unsigned long>(lost), m_sTempCollectPath.c_str(), why);
}

// Moves every record of file to StubCollect; the number of records read.
uint64_t TQHSMHelper::MoveTempRecords(FILE* file) {
  const char* tag = "TQHSMHelper::AddAllItemsFromTempCollectFile";
  uint64_t records = 0;
  HSMCollectFile record;
  while (GetLineFromCollectFile(file, '|', record)) {
    ++records;
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
  return records;
}

void TQHSMHelper::AddAllItemsFromTempCollectFile() {
  const char* tag = "TQHSMHelper::AddAllItemsFromTempCollectFile";
  // Lines still buffered in the writer belong to the file too.
  CloseTempCollect();
  uint64_t records = 0;
  const char* why = nullptr;
  std::string error;
  FILE* file = OpenOwnFileForReading(m_sTempCollectPath.c_str(), error);
  if (file) {
    records = MoveTempRecords(file);
    if (ferror(file)) why = "read error";
    fclose(file);
  } else if (errno != ENOENT) {
    m_event.Error(tag, "%s", error.c_str());
    why = "cannot be opened";
  } else {
    why = "the file is missing";
  }
  // Lines the writer acknowledged but could not write are still in memory.
  std::string unwritten = m_tempCollect.TakeUnwritten();
  if (!unwritten.empty()) {
    FILE* mem = fmemopen(&unwritten[0], unwritten.size(), "r");
    if (mem) {
      MoveTempRecords(mem);
      fclose(mem);
    } else {
      ReportTempLoss(tag, static_cast<uint64_t>(std::count(unwritten.begin(), unwritten.end(), '\n')),
                     "out of memory");
    }
  }
  if (m_ulTempExpected > records) ReportTempLoss(tag, m_ulTempExpected - records, why ? why : "cut short");
  m_ulTempExpected = 0;
  unlink_utf(m_sTempCollectPath.c_str());
}
