#include "ArchiveManager.h"

#include <sqlite3.h>

#include "Catalog.h"
#include "EvEvent.h"

ArMgrClientAPI::~ArMgrClientAPI() = default;

int ArMgrClientAPI::getAfileCopy(OBA_GetCopyIdByAfileCopyPrec50Req_t& request,
                                 OBA_GetCopyIdByAfileCopyPrec50Resp_t& response) {
  return tqhsm::ArchiveService::Current().getAfileCopy(std::string(), request, response);
}

OBArchive::OBArchive(const std::string& clientName, OBJobCtrlClient*, bool)
    : m_sClientName(clientName) {}
OBArchive::~OBArchive() = default;
int OBArchive::getAfileCopy(OBA_GetCopyIdByAfileCopyPrec50Req_t& request,
                            OBA_GetCopyIdByAfileCopyPrec50Resp_t& response) {
  return tqhsm::ArchiveService::Current().getAfileCopy(m_sClientName, request, response);
}

ParvisMapper::ParvisMapper() = default;
ParvisMapper::~ParvisMapper() = default;
uint64_t ParvisMapper::numberToId(uint64_t parvisNumber) {
  return tqhsm::ArchiveService::Current().numberToId(parvisNumber);
}

namespace tqhsm {

namespace {
const char* kTag = "ArchiveManager";

// A prepared statement of the catalog that finalizes itself.
class Stmt {
 public:
  Stmt(Catalog& catalog, const char* sql) : m_catalog(catalog) {
    m_pStmt = catalog.prepare(sql, m_sError);
  }
  ~Stmt() { sqlite3_finalize(m_pStmt); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  sqlite3_stmt* get() const { return m_pStmt; }
  int step() { return m_catalog.step(m_pStmt); }
  const char* error() const {
    return m_pStmt ? sqlite3_errmsg(m_catalog.db()) : m_sError.c_str();
  }
  // A catalog that is busy or broken said so once already.
  bool reported() const { return m_catalog.state() != Catalog::eReady; }

 private:
  Catalog& m_catalog;
  sqlite3_stmt* m_pStmt = nullptr;
  std::string m_sError;
};
}  // namespace

ArchiveService::~ArchiveService() = default;

TQHSM_DEFINE_BACKEND_SLOT(ArchiveService)

ArchiveService& ArchiveService::Default() {
  static ArchiveService service;
  return service;
}

// A catalog that cannot answer has said why once (Catalog::Shared); the
// questions then fail at once and quietly.
int ArchiveService::getAfileCopy(const std::string&,
                                 const OBA_GetCopyIdByAfileCopyPrec50Req_t& request,
                                 OBA_GetCopyIdByAfileCopyPrec50Resp_t& response) {
  std::string error;
  Catalog* catalog = Catalog::Shared(error);
  if (!catalog) return eNoCatalog;
  Stmt q(*catalog,
         "SELECT copy_id, pruned FROM archive_files "
         "WHERE afile_id = ?1 AND copy_precedence = ?2 AND parvis_id = ?3");
  if (!q.get()) {
    if (q.reported()) return eNoCatalog;
    EvDebug().Error(kTag, "Cannot query archive files: %s", q.error());
    return eQueryFailed;
  }
  sqlite3_bind_int64(q.get(), 1, static_cast<sqlite3_int64>(request.afileId));
  sqlite3_bind_int64(q.get(), 2, static_cast<sqlite3_int64>(request.copyPrecedence));
  sqlite3_bind_int64(q.get(), 3, static_cast<sqlite3_int64>(request.parvisId));
  int rc = q.step();
  if (rc == SQLITE_DONE) {
    EvDebug().Error(kTag, "Archive file %llu (copy precedence %llu, Parvis id %llu) is unknown",
                    static_cast<unsigned long long>(request.afileId),
                    static_cast<unsigned long long>(request.copyPrecedence),
                    static_cast<unsigned long long>(request.parvisId));
    return eUnknownAfile;
  }
  if (rc != SQLITE_ROW) {
    if (q.reported()) return eNoCatalog;
    EvDebug().Error(kTag, "Cannot query archive files: %s", q.error());
    return eQueryFailed;
  }
  response.copyId = static_cast<uint64_t>(sqlite3_column_int64(q.get(), 0));
  response.prunedFlag = static_cast<uint64_t>(sqlite3_column_int64(q.get(), 1));
  return 0;
}

uint64_t ArchiveService::numberToId(uint64_t parvisNumber) {
  std::string error;
  Catalog* catalog = Catalog::Shared(error);
  if (!catalog) return 0;
  Stmt q(*catalog, "SELECT id FROM parvis WHERE number = ?1");
  if (!q.get()) return 0;
  sqlite3_bind_int64(q.get(), 1, static_cast<sqlite3_int64>(parvisNumber));
  if (q.step() != SQLITE_ROW) return 0;
  sqlite3_int64 id = sqlite3_column_int64(q.get(), 0);
  return id > 0 ? static_cast<uint64_t>(id) : 0;
}

}  // namespace tqhsm
