#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "Application.h"
#include "Messages.h"
#include "TQHSMHelper.h"

// Start of a scan: counters, application, owned objects, the remote session,
// the subclient's rules, the agent's configuration keys and the collect files.

namespace {

const char* const kTag = "TQHSMHelper::Initialize";
const char* const kAgentSection = "FileSystemAgent";
const char* const kHsmService = "TQHSMService";
const char* const kDefaultSkipFsTypes =
    ":nfs:isofs:openpromfs:smbfs:devfs:procfs:nsspool:sysfs:floppy:lofs:tmpfs:proc:ctfs:ufs:";
const char* const kAccessTimeWarning =
    "Access time rule is enabled without enabling 'use Native Snap to preserve file access "
    "time' option. This may lead to access time of files being changed and thereby delaying "
    "access time rule.";
const unsigned int kAccessTimeEvent = 0x13000359;

// Kilobytes to bytes. A subclient that reports a size beyond what 64 bits hold
// in bytes gets the largest size instead of an overflow.
int64_t kbToBytes(int64_t kb) {
  const int64_t limit = std::numeric_limits<int64_t>::max() / 1024;
  if (kb > limit) return std::numeric_limits<int64_t>::max();
  if (kb < -limit) return std::numeric_limits<int64_t>::min();
  return kb * 1024;
}

bool startsWithY(const std::string& value) {
  return !value.empty() && (value[0] == 'y' || value[0] == 'Y');
}

// Creates an owned platform object; null when that fails for any reason (out of
// memory, or a constructor that throws, such as the low-level context's lock).
template <class T, class... Args>
T* createOrNull(Args&&... args) {
  try {
    return new T(std::forward<Args>(args)...);
  } catch (...) {
    return nullptr;
  }
}

// Asks the backup system whether the archiver keeps its data forever; if so,
// stubs cannot be pruned by the validity of their archive file. Any failure on
// the way leaves that pruning on.
void checkArchiverRetention(TQHSMHelper& h, Subclient& subclient) {
  using namespace tqhsm::retention;
  CNMessageBase request(kFamily, kRequestType);    // GetHonorArchiverRetentionDaysReq
  CNMessageBase response(kFamily, kResponseType);  // GetHonorArchiverRetentionDaysResp

  CNObjectAccessor* object =
      request.getObjectAccessor(true, true, 1, 1, kRequestObjectId, kRequestObjectType, 18, 10);
  if (object) object->setint64(0, 0, subclient.getSubclientId(), kSubclientIdField, kSubclientIdType);

  std::string requestXml;
  request.serialize(requestXml, false);
  h.m_event.DebugLvl(kTag, 2, "Checking archiver retention setting XML-[%s]", requestXml.c_str());

  std::string responseXml;
  int rc = App_ExecuteSP::executeStoredProcedure(App_ExecuteSP::kGetHonorArchiverRetentionDays,
                                                 requestXml, responseXml);
  if (rc != 0) {
    h.m_event.DebugLvl(kTag, -1,
                       "Failed to execute stored procedure GetHonorArchiverRetentionDaysReq[%s], "
                       "error=%d. Stub pruning based on archive file validity will be in effect",
                       requestXml.c_str(), rc);
    return;
  }
  h.m_event.DebugLvl(kTag, 2, "Archiver retention setting out XML-[%s]", responseXml.c_str());

  rc = response.unserialize(responseXml);
  if (rc != 0) {
    h.m_event.DebugLvl(kTag, -1,
                       "Failed to unserialize [%s], error=%d. Stub pruning based on archive file "
                       "validity will be in effect",
                       responseXml.c_str(), rc);
    return;
  }
  int64_t days = response.getint64(1, kDaysField, kDaysType);
  if (static_cast<int32_t>(static_cast<uint32_t>(days)) == -1) {
    h.m_event.DebugLvl(kTag, 0,
                       "Archiver retention is set to infinite, forcing archive file validity "
                       "based retention to false");
    h.m_rules.m_bHonorArchiverRetention = false;
  }
}

// The keys of section "FileSystemAgent".
void readAgentKeys(TQHSMHelper& h, int appId) {
  OBPlatformInfo config;
  TQHSMRules& r = h.m_rules;
  std::string value;

  if (config.getString(kAgentSection, "sSKIPLOCKF", value)) {
    r.m_bSkipLockf = startsWithY(value);
    h.m_event.DebugLvl(kTag, 2, "sSKIPLOCKF option set in FileSystemAgent registry.");
  } else {
    r.m_bSkipLockf = false;
    h.m_event.DebugLvl(kTag, 2, "sSKIPLOCKF option not set in FileSystemAgent registry.");
  }
  h.m_event.DebugLvl(kTag, 2, "Skip mandatory lock tests: %s", r.m_bSkipLockf ? "YES" : "NO");

  r.m_bSkipSmallerThanFsBlock = !r.m_bDoNotCreateStub;
  if (config.getString(kAgentSection, "sTQHSM_SKIP_FILES_SMALLER_THAN_FSBLOCK", value)) {
    r.m_bSkipSmallerThanFsBlock = startsWithY(value);
    h.m_event.DebugLvl(kTag, 2,
                       "sTQHSM_SKIP_FILES_SMALLER_THAN_FSBLOCK option set in FileSystemAgent "
                       "registry.");
  } else {
    h.m_event.DebugLvl(kTag, 2,
                       "sTQHSM_SKIP_FILES_SMALLER_THAN_FSBLOCK option not set in FileSystemAgent "
                       "registry.");
  }
  h.m_event.DebugLvl(kTag, 2, "Skip files smaller than FS block size : %s.",
                     r.m_bSkipSmallerThanFsBlock ? "YES" : "NO");

  if (config.getString(kAgentSection, "sSKIP_FS_TO_MONITOR", value) && !value.empty())
    h.m_sSkipFsTypes = value;
  else
    h.m_sSkipFsTypes = kDefaultSkipFsTypes;

  char key[64];
  snprintf(key, sizeof key, "LimitStubCollect_%d", appId);
  uint64_t limit = 0;
  if (config.getNumber(kAgentSection, key, limit) && limit != 0) {
    h.m_ulLimitStubCollect = limit;
    h.m_event.Debug(kTag,
                    "Registry key '%s' exists under %s section, will limit files to stub to [%lu]",
                    key, kAgentSection, static_cast<unsigned long>(h.m_ulLimitStubCollect));
  }

  h.m_event.Debug(kTag, "Will Skip all fileSystems of type %s", h.m_sSkipFsTypes.c_str());
  h.m_event.Debug(kTag, "Skip files smaller than FS block: %s",
                  r.m_bSkipSmallerThanFsBlock ? "YES" : "NO");
}

int initialize(TQHSMHelper& h, int appKey, int appId, int driverMode) {
  // The counters, before anything they could time.
  h.m_perf.initPerfCounters(h.m_event);
  h.m_perf.AddPerfCounter(ePerfIsDMCandidate, "IsDMCandidate", PerfCounter::eCtrBaseDefault, false);
  h.m_perf.AddPerfCounter(ePerfGetFileInfo, "GetFileInfo", PerfCounter::eCtrBaseDefault, false);
  h.m_perf.AddPerfCounter(ePerfBackupStub, "backupStub", PerfCounter::eCtrBaseDefault, false);
  h.m_perf.AddPerfCounter(ePerfIsAFilePruned, "isAFilePruned", PerfCounter::eCtrBaseDefault, false);
  h.m_perf.AddPerfCounter(ePerfRestubCheck, "RestubCheck", PerfCounter::eCtrBaseDefault, false);

  ApplicationId application(appKey, appId);
  if (application.getApplicationId() != 0) {
    h.m_event.Error(kTag, "Failed to get application id.");
    return -1;
  }

  // Archive-manager and Parvis clients (a failure here shows later, when the
  // prune check finds no client).
  if (!h.m_rules.m_pParvisMapper) h.m_rules.m_pParvisMapper = createOrNull<ParvisMapper>();
  if (!h.m_rules.m_pArchive)
    h.m_rules.m_pArchive = createOrNull<OBArchive>(OBPI_Focus::getFocusClientName(false),
                                                   static_cast<OBJobCtrlClient*>(nullptr), true);

  if (!h.m_pLowLevelCtx) h.m_pLowLevelCtx = createOrNull<TQHSMLowLevelCtx>(driverMode);
  if (!h.m_pLowLevelCtx) {
    h.m_event.Error(kTag, "Failed to instantiate TQHSMLowLevelCtx object.");
    return -1;
  }

  // A remote client's files are inspected through its own HSM service.
  if (h.m_nRemoteClientId != 0) {
    if (!h.m_pSession) h.m_pSession = createOrNull<CObNetwork>();
    if (!h.m_pSession) {
      h.m_event.Error(kTag, "Failed to instantiate ObSession object.");
      return -1;
    }
    OBClient client(h.m_nRemoteClientId);
    OBPlatformInfo platform;
    std::string physicalMachine = platform.getPhysicalMachine();
    std::string hostMangled;
    if (client.getNetworkHostnameMangled(hostMangled) != 0 ||
        client.getShortName(h.m_sRemoteClientName) != 0) {
      h.m_event.Error(kTag, "Failed to get remote hostname mangled for client id %d.",
                      h.m_nRemoteClientId);
      return -1;
    }
    int port = 0;
    std::string portError;
    if (client.getServicePort(port, portError) != 0) {
      h.m_event.Error(kTag, "Failed to attach to On demand service [%s].Error [%s]", kHsmService,
                      portError.c_str());
      return -1;
    }
    h.m_pSession->setServicePort(port);
    bool flag = false;
    CZoError err =
        h.m_pSession->Attach_RemoteService(hostMangled, kHsmService, physicalMachine, 300, flag);
    if (err.IsError()) {
      h.m_event.Error(kTag, "Failed to attach to On demand service [%s].Error [%s]", kHsmService,
                      err.AsString().c_str());
      return -1;
    }
  }

  Subclient* subclient = application.getSubclient();
  if (subclient && subclient->getGUIDStr(h.m_sAppGUID) != 0) {
    h.m_event.DebugLvl(kTag, -1, "Could not get App GUID for AppID[=%d]", appId);
    h.m_sAppGUID = "";
  }

  subclient = application.getSubclient();
  if (!subclient) {
    h.m_event.Error(kTag, "Failed to get SubClient.");
    return -1;
  }

  // The getters' results are not examined: a getter that fails hands back its
  // default.
  TQHSMRules& r = h.m_rules;
  subclient->getHighFreeSpace(r.m_nHighFreeSpace);
  subclient->getLowFreeSpace(r.m_nLowFreeSpace);
  subclient->getDaysOld(r.m_lDaysOld);
  subclient->getDaysOldMTime(r.m_lDaysOldMTime);
  subclient->getMinFileSizeKB(r.m_lMinFileSize);
  subclient->getMaxFileSizeKB(r.m_lMaxFileSize);

  // Sizes come in kilobytes; a maximum not above the minimum means no maximum.
  if (r.m_lMaxFileSize != 0 &&
      static_cast<uint64_t>(r.m_lMaxFileSize) <= static_cast<uint64_t>(r.m_lMinFileSize))
    r.m_lMaxFileSize = 0;
  else
    r.m_lMaxFileSize = kbToBytes(r.m_lMaxFileSize);
  r.m_lMinFileSize = kbToBytes(r.m_lMinFileSize);

  subclient->getDeleteStubAfterNDays(r.m_lDeleteStubAfterNDays);
  r.m_bHonorArchiverRetention = subclient->isHonorArchiverAgentRetention();
  if (r.m_bHonorArchiverRetention) checkArchiverRetention(h, *subclient);

  // "Now" of the age rules, once per scan.
  h.m_tInitTime = time(nullptr);

  uint64_t flags = 0;
  subclient->getRulesFlag(flags);
  r.m_ulRulesFlag = flags;
  r.m_bUseAllRules = true;
  r.m_bDoNotCreateStub = (flags & 0x4) != 0;
  h.m_bRulesInitialized = true;

  if (flags & 0x2000) {
    h.m_event.DebugLvl(kTag, 1, "Archive Rules disabled.");
    return 0;
  }

  h.m_event.DebugLvl(kTag, 1, "Archive Rules Enabled.");
  readAgentKeys(h, appId);

  // The stub cache serves this machine's live file systems only.
  if (h.m_nRemoteClientId == 0 && !h.m_bIsProxy)
    getStubCacheInfo(OBPI_Focus::getFocusClientName(true), r.m_bStubCacheEnabled,
                     r.m_sStubCacheLocation);

  if (h.m_bUseDC) h.m_event.DebugLvl(kTag, 2, "We will use DC.");
  h.m_event.Debug(kTag, "HSM Rules Initialized.");
  h.PrintHSMRules();

  // A dry run's lists carry a suffix: no archiving phase may take them for
  // a real run's.
  const std::string usualPath = h.m_sJobResultsDir + "/" + h.m_sCollectFileName;
  const std::string suffix = h.IsDryRun() ? TQHSM_DRY_RUN_SUFFIX : "";
  std::string collectPath = usualPath + suffix;
  if (h.m_stubCollect.Initialize(collectPath) == 0) {
    h.m_event.Error(kTag, "Failed to initialize collect file %s.", collectPath.c_str());
    return -1;
  }
  h.m_event.DebugLvl(kTag, 2, "StubCollect file initialized at %s.", collectPath.c_str());
  h.m_stubCollect.SetSeperator('|');

  // Without StubCollectTemp there is no re-stubbing, but the scan goes on.
  h.m_sTempCollectPath = usualPath + "_temp" + suffix;
  if (h.m_tempCollect.Initialize(h.m_sTempCollectPath) == 0) {
    h.m_event.Error(kTag, "Failed to initialize temp collect file %s.",
                    h.m_sTempCollectPath.c_str());
    h.m_event.Error(kTag, "We would not be able to chekc for re-stubbing.");
    h.m_bReStubbingEnabled = false;
  } else {
    h.m_event.DebugLvl(kTag, 2, "StubCollectTemp file initialized at %s.",
                       h.m_sTempCollectPath.c_str());
    h.m_tempCollect.SetSeperator('|');
  }

  // Reading files through the live file system changes their access time.
  if (r.m_lDaysOld != 0 && !h.m_bUseNativeSnap) {
    h.m_event.DebugLvl(kTag, 1, "Warning: %s", kAccessTimeWarning);
    h.m_event << kAccessTimeWarning;
    h.m_event.CriticalEvent(kAccessTimeEvent, 0, 0);
  }
  return 1;
}

}  // namespace

int TQHSMHelper::Initialize(int appKey, int appId, int driverMode) {
  // Nothing may escape into the scan process; running out of memory half-way
  // is a failed initialisation like any other.
  try {
    return initialize(*this, appKey, appId, driverMode);
  } catch (const std::exception& e) {
    m_event.Error(kTag, "Initialization stopped: %s.", e.what());
  } catch (...) {
    m_event.Error(kTag, "Initialization stopped by an unexpected error.");
  }
  return -1;
}
