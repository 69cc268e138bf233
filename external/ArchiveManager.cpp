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

// A prepared statement that finalizes itself.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) : m_pDb(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &m_pStmt, nullptr) != SQLITE_OK) m_pStmt = nullptr;
  }
  ~Stmt() { sqlite3_finalize(m_pStmt); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  sqlite3_stmt* get() const { return m_pStmt; }
  const char* error() const { return sqlite3_errmsg(m_pDb); }

 private:
  sqlite3* m_pDb;
  sqlite3_stmt* m_pStmt = nullptr;
};
}  // namespace

ArchiveService::~ArchiveService() = default;

TQHSM_DEFINE_BACKEND_SLOT(ArchiveService)

ArchiveService& ArchiveService::Default() {
  static ArchiveService service;
  return service;
}

int ArchiveService::getAfileCopy(const std::string&,
                                 const OBA_GetCopyIdByAfileCopyPrec50Req_t& request,
                                 OBA_GetCopyIdByAfileCopyPrec50Resp_t& response) {
  std::string error;
  Catalog* catalog = Catalog::Shared(error);
  if (!catalog) {
    EvDebug().Error(kTag, "%s", error.c_str());
    return eNoCatalog;
  }
  Stmt q(catalog->db(),
         "SELECT copy_id, pruned FROM archive_files "
         "WHERE afile_id = ?1 AND copy_precedence = ?2 AND parvis_id = ?3");
  if (!q.get()) {
    EvDebug().Error(kTag, "Cannot query archive files: %s", q.error());
    return eQueryFailed;
  }
  sqlite3_bind_int64(q.get(), 1, static_cast<sqlite3_int64>(request.afileId));
  sqlite3_bind_int64(q.get(), 2, static_cast<sqlite3_int64>(request.copyPrecedence));
  sqlite3_bind_int64(q.get(), 3, static_cast<sqlite3_int64>(request.parvisId));
  int rc = sqlite3_step(q.get());
  if (rc == SQLITE_DONE) {
    EvDebug().Error(kTag, "Archive file %llu (copy precedence %llu, Parvis id %llu) is unknown",
                    static_cast<unsigned long long>(request.afileId),
                    static_cast<unsigned long long>(request.copyPrecedence),
                    static_cast<unsigned long long>(request.parvisId));
    return eUnknownAfile;
  }
  if (rc != SQLITE_ROW) {
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
  if (!catalog) {
    EvDebug().Error(kTag, "%s", error.c_str());
    return 0;
  }
  Stmt q(catalog->db(), "SELECT id FROM parvis WHERE number = ?1");
  if (!q.get()) return 0;
  sqlite3_bind_int64(q.get(), 1, static_cast<sqlite3_int64>(parvisNumber));
  if (sqlite3_step(q.get()) != SQLITE_ROW) return 0;
  sqlite3_int64 id = sqlite3_column_int64(q.get(), 0);
  return id > 0 ? static_cast<uint64_t>(id) : 0;
}

}  // namespace tqhsm
