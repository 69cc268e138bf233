#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "FileUtf.h"
#include "TQHSMHelper.h"

// The candidate decision: the archive rules applied to one file, the volume's
// budget, stubs kept or pruned, and the hand-over to StubCollect or
// StubCollectTemp. Until the rules have decided, a file costs map look-ups and
// arithmetic on the caller's stat record; the file itself is only inspected for
// candidates or, when asked, for stubs to prune.

namespace {

const char* const kTag = "TQHSMHelper::IsDMCandidate";

// Whole days from t back to the reference time, truncated toward zero. Time
// stamps so far off that the count leaves 32 bits are held at its bounds.
int32_t ageInDays(time_t reference, time_t t) {
  double days = std::trunc(difftime(reference, t) / 86400.0);
  if (days >= static_cast<double>(std::numeric_limits<int32_t>::max()))
    return std::numeric_limits<int32_t>::max();
  if (days <= static_cast<double>(std::numeric_limits<int32_t>::min()))
    return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(days);
}

// a - b, held at the bounds of 64 bits instead of overflowing.
int64_t saturatingSub(int64_t a, int64_t b) {
  int64_t r;
  if (!__builtin_sub_overflow(a, b, &r)) return r;
  return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

}  // namespace

TQHSMReason TQHSMHelper::RulesVerdict(const struct stat* st, int64_t blockSize,
                                      bool bIsFile) const {
  // The block-size rule vetoes whatever the others say.
  if (m_rules.m_bSkipSmallerThanFsBlock && (bIsFile || (st->st_mode & 0xF000) == 0x8000) &&
      static_cast<int64_t>(st->st_size) <= blockSize)
    return TQHSMReason::kNotAboveOneBlock;

  int32_t accessDays = ageInDays(m_tInitTime, st->st_atime);
  int32_t modifyDays = ageInDays(m_tInitTime, st->st_mtime);

  // Unsigned comparisons: a day count below zero (a time stamp a day or more
  // after the reference) is a very large number and meets its rule. The first
  // rule that fails, in the order access, modification, size, is the reason.
  const uint64_t size = static_cast<uint64_t>(static_cast<int64_t>(st->st_size));
  TQHSMReason failed = TQHSMReason::kNone;
  int rules = 0;
  if (static_cast<uint64_t>(m_rules.m_lDaysOld) <=
      static_cast<uint64_t>(static_cast<int64_t>(accessDays)))
    ++rules;
  else
    failed = TQHSMReason::kTooRecentlyAccessed;
  if (static_cast<uint64_t>(m_rules.m_lDaysOldMTime) <=
      static_cast<uint64_t>(static_cast<int64_t>(modifyDays)))
    ++rules;
  else if (failed == TQHSMReason::kNone)
    failed = TQHSMReason::kTooRecentlyModified;
  if (size < static_cast<uint64_t>(m_rules.m_lMinFileSize)) {
    if (failed == TQHSMReason::kNone) failed = TQHSMReason::kTooSmall;
  } else if (m_rules.m_lMaxFileSize != 0 && size > static_cast<uint64_t>(m_rules.m_lMaxFileSize)) {
    if (failed == TQHSMReason::kNone) failed = TQHSMReason::kTooLarge;
  } else {
    ++rules;
  }

  if (m_rules.m_bUseAllRules ? rules == 3 : rules >= 1) return TQHSMReason::kNone;
  return failed;
}

TQHSMReason TQHSMHelper::CheckRules(const struct stat* st, const std::string& volume,
                                    bool bIsFile) const {
  if (!m_bRulesInitialized) return TQHSMReason::kNotInitialized;
  if (m_rules.m_ulRulesFlag & 0x2000) return TQHSMReason::kRulesOff;
  if (!st) return TQHSMReason::kBadArguments;
  // A volume never set up has block size 0, as IsDMCandidate sees it.
  auto bs = m_mapFsBlockSize.find(volume);
  return RulesVerdict(st, bs == m_mapFsBlockSize.end() ? 0 : bs->second, bIsFile);
}

int TQHSMHelper::IsDMCandidate(const char* path, struct stat* st, std::string& volume,
                               bool bIsFile, bool bReStubCheck, bool bPruneCheck) {
  // The device number of the live mount point of a snapshot, looked up once per
  // change of volume; shared by every helper of the process.
  static std::string prevMountPointToArchive;
  static dev_t deviceId = 0;

  CScopedPerf perf(m_perf, kTag, ePerfIsDMCandidate);

  if (!m_bRulesInitialized) return m_eLastReason = TQHSMReason::kNotInitialized, 0;
  if (m_rules.m_ulRulesFlag & 0x2000) return m_eLastReason = TQHSMReason::kRulesOff, 0;
  if (!path || !st) return m_eLastReason = TQHSMReason::kBadArguments, 0;

  int64_t amount = m_mapAmountToArchive[volume];
  int64_t blockSize = m_mapFsBlockSize[volume];
  // Every line below is of level 2: one test for all of them, so that a scan
  // that does not log them does not pay for their arguments either.
  const bool detail = m_event.enabled(2);
  if (detail)
    m_event.DebugLvl(kTag, 2, "amountOfDataToArchive: %lld fsBlockSize: %lld volume: %s",
                     static_cast<long long>(amount), static_cast<long long>(blockSize),
                     volume.c_str());

  bool lockTest = !(m_bUseNativeSnap && (m_nRemoteClientId != 0 || m_bIsProxy));
  // A record from the data-classification database has its mode bits but no
  // inode of the file's own: the lock test then does not compare identities.
  struct stat noInode;
  const struct stat* lockSt = st;
  if (m_bUseDC) {
    noInode = *st;
    noInode.st_ino = 0;
    lockSt = &noInode;
  }
  if (lockTest && !m_rules.m_bSkipLockf && tqhsmIsMandLocked(path, lockSt) == 1) {
    m_event.Debug(kTag, "Locked file: %s. Not migrating", path);
    m_eLastReason = TQHSMReason::kLocked;
    return 0;
  }

  const TQHSMReason verdict = RulesVerdict(st, blockSize, bIsFile);
  if (detail && verdict == TQHSMReason::kNotAboveOneBlock)
    m_event.DebugLvl(kTag, 2, "Skipping files smaller than FS Block Size.");
  const bool candidate = verdict == TQHSMReason::kNone;
  if (!candidate) {
    if (detail) m_event.DebugLvl(kTag, 2, "To be skipped...%s", path);
  } else {
    if (detail)
      m_event.DebugLvl(kTag, 2, "amountOfDataToArchive:%lld FileSize:%lld FileSystemBlockSize:%lld",
                       static_cast<long long>(amount), static_cast<long long>(st->st_size),
                       static_cast<long long>(blockSize));
    // The stub keeps one block: the file frees its size less that block.
    amount = saturatingSub(amount, saturatingSub(static_cast<int64_t>(st->st_size), blockSize));
  }

  bool isStub = false;
  int fileState = 2;
  if (m_rules.m_bHonorArchiverRetention) bPruneCheck = true;
  // The inspection is of the file the caller stat-ed: another one in its
  // place (renamed there, or a directory above it swapped) fails it. Records
  // built from the data-classification database carry no inode of their own.
  const struct stat* seen = m_bUseDC ? nullptr : st;

  if (!candidate) {
    m_eLastReason = verdict;
    if (!bPruneCheck) return 0;
    const int glance = seen ? KeptStubAtGlance(path, *seen) : -1;
    if (glance == 0) return 0;
    if (glance == 1) {
      if (detail) m_event.DebugLvl(kTag, 2, "Skipping Orrery Stub %s", path);
      m_eLastReason = TQHSMReason::kStubKept;
      return 2;
    }
    if (IsLocalScan())
      isStub = IsStub(path, seen);
    else
      IsSparseFileStub(path, isStub);  // only the flag counts
    if (!isStub) return 0;
    if (PruneStub(path, st) == 0) return m_eLastReason = TQHSMReason::kStubPruned, 3;
    if (detail) m_event.DebugLvl(kTag, 2, "Skipping Orrery Stub %s", path);
    m_eLastReason = TQHSMReason::kStubKept;
    return 2;
  }

  if (!GetFileInfo(path, seen, isStub, fileState)) {
    m_event.Debug(kTag, "GetFileInfo failed. Skipping file:%s", path);
    m_eLastReason = TQHSMReason::kInspectionFailed;
    return 0;
  }
  if (fileState == 1) {
    m_event.Debug(kTag, "Skipping open file: %s", path);
    m_eLastReason = TQHSMReason::kOpen;
    return 0;
  }
  if (isStub) {
    if (PruneStub(path, st) == 0) return m_eLastReason = TQHSMReason::kStubPruned, 3;
    if (detail) m_event.DebugLvl(kTag, 2, "Skipping Orrery Stub %s", path);
    m_eLastReason = TQHSMReason::kStubKept;
    return 2;
  }

  int64_t& stored = m_mapAmountToArchive[volume];
  if (amount != stored) {
    if (amount <= 0)
      m_event.Error(kTag, "Required space freed on  %s.Remaining files will not be archived",
                    volume.c_str());
    stored = amount;
    if (detail) {
      m_event.DebugLvl(kTag, 2, "To be migrated...%s AmountOfDAtaToArchiveMore : %lld.", path,
                       static_cast<long long>(amount));
      m_event.DebugLvl(kTag, 2, "amountOfDataToArchive: %lld fsBlockSize: %lld volume: %s",
                       static_cast<long long>(amount), static_cast<long long>(blockSize),
                       volume.c_str());
    }
  }

  bool bCheckForRestubbing = false;
  std::string cachedStub;
  // The path as the scan gave it, unless a snapshot path is mapped below.
  const char* collectPath = path;
  std::string hostPath;
  if (m_nRemoteClientId == 0 && !m_bIsProxy) {
    if (detail)
      m_event.DebugLvl(kTag, 2, "m_bUseDC:%d bReStubCheck:%d", m_bUseDC ? 1 : 0,
                       bReStubCheck ? 1 : 0);
    if (m_bUseDC && bReStubCheck) {
      m_event.DebugLvl(kTag, 2, "Doing stat on %s to find out inode", path);
      struct stat fresh;
      if (stat_utf(path, &fresh) == 0) {
        st->st_ino = fresh.st_ino;
        m_event.DebugLvl(kTag, 2, "inode:%llu", static_cast<unsigned long long>(fresh.st_ino));
        if (m_bUseNativeSnap) st->st_dev = fresh.st_dev;
      }
    } else if (m_bUseNativeSnap) {
      if (volume != prevMountPointToArchive) {
        prevMountPointToArchive = volume;
        struct stat live;
        if (stat_utf(volume.c_str(), &live) == 0) deviceId = live.st_dev;
      }
      st->st_dev = deviceId;
      if (!m_bSnapHostMapped && m_pPathMapper) {
        m_pPathMapper->mapProxyToHostPath(path, hostPath);
        collectPath = hostPath.c_str();
      }
    }
    bCheckForRestubbing = IsFileShouldBeReStubbed(volume.c_str(), st, cachedStub);
  }

  unsigned long long inode =
      st->st_ino == 0 ? ~0ULL : static_cast<unsigned long long>(st->st_ino);
  if (m_nRemoteClientId == 0 && !m_bIsProxy) {
    if (detail)
      m_event.DebugLvl(kTag, 2, "m_bReStubbingEnabled:%d bCheckForRestubbing:%d",
                       m_bReStubbingEnabled ? 1 : 0, bCheckForRestubbing ? 1 : 0);
    m_eLastReason = TQHSMReason::kCollected;
    if (m_bReStubbingEnabled && bCheckForRestubbing) {
      // A failed write has sent the file to StubCollect instead.
      m_bReStubbingEnabled = AddToTempCollect(collectPath, true, inode, cachedStub);
      if (m_bReStubbingEnabled) m_eLastReason = TQHSMReason::kSentForReStubbing;
    } else if (!AddToCollect(path, true, inode)) {
      m_eLastReason = TQHSMReason::kNotStored;
    }
  } else {
    m_eLastReason =
        AddToCollect(path, true, inode) ? TQHSMReason::kCollected : TQHSMReason::kNotStored;
  }
  return 1;
}
