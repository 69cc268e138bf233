#include "TQHSMHelper.h"

// Whether the archive file (AF) behind a stub has been pruned, with one
// archive-manager question and at most one index client per AF per run.

namespace {
const char* kTag = "isAFilePruned";
const uint32_t kStubGUIDKind = 0x85ED33A1u;
}  // namespace

int TQHSMRules::isAFilePruned(uint64_t parvisNumber, uint64_t copyPrecedence, uint64_t afileId) {
  EvDebug log;
  PrunedAF key(parvisNumber, copyPrecedence, afileId);
  auto cached = m_mapPrunedAF.find(key);
  if (cached != m_mapPrunedAF.end()) return cached->second ? 1 : 0;

  uint64_t parvisId = m_pParvisMapper ? m_pParvisMapper->numberToId(parvisNumber) : 0;
  if (parvisId == 0) parvisId = 2;
  OBA_GetCopyIdByAfileCopyPrec50Req_t request;
  request.afileId = afileId;
  request.copyPrecedence = copyPrecedence;
  request.parvisId = parvisId;
  request.reserved = 0;
  OBA_GetCopyIdByAfileCopyPrec50Resp_t response;
  response = OBA_GetCopyIdByAfileCopyPrec50Resp_t();
  int rc = m_pArchive ? m_pArchive->getAfileCopy(request, response) : -1;
  if (rc != 0) {
    // Not cached: the next stub of this AF asks again.
    log.Error(kTag, "Checking AFile [%lu:%lu:%lu] failed - %d",
              static_cast<unsigned long>(parvisNumber), static_cast<unsigned long>(copyPrecedence),
              static_cast<unsigned long>(afileId), rc);
    return -1;
  }
  bool pruned = response.copyId == 0 || response.prunedFlag == 1;
  m_mapPrunedAF[key] = pruned;
  log.Debug(kTag, "AFile [%lu:%lu:%lu] %s", static_cast<unsigned long>(parvisNumber),
            static_cast<unsigned long>(copyPrecedence), static_cast<unsigned long>(afileId),
            pruned ? "has been pruned" : "has not been pruned yet");
  return pruned ? 1 : 0;
}

int TQHSMRules::isAFilePruned(const std::vector<char>& stubData, const char* path,
                              const std::string& appGUID, uint64_t appId) {
  EvDebug log;
  const char* p = path ? path : "";
  char reparse[256];
  reparse[0] = '\0';
  if (stubData.empty() || !tqhsm_stub2meta(stubData.data(), stubData.size(), nullptr, nullptr,
                                           reparse, sizeof reparse, false)) {
    log.Error(kTag, "Failed to extract metadata from stub %s", p);
    return -1;
  }
  ReparseData stub;
  if (ParseStubReparseData(reparse, stub) == 0) {
    log.Error(kTag, "Failed to parse stub reparse data of '%s'", p);
    return -1;
  }
  return stubPruneVerdict(stub, p, appGUID, appId, true);
}

int TQHSMRules::stubPruneVerdict(const ReparseData& stub, const char* p,
                                 const std::string& appGUID, uint64_t appId, bool ask) {
  EvDebug log;
  const bool otherSubclient =
      m_bHonorArchiverRetention && stub.stubKind == 2 &&
      ((!appGUID.empty() && !stub.appGUID.empty() && appGUID != stub.appGUID) ||
       appId != stub.appId);
  const bool byAF = stub.stubKind == 1 || m_bHonorArchiverRetention;
  // Without asking, only what this run already knows answers.
  if (!ask && !otherSubclient &&
      (!byAF || m_mapPrunedAF.find(PrunedAF(stub.afParvisNumber, stub.afCopyPrecedence,
                                            stub.afileId)) == m_mapPrunedAF.end()))
    return kVerdictNotKnown;
  if (otherSubclient) {
    log.DebugLvl(kTag, 5,
                 "Skipping prune stub check for stub [%s], since it's from different "
                 "Subclient, AppGUID=[%s], AppId=[%lu]",
                 p, stub.appGUID.empty() ? "NA" : stub.appGUID.c_str(),
                 static_cast<unsigned long>(stub.appId));
    return 0;
  }
  if (m_bHonorArchiverRetention && stub.stubKind == 1)
    log.DebugLvl(kTag, 5, "Pruning archiver stub '%s'", p);
  if (byAF) return isAFilePruned(stub.afParvisNumber, stub.afCopyPrecedence, stub.afileId);

  // The AF that holds the file now is the one the index of the stub's AF names.
  uint64_t parvisId = m_pParvisMapper ? m_pParvisMapper->numberToId(stub.afParvisNumber) : 0;
  if (parvisId == 0) parvisId = 2;
  MetaData query(kStubGUIDKind, stub.stubGUID);
  FInfoRespItem answer;
  PrunedAF key(stub.afParvisNumber, stub.afCopyPrecedence, stub.afileId);
  auto client = m_mapAFIndexInfo.find(key);
  if (client != m_mapAFIndexInfo.end()) {
    if (client->second->lookup(query, answer) != 0) return -1;
  } else {
    FetchIndexInfo* index = new FetchIndexInfo();
    index->setInitFlags(0x40);
    if (index->initByAfileId(static_cast<int>(stub.afileId), parvisId) != 0 ||
        index->lookup(query, answer) != 0) {
      delete index;
      return -1;
    }
    m_mapAFIndexInfo[key] = index;
  }
  if (answer.found != 1) {
    // Without an entry the answer names no AF (its id reads 0); asking about
    // that AF could have the stub deleted for an AF it never pointed into.
    log.Error(kTag, "The index holds no entry for stub '%s' (stub GUID %s); not checked", p,
              stub.stubGUID.c_str());
    return -1;
  }
  return isAFilePruned(stub.afParvisNumber, stub.afCopyPrecedence, answer.afileId);
}
