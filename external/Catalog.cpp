#include "Catalog.h"

#include <sqlite3.h>

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

}  // namespace tqhsm
