#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdint>
#include <ctime>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "ArchiveManager.h"
#include "CollectFile.h"
#include "EvEvent.h"
#include "FetchIndexInfo.h"
#include "HSMLowLevel.h"
#include "ObSession.h"
#include "PerfCounter.h"
#include "Platform.h"
#include "TQHSMExport.h"

class MyIndexInfoResp;

// What the scan process hands to the helper when it constructs it. The helper
// copies what it needs and keeps no reference to the record.
struct TQHSM_API TQHSMHelperInitArgs {
  int64_t m_jobId = 0;
  std::string m_sJobResultsDir;
  std::string m_sCollectFileName;
  std::string m_sAuxName;
  EvEvent m_event;  // logs to the process's default sink unless told otherwise
  OBJobCtrlClient* m_pJobCtrl = nullptr;
  bool m_bUseDC = false;
  int32_t m_nRemoteClientId = 0;
  bool m_bIsProxy = false;
  PathMapper* m_pPathMapper = nullptr;
  std::string m_sIndexInitName;
  int32_t m_nIndexInitArg = 0;
  int32_t m_nAppId = 0;
  uint64_t m_nIndexInitArg2 = 0;
  bool m_bUseNativeSnap = false;
  int64_t m_llSnapCollectArg = 0;
};

// An archive file (AF) as a cache key: ordered by archive file id, then copy
// precedence, then Parvis number.
struct TQHSM_API PrunedAF {
  PrunedAF(uint64_t parvis, uint64_t copyPrec, uint64_t afile)
      : parvisNumber(parvis), copyPrecedence(copyPrec), afileId(afile) {}
  bool operator<(const PrunedAF& other) const {
    if (afileId != other.afileId) return afileId < other.afileId;
    if (copyPrecedence != other.copyPrecedence) return copyPrecedence < other.copyPrecedence;
    return parvisNumber < other.parvisNumber;
  }
  uint64_t parvisNumber;
  uint64_t copyPrecedence;
  uint64_t afileId;
};

// The subclient's archive rules and the archive-file prune caches.
class TQHSM_API TQHSMRules {
 public:
  TQHSMRules();
  ~TQHSMRules();
  TQHSMRules(const TQHSMRules&) = delete;
  TQHSMRules& operator=(const TQHSMRules&) = delete;

  // 1 pruned, 0 not pruned, -1 the question could not be answered.
  int isAFilePruned(uint64_t parvisNumber, uint64_t copyPrecedence, uint64_t afileId);
  int isAFilePruned(const std::vector<char>& stubData, const char* path,
                    const std::string& appGUID, uint64_t appId);
  // The same for a decoded stub record; path is for messages. With ask
  // false nothing is asked of the archive manager or an index:
  // kVerdictNotKnown when the answer is not known from this run already.
  static const int kVerdictNotKnown = -2;
  int stubPruneVerdict(const ReparseData& stub, const char* path, const std::string& appGUID,
                       uint64_t appId, bool ask);

  int32_t m_nHighFreeSpace;
  int32_t m_nLowFreeSpace;
  int64_t m_lDaysOld;
  int64_t m_lDaysOldMTime;
  int64_t m_lMinFileSize;
  int64_t m_lMaxFileSize;
  int64_t m_lDeleteStubAfterNDays;
  bool m_bDoNotCreateStub;
  bool m_bUseAllRules;
  bool m_bUseDC;
  uint64_t m_ulRulesFlag;
  bool m_bSkipLockf;
  bool m_bSkipSmallerThanFsBlock;
  bool m_bStubCacheEnabled;
  std::string m_sStubCacheLocation;
  ParvisMapper* m_pParvisMapper;
  OBArchive* m_pArchive;
  std::map<PrunedAF, bool> m_mapPrunedAF;
  std::map<PrunedAF, FetchIndexInfo*> m_mapAFIndexInfo;
  bool m_bHonorArchiverRetention;
};

// The free-space figures of one mount point, taken once when it is built. When
// statvfs64 fails every figure is 0, so no budget can arise from it.
class TQHSM_API TQHSMVolume {
 public:
  explicit TQHSMVolume(const std::string& mountPoint);
  ~TQHSMVolume();

  bool GetFreeDiskBytes(int64_t& freeBytes, std::string& error);
  int64_t GetBytesForPercent(int percent, std::string& error);
  int64_t GetFSBlockSize() const { return m_blockSize; }

  struct statvfs64 m_vfs;
  int64_t m_blockSize;
  std::string m_sPath;
};

// The helper's performance counters.
enum EPerfCounterId {
  ePerfIsDMCandidate = 1,
  ePerfGetFileInfo = 2,
  ePerfBackupStub = 3,
  ePerfIsAFilePruned = 4,
  ePerfRestubCheck = 5,
};

// Times one counter for the life of a scope. It runs around every file the
// scan meets, so it copies nothing: name must outlive the guard (the callers
// pass string literals).
class TQHSM_API CScopedPerf {
 public:
  CScopedPerf(PerfCounter& perf, const char* name, EPerfCounterId id)
      : m_pName(name), m_id(id), m_pPerf(&perf) {
    m_pPerf->StartPerfCounter(m_pName, m_id);
  }
  ~CScopedPerf() { m_pPerf->StopPerfCounter(m_pName, m_id, 0); }
  CScopedPerf(const CScopedPerf&) = delete;
  CScopedPerf& operator=(const CScopedPerf&) = delete;

 private:
  const char* m_pName;
  EPerfCounterId m_id;
  PerfCounter* m_pPerf;
};

// What the lists of a dry run are called: their usual names plus this, so that
// no archiving phase can take them for a real run's.
#define TQHSM_DRY_RUN_SUFFIX ".dryrun"

// One act of the helper on a file of the scanned tree, as its owner is told of
// it (TQHSMHelper::SetActionObserver). The texts are valid during the call only.
struct TQHSM_API TQHSMAction {
  enum Kind {
    eStubDeleted = 1,    // a stub whose AF has been pruned (PruneStub)
    eFileReStubbed = 2,  // a recalled file turned back into a stub from its cached stub
  };
  Kind m_eKind = eStubDeleted;
  const char* m_pPath = nullptr;        // the file (the host path)
  const char* m_pCachedStub = nullptr;  // eFileReStubbed: the cached stub it came from
  // The AF of the stub: the one deleted, or the one the new stub points to.
  uint64_t m_ulParvisNumber = 0;
  uint64_t m_ulCopyPrecedence = 0;
  uint64_t m_ulAfileId = 0;
  // A dry run: nothing was done; this is what a real run would have done.
  bool m_bDryRun = false;
  // Null when the act was done (or, in a dry run, would be); otherwise why it
  // was attempted and failed (a stub that could not be deleted still counts as
  // pruned, result 3).
  const char* m_pError = nullptr;
};

// Told of every act of a helper on a file of the scanned tree, from the
// helper's thread, right after the act.
class TQHSM_API TQHSMActionObserver {
 public:
  virtual ~TQHSMActionObserver();
  virtual void OnAction(const TQHSMAction& action) = 0;
};

// Why IsDMCandidate answered what it did, for the call just made
// (TQHSMHelper::LastReason). Each call ends in exactly one of these.
//
// When the rules turn a file down, one rule is named, by this precedence: the
// block-size rule first (it vetoes whatever the others say), then the access
// age, the modification age, the size. With UseAllRules (all three must hold)
// that is the first of them that fails; without it (any one suffices) all
// three failed and the access age is named. The same file under the same
// rules thus always gets the same reason.
enum class TQHSMReason : uint8_t {
  kNone = 0,             // no call made yet
  kNotInitialized,       // Initialize has not read the rules
  kRulesOff,             // RulesFlag has bit 0x2000: archive rules disabled
  kBadArguments,         // no path or no stat record
  kLocked,               // a mandatory lock is held on the file
  kNotAboveOneBlock,     // the file is not larger than one file-system block
  kTooRecentlyAccessed,  // accessed fewer than DaysOld days before Initialize
  kTooRecentlyModified,  // modified fewer than DaysOldMTime days before Initialize
  kTooSmall,             // smaller than MinFileSizeKB
  kTooLarge,             // larger than MaxFileSizeKB
  kInspectionFailed,     // a candidate that could not be inspected (or is not the file stat-ed)
  kOpen,                 // a candidate that some process has open
  kStubKept,             // a stub that stays (its AF is not pruned, or that is not known)
  kStubPruned,           // a stub whose AF is pruned: deleted (result 3)
  kCollected,            // handed to StubCollect (result 1)
  kSentForReStubbing,    // handed to StubCollectTemp, to be re-stubbed from its cached stub
  kNotStored,            // a candidate (result 1) that StubCollect could not take ("Can not add")
  // Never given by IsDMCandidate; for the scan that drives it:
  kVolumeWithoutBudget,  // not handed over: MoreFilesToArchive said its volume needs no more
  kChangedSinceListed,   // not handed over: no longer the file an earlier pass listed
  kCount                 // the number of reasons, not one of them
};

// A reason's stable short name ("too_recently_accessed"), for files and JSON
// keys, and its text for people ("too recently accessed (DaysOld)"). Both are
// static strings; an out-of-range value gives "unknown".
TQHSM_API const char* TQHSMReasonName(TQHSMReason reason);
TQHSM_API const char* TQHSMReasonText(TQHSMReason reason);

// The data-migration helper of the file-system scan. One object per scan,
// used from one thread; see README for the calling order.
class TQHSM_API TQHSMHelper {
 public:
  explicit TQHSMHelper(TQHSMHelperInitArgs& args);
  virtual ~TQHSMHelper();
  TQHSMHelper(const TQHSMHelper&) = delete;
  TQHSMHelper& operator=(const TQHSMHelper&) = delete;

  void PrintHSMRules();
  // The owner of the object says whether snapshot paths are already host paths.
  void SetSnapHostMapped(bool mapped) { m_bSnapHostMapped = mapped; }
  // No-action mode. Every decision is made as usual and every result is what
  // a real run would give, but no stub is deleted, no file re-stubbed, no
  // cached stub deleted, and the watch list and the migrated trees are only
  // read; the lists (StubCollect, StubCollectTemp, the rewrite and dump
  // files) get TQHSM_DRY_RUN_SUFFIX after their usual names. The log says
  // what would have been done ("Would delete stub ...").
  // REQUIRES: called before Initialize, which names the lists.
  void SetDryRun(bool dryRun) { m_bDryRun = dryRun; }
  bool IsDryRun() const { return m_bDryRun; }
  // Every stub deleted and file re-stubbed (in a dry run: that would be) is
  // told to observer, which stays the caller's; null (the default) tells
  // nobody and costs nothing.
  void SetActionObserver(TQHSMActionObserver* observer) { m_pActionObserver = observer; }

  // Start and end of a scan.
  int Initialize(int appKey, int appId, int driverMode);
  int DeInitialize(int failed);

  // Stub and file inspection.
  bool GetFileInfo(const char* path, bool& isStub, int& fileState);
  // The same with the caller's stat record of the file: a file that is not the
  // one of st (device and inode) or not a regular file fails the inspection.
  bool GetFileInfo(const char* path, const struct stat* st, bool& isStub, int& fileState);
  bool IsStub(const char* path);
  bool IsStub(const char* path, const struct stat* st);
  bool IsSparseFileStub(const char* path, bool& isStub);
  bool GetGUIDFromStub(const char* path, std::string& stubGUID);
  bool GetGUIDIfStub(const char* path, std::string& stubGUID);

  // Candidate decision and volume accounting.
  int IsDMCandidate(const char* path, struct stat* st, std::string& volume, bool bIsFile,
                    bool bReStubCheck, bool bPruneCheck);
  // Why the last IsDMCandidate call answered what it did. Recording it costs
  // one store per call, whether or not anybody asks.
  TQHSMReason LastReason() const { return m_eLastReason; }
  // The archive rules alone for a file of volume as st describes it: what
  // IsDMCandidate would decide of its ages, size and block size before it
  // looks at the file itself. No lock test, no inspection, nothing changed
  // (no budget, no list, no map entry). kNone when the rules are met, else
  // why not (kNotInitialized, kRulesOff, kBadArguments, or the rule, by the
  // precedence of TQHSMReason). A file that meets them may still be turned
  // down by IsDMCandidate (locked, open, a stub, ...); one that does not is
  // never collected, but may still be a stub to prune (bPruneCheck).
  TQHSMReason CheckRules(const struct stat* st, const std::string& volume, bool bIsFile) const;
  int resetVolume(const char* path, std::string& error, bool bSkipNestedMounts);
  bool MoreFilesToArchive(std::string& mountPoint);

  // Collect files.
  int AddToCollect(const char* path, bool add, unsigned long long inode);
  bool AddToTempCollect(const char* path, bool add, unsigned long long inode,
                        std::string& stubCacheName);
  void AddAllItemsFromTempCollectFile();

  // Stub cache and re-stubbing.
  bool IsFileShouldBeReStubbed(const char* path, struct stat* st, std::string& cachedStub);
  bool ProcessStubCache(bool bUseStubCache, const char* path, struct stat* st);
  bool GetGUIDFromStubInCache(const char* name, std::string& stubGUID);
  bool ProcessFilesForReStubbing(const char* unused);
  bool GetAppIDGUIDAndStubGUID(const std::string& stubPath, std::string& stubGUID,
                               std::string& appGUID, uint64_t& appId);
  bool AddToRestubbingMountPoints(std::string& path);
  // Re-stubs one file of the pass from its cached stub, or collects it.
  void ReStubFile(const std::string& filePath, const std::string& cachedStub, long long inode);

  // Stub pruning.
  int PruneStub(const char* path, struct stat* st);
  // Whether a non-candidate the walk stat-ed (st) is a stub that stays, told
  // from its stub attribute read by path and what this run knows of its AF
  // already: 1 a stub kept, 0 no stub attribute (not a stub), -1 not told
  // this way (IsStub and PruneStub decide, through a checked descriptor).
  int KeptStubAtGlance(const char* path, const struct stat& st);

  // Volume watching and path mapping.
  bool startWatchingVolume(const char* path, std::string& error);
  bool ProcessMigratedVolumes();
  int CleanupNewHSMMountPoints();
  void MapProxyPathToHostPath(const std::string& proxyPath, std::string& hostPath);

  // The scan is local: this machine's live file systems, answered by the HSM
  // low-level library.
  bool IsLocalScan() const { return m_nRemoteClientId == 0 && !m_bIsProxy && !m_bUseNativeSnap; }

  // What the run's lists lost, for the helper's owner (a scan that lost
  // anything has to end as failed). Candidates that could not be stored in
  // StubCollect, each named by a "Can not add" line:
  uint64_t CandidatesNotCollected() const { return m_ulNotCollected; }
  // Candidates of StubCollectTemp that could not be read back, so that they
  // were neither collected nor re-stubbed:
  uint64_t TempCandidatesLost() const { return m_ulTempLost; }
  // The failure of StubCollect that DeInitialize found when it closed the file
  // (empty when there was none), and how many acknowledged lines it may cost.
  const std::string& CollectFileError() const { return m_sCollectFileError; }
  uint64_t CollectLinesAffected() const { return m_ulCollectLinesAffected; }
  // Why a volume could not be put under watching, by the path asked for.
  const std::map<std::string, std::string>& WatchFailures() const { return m_mapWatchFailures; }

  EvEvent m_event;
  CObNetwork* m_pSession;
  TQHSMRules m_rules;
  bool m_bRulesInitialized;
  time_t m_tInitTime;
  TQHSMVolume* m_pVolume;
  TQHSMLowLevelCtx* m_pLowLevelCtx;
  std::map<std::string, bool> m_mapVolumesToWatch;
  std::map<std::string, int64_t> m_mapAmountToArchive;
  std::map<std::string, int64_t> m_mapFsBlockSize;
  OBJobCtrlClient* m_pJobCtrl;
  PathMapper* m_pPathMapper;
  bool m_bIsProxy;
  int32_t m_nRemoteClientId;
  std::string m_sRemoteClientName;
  bool m_bUseDC;
  std::string m_sJobResultsDir;
  std::string m_sCollectFileName;
  std::string m_sAuxName;
  int64_t m_jobId;
  CollectFile m_stubCollect;
  std::list<std::string> m_lstNewHSMMountPoints;
  std::string m_sIndexInitName;
  int64_t m_nIndexInitArg;
  int64_t m_nAppId;
  uint64_t m_nIndexInitArg2;
  std::string m_sTempCollectPath;
  CollectFile m_tempCollect;
  MyIndexInfoResp* m_pIndexResp;
  bool m_bReStubbingEnabled;
  std::string m_sSkipFsTypes;
  std::string m_sAppGUID;
  std::vector<std::string> m_vecNoXattrMounts;
  bool m_bUseNativeSnap;
  bool m_bSnapHostMapped;
  std::list<std::string> m_lstRestubMountPoints;
  int64_t m_llSnapCollectArg;
  uint64_t m_ulLimitStubCollect;
  uint64_t m_ulFilesCollected;
  PerfCounter m_perf;

  // The entry of the collect line being built, kept from one candidate to the
  // next so that a line costs no allocation.
  std::string m_sEntryBuf;

  // Bookkeeping of the accessors above.
  uint64_t m_ulNotCollected = 0;
  uint64_t m_ulTempLost = 0;
  uint64_t m_ulTempExpected = 0;  // records the StubCollectTemp file is known to hold
  uint64_t m_ulCollectLinesAffected = 0;
  std::string m_sCollectFileError;
  std::map<std::string, std::string> m_mapWatchFailures;
  bool m_bDryRun = false;
  TQHSMActionObserver* m_pActionObserver = nullptr;
  TQHSMReason m_eLastReason = TQHSMReason::kNone;

 private:
  // The rules arithmetic of IsDMCandidate on the caller's record: kNone for a
  // candidate, else the rule that turns it down (TQHSMReason's precedence).
  TQHSMReason RulesVerdict(const struct stat* st, int64_t blockSize, bool bIsFile) const;
  friend class ReStubQueue;  // the re-stubbing pass's batches (ReStubbing.cpp)
  // A list's path: the usual one, or in a dry run with TQHSM_DRY_RUN_SUFFIX.
  std::string ListPath(const std::string& usual) const {
    return m_bDryRun ? usual + TQHSM_DRY_RUN_SUFFIX : usual;
  }
  // Tells the observer (when there is one) of an act on path; the AF from the
  // stub data or the reparse text given.
  void TellAction(TQHSMAction::Kind kind, const char* path, const char* cachedStub,
                  const ReparseData& af, const char* error);
  bool startWatching(const char* path, std::string& error);
  bool CloseTempCollect();
  void ReportTempLoss(const char* tag, uint64_t lost, const char* why);
  uint64_t MoveTempRecords(FILE* file);
};
