#include "TQHSMHelper.h"

// Construction, destruction and printing of the helper and its rules.

TQHSMRules::TQHSMRules()
    : m_nHighFreeSpace(0),
      m_nLowFreeSpace(0),
      m_lDaysOld(0),
      m_lDaysOldMTime(0),
      m_lMinFileSize(0),
      m_lMaxFileSize(0),
      m_lDeleteStubAfterNDays(0),
      m_bDoNotCreateStub(false),
      m_bUseAllRules(true),
      m_bUseDC(false),
      m_ulRulesFlag(0x2000),
      m_bSkipLockf(false),
      m_bSkipSmallerThanFsBlock(true),
      m_bStubCacheEnabled(false),
      m_pParvisMapper(nullptr),
      m_pArchive(nullptr),
      m_bHonorArchiverRetention(false) {}

TQHSMRules::~TQHSMRules() {
  if (m_pParvisMapper) {
    delete m_pParvisMapper;
    m_pParvisMapper = nullptr;
  }
  if (m_pArchive) {
    delete m_pArchive;
    m_pArchive = nullptr;
  }
  while (!m_mapAFIndexInfo.empty()) {
    auto first = m_mapAFIndexInfo.begin();
    delete first->second;
    m_mapAFIndexInfo.erase(first);
  }
}

TQHSMHelper::TQHSMHelper(TQHSMHelperInitArgs& args)
    : m_event(args.m_event),
      m_pSession(nullptr),
      m_bRulesInitialized(false),
      m_tInitTime(0),
      m_pVolume(nullptr),
      m_pLowLevelCtx(nullptr),
      m_pJobCtrl(args.m_pJobCtrl),
      m_pPathMapper(args.m_pPathMapper),
      m_bIsProxy(args.m_bIsProxy),
      m_nRemoteClientId(args.m_nRemoteClientId),
      m_bUseDC(args.m_bUseDC),
      m_sJobResultsDir(args.m_sJobResultsDir),
      m_sCollectFileName(args.m_sCollectFileName),
      m_sAuxName(args.m_sAuxName),
      m_jobId(args.m_jobId),
      m_sIndexInitName(args.m_sIndexInitName),
      m_nIndexInitArg(args.m_nIndexInitArg),
      m_nAppId(args.m_nAppId),
      m_nIndexInitArg2(args.m_nIndexInitArg2),
      m_pIndexResp(nullptr),
      m_bReStubbingEnabled(true),
      m_bUseNativeSnap(args.m_bUseNativeSnap),
      m_bSnapHostMapped(false),
      m_llSnapCollectArg(args.m_llSnapCollectArg),
      m_ulLimitStubCollect(0),
      m_ulFilesCollected(0),
      m_perf(nullptr) {}

TQHSMHelper::~TQHSMHelper() {
  if (m_pLowLevelCtx) {
    delete m_pLowLevelCtx;
    m_pLowLevelCtx = nullptr;
  }
  if (m_pVolume) {
    delete m_pVolume;
    m_pVolume = nullptr;
  }
  if (m_pSession) {
    bool flag = false;
    m_pSession->Disconnect(300, flag);  // the outcome changes nothing here
    delete m_pSession;
    m_pSession = nullptr;
  }
  // The remaining members die in reverse declaration order.
}

void TQHSMHelper::PrintHSMRules() {
  const char* tag = "TQHSMHelper::PrintHSMRules";
  m_event.DebugLvl(tag, 0, "SUBLCIENT SETTINGS");
  m_event.DebugLvl(tag, 0, "\tHigh Free Space\t\t:%d", m_rules.m_nHighFreeSpace);
  m_event.DebugLvl(tag, 0, "\tLow Free Space\t\t:%d", m_rules.m_nLowFreeSpace);
  m_event.DebugLvl(tag, 0, "\tDays Old\t\t:%ld", static_cast<long>(m_rules.m_lDaysOld));
  m_event.DebugLvl(tag, 0, "\tDays Old (M-Time)\t:%ld", static_cast<long>(m_rules.m_lDaysOldMTime));
  m_event.DebugLvl(tag, 0, "\tMin File Size\t\t:%ldB", static_cast<long>(m_rules.m_lMinFileSize));
  m_event.DebugLvl(tag, 0, "\tMax File Size\t\t:%ldB", static_cast<long>(m_rules.m_lMaxFileSize));
  m_event.DebugLvl(tag, 0, "\tHonor Archiver Retention:\t:%s",
                   m_rules.m_bHonorArchiverRetention ? "Yes" : "No");
  if (m_rules.m_lDeleteStubAfterNDays != 0)
    m_event.DebugLvl(tag, 0, "\tDeleteStubAfterNDatys\t:%ld",
                     static_cast<long>(m_rules.m_lDeleteStubAfterNDays));
  m_event.DebugLvl(tag, 0, "\tDoNotCreateStub\t\t:%s", m_rules.m_bDoNotCreateStub ? "TRUE" : "FALSE");
  m_event.DebugLvl(tag, 0, "\tUseAllRules\t\t:%s", m_rules.m_bUseAllRules ? "TRUE" : "FALSE");
  m_event.DebugLvl(tag, 0, "\tRules Flag\t\t:%ld", static_cast<long>(m_rules.m_ulRulesFlag));
  m_event.DebugLvl(tag, 0, "\tUse DC\t\t:%s", m_rules.m_bUseDC ? "TRUE" : "FALSE");
}
