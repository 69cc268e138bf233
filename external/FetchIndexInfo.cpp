#include "FetchIndexInfo.h"

#include <sqlite3.h>

#include "Catalog.h"
#include "EvEvent.h"

FetchIndexInfo::FetchIndexInfo() = default;
FetchIndexInfo::~FetchIndexInfo() = default;

int FetchIndexInfo::init(const std::string& name, uint32_t arg1, uint32_t appId, uint32_t arg3,
                         uint32_t arg4) {
  int rc = tqhsm::IndexService::Current().init(*this, name, arg1, appId, arg3, arg4);
  m_bReady = rc == 0;
  return rc;
}

int FetchIndexInfo::initByAfileId(int afileId, uint64_t parvisId) {
  int rc = tqhsm::IndexService::Current().initByAfileId(*this, afileId, parvisId);
  m_bReady = rc == 0;
  return rc;
}

int FetchIndexInfo::lookup(const MetaData& key, FInfoRespItem& answer) {
  if (!m_bReady) {
    EvDebug().Error("FetchIndexInfo::lookup", "The index client is not initialised.");
    return -1;
  }
  return tqhsm::IndexService::Current().lookup(*this, key, answer);
}

int FetchIndexInfo::lookup(const std::list<MetaData>& keys, FetchIndexInfoSendRes* sink) {
  if (!m_bReady) {
    EvDebug().Error("FetchIndexInfo::lookup", "The index client is not initialised.");
    return -1;
  }
  if (!sink) return -1;
  return tqhsm::IndexService::Current().lookup(*this, keys, sink);
}

namespace tqhsm {

namespace {

const char* kTag = "FetchIndexInfo";

Catalog* catalogOrLog() {
  std::string error;
  Catalog* catalog = Catalog::Shared(error);
  if (!catalog) EvDebug().Error(kTag, "%s", error.c_str());
  return catalog;
}

// Answers one key with a prepared query of stub_index; false when the query
// fails. A key the index does not hold is answered with found 0.
bool answerKey(sqlite3* db, sqlite3_stmt* q, const MetaData& key, FInfoRespItem& answer) {
  answer = FInfoRespItem();
  if (key.m_nKind != IndexService::kStubGUIDKind) return true;
  sqlite3_reset(q);
  sqlite3_bind_text(q, 1, key.m_sKey.data(), static_cast<int>(key.m_sKey.size()),
                    SQLITE_TRANSIENT);
  int rc = sqlite3_step(q);
  if (rc == SQLITE_DONE) return true;
  if (rc != SQLITE_ROW) {
    EvDebug().Error(kTag, "Index query failed: %s", sqlite3_errmsg(db));
    return false;
  }
  answer.parvisNumber = static_cast<uint32_t>(sqlite3_column_int64(q, 0));
  answer.copyPrecedence = static_cast<uint32_t>(sqlite3_column_int64(q, 1));
  answer.afileId = static_cast<uint32_t>(sqlite3_column_int64(q, 2));
  answer.found = static_cast<uint8_t>(sqlite3_column_int64(q, 3));
  return true;
}

const char* kQuery =
    "SELECT parvis_number, copy_precedence, afile_id, found FROM stub_index WHERE stub_guid = ?1";

class Query {
 public:
  explicit Query(sqlite3* db) : m_pDb(db) {
    if (sqlite3_prepare_v2(db, kQuery, -1, &m_pStmt, nullptr) != SQLITE_OK) {
      EvDebug().Error(kTag, "Cannot query the index: %s", sqlite3_errmsg(db));
      m_pStmt = nullptr;
    }
  }
  ~Query() { sqlite3_finalize(m_pStmt); }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;
  bool ok() const { return m_pStmt != nullptr; }
  bool answer(const MetaData& key, FInfoRespItem& item) {
    return answerKey(m_pDb, m_pStmt, key, item);
  }

 private:
  sqlite3* m_pDb;
  sqlite3_stmt* m_pStmt = nullptr;
};

}  // namespace

IndexService::~IndexService() = default;

TQHSM_DEFINE_BACKEND_SLOT(IndexService)

IndexService& IndexService::Default() {
  static IndexService service;
  return service;
}

int IndexService::init(FetchIndexInfo&, const std::string&, uint32_t, uint32_t, uint32_t,
                       uint32_t) {
  return catalogOrLog() ? 0 : -1;
}

int IndexService::initByAfileId(FetchIndexInfo&, int, uint64_t) {
  return catalogOrLog() ? 0 : -1;
}

int IndexService::lookup(FetchIndexInfo&, const MetaData& key, FInfoRespItem& answer) {
  Catalog* catalog = catalogOrLog();
  if (!catalog) return -1;
  Query q(catalog->db());
  if (!q.ok() || !q.answer(key, answer)) return -1;
  return 0;
}

int IndexService::lookup(FetchIndexInfo&, const std::list<MetaData>& keys,
                         FetchIndexInfoSendRes* sink) {
  Catalog* catalog = catalogOrLog();
  if (!catalog || !sink) return -1;
  Query q(catalog->db());
  if (!q.ok()) return -1;
  FetchIndexInfoResp batch;
  for (const MetaData& key : keys) {
    FInfoRespItem item;
    if (!q.answer(key, item)) return -1;
    batch.m_lstItems.push_back(item);
    if (batch.m_lstItems.size() >= kBatchSize) {
      if (sink->function(&batch) != 0) return -1;
      batch.m_lstItems.clear();
    }
  }
  if (!batch.m_lstItems.empty() && sink->function(&batch) != 0) return -1;
  return 0;
}

}  // namespace tqhsm
