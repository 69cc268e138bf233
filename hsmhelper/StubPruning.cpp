#include <fcntl.h>

#include <cerrno>

#include "FileUtf.h"
#include "SafePath.h"
#include "TQHSMHelper.h"

// Deletion of stubs whose archive file has been pruned.
//
// The owner of a directory above a stub can swap it for a symbolic link at
// any moment, so the stub is read and deleted through descriptors: the file
// and its directory are opened once, without following a link in any
// component; the file must be the one the scan stat-ed; its stub data are read
// through its descriptor; the delete is unlinkat on the directory's descriptor
// after the name has been checked to still name that file. Whatever changed in
// between, nothing else is deleted.

int TQHSMHelper::PruneStub(const char* path, struct stat* st) {
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

  tqhsm::SafeFile file;
  std::string why;
  std::vector<char> data;
  m_perf.StartPerfCounter(tag, ePerfBackupStub);
  bool opened = file.open(host, O_RDONLY, true, why);
  int err = errno;
  bool same = true;
  int rc = -1;
  if (opened && st && !m_bUseDC && st->st_ino != 0) {
    // On a snapshot the host file is checked by its inode, which the snapshot
    // keeps; its device is the snapshot's, not the host's.
    same = tqhsm::IsSameFile(file.st(), IsLocalScan() ? st->st_dev : 0, st->st_ino);
    if (!same)
      why = hostPath + " is inode " + std::to_string(file.st().st_ino) + " now, the scan saw " +
            std::to_string(st->st_ino);
  }
  if (opened && same) rc = lowLevel->readStubData(file.fd(), file.st(), host, data);
  m_perf.StopPerfCounter(tag, ePerfBackupStub, 0);
  // A link on the way, something else where a directory or a file was.
  if (!opened && (err == ELOOP || err == EINVAL || err == ENOTDIR)) same = false;
  if (!same) {
    m_event.DebugLvl(tag, 1, "Not pruning %s: it changed under the scan (%s).", host, why.c_str());
    return -1;
  }
  if (!opened) {
    m_event.Error(tag, "Failed to read metadata from stub %s: %s", host, why.c_str());
    return -1;
  }
  if (rc != 0) {
    m_event.Error(tag, "Failed to read metadata from stub %s: %s", host,
                  lowLevel->getLastError().c_str());
    return -1;
  }
  m_perf.StartPerfCounter(tag, ePerfIsAFilePruned);
  int pruned = m_rules.isAFilePruned(data, host, m_sAppGUID, static_cast<uint64_t>(m_nAppId));
  m_perf.StopPerfCounter(tag, ePerfIsAFilePruned, 0);
  if (pruned != 1) return -1;
  // A dry run makes the delete's checks and stops short of it.
  int deleted = m_bDryRun ? file.checkUnlink(why) : file.unlink(why);
  if (deleted == -2) {
    m_event.DebugLvl(tag, 1, "Not pruning %s: it changed under the scan (%s).", host, why.c_str());
    return -1;
  }
  if (m_bDryRun)
    m_event.DebugLvl(tag, 0, "Would delete stub %s, since its AF has been pruned", host);
  else
    m_event.DebugLvl(tag, 0, "Deleting stub %s, since its AF has been pruned", host);
  // The stub counts as pruned once its deletion was attempted; a delete that
  // failed (an I/O error, a read-only file system) leaves it in place, which
  // the administrator must be told: the next scan tries again.
  if (deleted != 0) m_event.Error(tag, "%s.", why.c_str());
  if (m_pActionObserver) {
    ReparseData af;
    ParseStubData(data, af);
    TellAction(TQHSMAction::eStubDeleted, host, nullptr, af, deleted != 0 ? why.c_str() : nullptr);
  }
  return 0;
}

// Most stubs a pruning scan meets stay, and whether one stays is known from
// its record and its AF's verdict, which this run has cached after the first
// stub of that AF. Keeping changes nothing, so the record may be read by path
// (its MAC ties it to the inode, size and time the walk saw): two system
// calls for such a stub instead of two opens, two reads and the identity
// checks. Whatever may lead to a delete, or is not plain, goes the checked
// way.
int TQHSMHelper::KeptStubAtGlance(const char* path, const struct stat& st) {
  const char* tag = "TQHSMHelper::PruneStub";
  if (!path || !IsLocalScan() || !m_pLowLevelCtx) return -1;
  TQHSMLowLevel* lowLevel = m_pLowLevelCtx->getByDevice(st.st_dev, path);
  if (!lowLevel) return -1;
  ReparseData stub;
  m_perf.StartPerfCounter(tag, ePerfBackupStub);
  int seen = lowLevel->peekStubRecord(path, st, stub);
  m_perf.StopPerfCounter(tag, ePerfBackupStub, 0);
  if (seen <= 0) return seen;
  // PruneStub leaves every stub alone then.
  if (!m_rules.m_bHonorArchiverRetention) return 1;
  m_perf.StartPerfCounter(tag, ePerfIsAFilePruned);
  int verdict =
      m_rules.stubPruneVerdict(stub, path, m_sAppGUID, static_cast<uint64_t>(m_nAppId), false);
  m_perf.StopPerfCounter(tag, ePerfIsAFilePruned, 0);
  return verdict == 0 ? 1 : -1;
}
