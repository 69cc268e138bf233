#include "FetchIndexInfo.h"

#include <sqlite3.h>

#include <optional>

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

// A catalog that cannot answer has said why once (Catalog::Shared).
Catalog* catalog() {
  std::string error;
  return Catalog::Shared(error);
}

const char* kQuery =
    "SELECT parvis_number, copy_precedence, afile_id, found FROM stub_index WHERE stub_guid = ?1";

// The prepared index query; answers one key at a time.
class Query {
 public:
  explicit Query(Catalog& catalog) : m_catalog(catalog) {
    std::string error;
    m_pStmt = catalog.prepare(kQuery, error);
    if (!m_pStmt && catalog.state() == Catalog::eReady)
      EvDebug().Error(kTag, "Cannot query the index: %s", error.c_str());
  }
  ~Query() { sqlite3_finalize(m_pStmt); }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;
  bool ok() const { return m_pStmt != nullptr; }
  // False when the query fails. A key the index does not hold is answered
  // with found 0.
  bool answer(const MetaData& key, FInfoRespItem& item) {
    item = FInfoRespItem();
    if (key.m_nKind != IndexService::kStubGUIDKind) return true;
    sqlite3_reset(m_pStmt);
    sqlite3_bind_text(m_pStmt, 1, key.m_sKey.data(), static_cast<int>(key.m_sKey.size()),
                      SQLITE_TRANSIENT);
    int rc = m_catalog.step(m_pStmt);
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) {
      if (m_catalog.state() == Catalog::eReady)
        EvDebug().Error(kTag, "Index query failed: %s", sqlite3_errmsg(m_catalog.db()));
      return false;
    }
    item.parvisNumber = static_cast<uint32_t>(sqlite3_column_int64(m_pStmt, 0));
    item.copyPrecedence = static_cast<uint32_t>(sqlite3_column_int64(m_pStmt, 1));
    item.afileId = static_cast<uint32_t>(sqlite3_column_int64(m_pStmt, 2));
    item.found = static_cast<uint8_t>(sqlite3_column_int64(m_pStmt, 3));
    // A statement left on its row keeps its read transaction, and the lock
    // with it, until it is reset.
    sqlite3_reset(m_pStmt);
    return true;
  }

 private:
  Catalog& m_catalog;
  sqlite3_stmt* m_pStmt = nullptr;
};

// A read transaction over a run of lookups: the catalog's shared lock is
// taken, and its pages checked for changes, once for the run instead of once
// per key. A writer waits for one run at most. Without one (a transaction of
// the caller's is open, or BEGIN fails) each lookup is its own, as before.
class ReadRun {
 public:
  explicit ReadRun(Catalog& catalog) : m_catalog(catalog) {
    std::string error;
    m_bOpen = sqlite3_get_autocommit(catalog.db()) != 0 && catalog.exec("BEGIN", error);
  }
  ~ReadRun() { end(); }
  ReadRun(const ReadRun&) = delete;
  ReadRun& operator=(const ReadRun&) = delete;
  void end() {
    if (!m_bOpen) return;
    m_bOpen = false;
    std::string error;
    if (!m_catalog.exec("COMMIT", error)) m_catalog.exec("ROLLBACK", error);
  }

 private:
  Catalog& m_catalog;
  bool m_bOpen = false;
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
  return catalog() ? 0 : -1;
}

int IndexService::initByAfileId(FetchIndexInfo&, int, uint64_t) { return catalog() ? 0 : -1; }

int IndexService::lookup(FetchIndexInfo&, const MetaData& key, FInfoRespItem& answer) {
  Catalog* c = catalog();
  if (!c) return -1;
  Query q(*c);
  if (!q.ok() || !q.answer(key, answer)) return -1;
  return 0;
}

int IndexService::lookup(FetchIndexInfo&, const std::list<MetaData>& keys,
                         FetchIndexInfoSendRes* sink) {
  Catalog* c = catalog();
  if (!c || !sink) return -1;
  Query q(*c);
  if (!q.ok()) return -1;
  FetchIndexInfoResp batch;
  std::optional<ReadRun> run;
  for (const MetaData& key : keys) {
    if (!run) run.emplace(*c);
    FInfoRespItem item;
    if (!q.answer(key, item)) return -1;
    batch.m_lstItems.push_back(item);
    if (batch.m_lstItems.size() >= kBatchSize) {
      run.reset();  // the sink's write is not held under the lock
      if (sink->function(&batch) != 0) return -1;
      batch.m_lstItems.clear();
    }
  }
  run.reset();
  if (!batch.m_lstItems.empty() && sink->function(&batch) != 0) return -1;
  return 0;
}

}  // namespace tqhsm
