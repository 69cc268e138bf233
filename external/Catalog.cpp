#include "Catalog.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "Config.h"

namespace tqhsm {

namespace {

const char* const kSchema = R"SQL(
-- Retention of the archiver per subclient; -1 days is infinite retention.
CREATE TABLE IF NOT EXISTS subclient_retention (
  subclient_id            INTEGER PRIMARY KEY,
  archiver_retention_days INTEGER NOT NULL
);
-- Parvis numbers as stubs carry them, and the ids the archive manager knows.
CREATE TABLE IF NOT EXISTS parvis (
  number INTEGER PRIMARY KEY,
  id     INTEGER NOT NULL
);
-- Archive files (AF) by archive file id, copy precedence and Parvis id.
-- copy_id 0 means the AF has no copy left; pruned 1 means it was pruned.
CREATE TABLE IF NOT EXISTS archive_files (
  afile_id        INTEGER NOT NULL,
  copy_precedence INTEGER NOT NULL,
  parvis_id       INTEGER NOT NULL,
  copy_id         INTEGER NOT NULL DEFAULT 1,
  pruned          INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (afile_id, copy_precedence, parvis_id)
);
-- The index: stubbed files by stub GUID, with the AF that holds their data now.
CREATE TABLE IF NOT EXISTS stub_index (
  stub_guid       TEXT PRIMARY KEY,
  parvis_number   INTEGER NOT NULL,
  copy_precedence INTEGER NOT NULL,
  afile_id        INTEGER NOT NULL,
  found           INTEGER NOT NULL DEFAULT 1
);
)SQL";

std::unique_ptr<Catalog>& shared() {
  static std::unique_ptr<Catalog> catalog;
  return catalog;
}

}  // namespace

const char* Catalog::Schema() { return kSchema; }

Catalog::~Catalog() {
  if (m_pDb) sqlite3_close_v2(m_pDb);
}

bool Catalog::exec(const std::string& sql, std::string& error) {
  char* msg = nullptr;
  if (sqlite3_exec(m_pDb, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
    error = msg ? msg : sqlite3_errmsg(m_pDb);
    sqlite3_free(msg);
    return false;
  }
  return true;
}

namespace {

// Steps a prepared statement to its end, handing each row on.
bool stepAll(sqlite3* db, sqlite3_stmt* stmt, const Catalog::RowFn& onRow, std::string& error) {
  for (;;) {
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) {
      error = sqlite3_errmsg(db);
      return false;
    }
    if (!onRow) continue;
    int n = sqlite3_column_count(stmt);
    Catalog::Row row;
    row.names.reserve(static_cast<size_t>(n));
    row.values.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      row.names.push_back(sqlite3_column_name(stmt, i));
      row.values.push_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)));
    }
    onRow(row);
  }
}

}  // namespace

bool Catalog::run(const std::string& sql, const std::vector<Param>& params, const RowFn& onRow,
                  std::string& error) {
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  if (sqlite3_prepare_v2(m_pDb, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail) !=
      SQLITE_OK) {
    error = sqlite3_errmsg(m_pDb);
    return false;
  }
  if (!stmt) {
    error = "no statement";
    return false;
  }
  if (static_cast<size_t>(sqlite3_bind_parameter_count(stmt)) != params.size()) {
    sqlite3_finalize(stmt);
    error = "statement takes " + std::to_string(sqlite3_bind_parameter_count(stmt)) +
            " parameters, " + std::to_string(params.size()) + " given";
    return false;
  }
  for (size_t i = 0; i < params.size(); ++i) {
    int index = static_cast<int>(i) + 1;
    int rc = std::holds_alternative<int64_t>(params[i])
                 ? sqlite3_bind_int64(stmt, index, std::get<int64_t>(params[i]))
                 : sqlite3_bind_text(stmt, index, std::get<std::string>(params[i]).c_str(),
                                     static_cast<int>(std::get<std::string>(params[i]).size()),
                                     SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) {
      error = sqlite3_errmsg(m_pDb);
      sqlite3_finalize(stmt);
      return false;
    }
  }
  bool ok = stepAll(m_pDb, stmt, onRow, error);
  sqlite3_finalize(stmt);
  return ok;
}

bool Catalog::query(const std::string& sql, const RowFn& onRow, std::string& error) {
  const char* next = sql.c_str();
  while (next && *next) {
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(m_pDb, next, -1, &stmt, &tail) != SQLITE_OK) {
      error = sqlite3_errmsg(m_pDb);
      return false;
    }
    next = tail;
    if (!stmt) continue;  // only white space or a comment was left
    bool ok = stepAll(m_pDb, stmt, onRow, error);
    sqlite3_finalize(stmt);
    if (!ok) return false;
  }
  return true;
}

std::unique_ptr<Catalog> Catalog::Open(const std::string& path, std::string& error) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    error = "Cannot open catalog " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    if (db) sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 5000);
  std::unique_ptr<Catalog> c(new Catalog(db, path));
  std::string why;
  if (!c->exec(kSchema, why)) {
    error = "Cannot prepare catalog " + path + ": " + why;
    return nullptr;
  }
  return c;
}

std::string Catalog::ConfiguredPath() {
  std::string path;
  if (!ConfigSource::Current().getString("Catalog", "Path", path) || path.empty())
    path = "/var/lib/tqhsm/catalog.db";
  return path;
}

Catalog* Catalog::Shared(std::string& error) {
  std::unique_ptr<Catalog>& c = shared();
  if (!c) c = Open(ConfiguredPath(), error);
  return c.get();
}

void Catalog::SetShared(std::unique_ptr<Catalog> catalog) { shared() = std::move(catalog); }

std::unique_ptr<Catalog> Catalog::OpenExisting(const std::string& path, bool readOnly,
                                               std::string& error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    int err = errno;
    error = err == ENOENT ? "Catalog " + path + " does not exist"
                          : "Cannot open catalog " + path + ": " + std::strerror(err);
    return nullptr;
  }
  if (S_ISDIR(st.st_mode)) {
    error = "Catalog " + path + " is a directory";
    return nullptr;
  }
  sqlite3* db = nullptr;
  int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_FULLMUTEX;
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    error = "Cannot open catalog " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    if (db) sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 5000);
  std::unique_ptr<Catalog> c(new Catalog(db, path));
  // SQLite reads the header only on the first statement: a file that is no
  // database shows here.
  std::string why;
  if (!c->exec("SELECT count(*) FROM sqlite_master", why)) {
    error = "Cannot read catalog " + path + ": " + why;
    return nullptr;
  }
  return c;
}

}  // namespace tqhsm
