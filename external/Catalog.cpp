#include "Catalog.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <chrono>

#include "Config.h"
#include "EvEvent.h"

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

const char* const kTag = "Catalog";
const int kDefaultBusyTimeoutMs = 5000;

// The process's catalog, or why it could not be opened.
struct SharedCatalog {
  std::unique_ptr<Catalog> catalog;
  bool failed = false;
  std::string error;
};

SharedCatalog& shared() {
  static SharedCatalog s;
  return s;
}

uint64_t g_busyWaits = 0;

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool isBusy(int rc) {
  int primary = rc & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// Errors that no later question would get past.
bool isBroken(int rc) {
  int primary = rc & 0xff;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT || primary == SQLITE_CANTOPEN ||
         primary == SQLITE_IOERR || primary == SQLITE_PERM || primary == SQLITE_AUTH;
}

void reportOff(const std::string& path, bool busy, const std::string& why, int timeoutMs) {
  if (busy)
    EvDebug().Error(kTag,
                    "Catalog %s is busy: another process has held it locked for more than %d ms. "
                    "Pruning and re-stubbing checks are off for this run.",
                    path.c_str(), timeoutMs);
  else
    EvDebug().Error(kTag,
                    "Catalog %s cannot be used (%s). Pruning and re-stubbing checks are off for "
                    "this run.",
                    path.c_str(), why.c_str());
}

}  // namespace

const char* Catalog::Schema() { return kSchema; }

Catalog::Catalog(sqlite3* db, std::string path) : m_pDb(db), m_sPath(std::move(path)) {}

Catalog::~Catalog() {
  if (m_pDb) sqlite3_close_v2(m_pDb);
}

uint64_t Catalog::BusyWaits() { return g_busyWaits; }

int Catalog::ConfiguredBusyTimeout() {
  uint64_t ms = 0;
  if (!ConfigSource::Current().getNumber("Catalog", "BusyTimeout", ms))
    return kDefaultBusyTimeoutMs;
  return ms > 3600000 ? 3600000 : static_cast<int>(ms);
}

// The busy handler: waits with growing pauses until the busy time-out of the
// current wait is spent. Each wait is counted and shown once.
int Catalog::onBusy(void* self, int count) {
  Catalog* c = static_cast<Catalog*>(self);
  int64_t now = nowMs();
  if (count == 0) {
    c->m_llBusySinceMs = now;
    ++g_busyWaits;
    EvDebug().DebugLvl(kTag, 1, "Catalog %s is locked by another process; waiting up to %d ms",
                       c->m_sPath.c_str(), c->m_nBusyTimeoutMs);
  }
  int64_t left = c->m_nBusyTimeoutMs - (now - c->m_llBusySinceMs);
  if (left <= 0) return 0;
  static const int kPauses[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
  int pause = count < 12 ? kPauses[count] : 100;
  sqlite3_sleep(static_cast<int>(pause < left ? pause : left));
  return 1;
}

int Catalog::note(int rc) {
  if (m_eState != eReady || rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) return rc;
  if (isBusy(rc)) {
    m_eState = eBusy;
    m_sStateError = "Catalog " + m_sPath + " is busy (locked by another process)";
  } else if (isBroken(rc)) {
    m_eState = eBroken;
    m_sStateError = "Catalog " + m_sPath + ": " + sqlite3_errmsg(m_pDb);
  } else {
    return rc;
  }
  if (m_bShared) reportOff(m_sPath, m_eState == eBusy, sqlite3_errmsg(m_pDb), m_nBusyTimeoutMs);
  return rc;
}

bool Catalog::exec(const std::string& sql, std::string& error) {
  if (m_eState != eReady) {
    error = m_sStateError;
    return false;
  }
  char* msg = nullptr;
  if (note(sqlite3_exec(m_pDb, sql.c_str(), nullptr, nullptr, &msg)) != SQLITE_OK) {
    error = msg ? msg : sqlite3_errmsg(m_pDb);
    sqlite3_free(msg);
    return false;
  }
  return true;
}

sqlite3_stmt* Catalog::prepare(const char* sql, std::string& error) {
  if (m_eState != eReady) {
    error = m_sStateError;
    return nullptr;
  }
  sqlite3_stmt* stmt = nullptr;
  if (note(sqlite3_prepare_v2(m_pDb, sql, -1, &stmt, nullptr)) != SQLITE_OK) {
    error = sqlite3_errmsg(m_pDb);
    sqlite3_finalize(stmt);
    return nullptr;
  }
  if (!stmt) error = "no statement";
  return stmt;
}

int Catalog::step(sqlite3_stmt* stmt) {
  if (m_eState != eReady) return m_eState == eBusy ? SQLITE_BUSY : SQLITE_CANTOPEN;
  return note(sqlite3_step(stmt));
}

namespace {

// Steps a prepared statement to its end, handing each row on.
bool stepAll(Catalog& c, sqlite3_stmt* stmt, const Catalog::RowFn& onRow, std::string& error) {
  for (;;) {
    int rc = c.step(stmt);
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) {
      error = sqlite3_errmsg(c.db());
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
  sqlite3_stmt* stmt = prepare(sql.c_str(), error);
  if (!stmt) return false;
  if (static_cast<size_t>(sqlite3_bind_parameter_count(stmt)) != params.size()) {
    error = "statement takes " + std::to_string(sqlite3_bind_parameter_count(stmt)) +
            " parameters, " + std::to_string(params.size()) + " given";
    sqlite3_finalize(stmt);
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
  bool ok = stepAll(*this, stmt, onRow, error);
  sqlite3_finalize(stmt);
  return ok;
}

bool Catalog::query(const std::string& sql, const RowFn& onRow, std::string& error) {
  if (m_eState != eReady) {
    error = m_sStateError;
    return false;
  }
  const char* next = sql.c_str();
  while (next && *next) {
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    if (note(sqlite3_prepare_v2(m_pDb, next, -1, &stmt, &tail)) != SQLITE_OK) {
      error = sqlite3_errmsg(m_pDb);
      return false;
    }
    next = tail;
    if (!stmt) continue;  // only white space or a comment was left
    bool ok = stepAll(*this, stmt, onRow, error);
    sqlite3_finalize(stmt);
    if (!ok) return false;
  }
  return true;
}

std::unique_ptr<Catalog> Catalog::open(const std::string& path, std::string& error, int& rc) {
  sqlite3* db = nullptr;
  rc = sqlite3_open_v2(path.c_str(), &db,
                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    error = "Cannot open catalog " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    if (db) sqlite3_close_v2(db);
    return nullptr;
  }
  std::unique_ptr<Catalog> c(new Catalog(db, path));
  c->m_nBusyTimeoutMs = ConfiguredBusyTimeout();
  sqlite3_busy_handler(db, &Catalog::onBusy, c.get());
  char* msg = nullptr;
  rc = sqlite3_exec(db, kSchema, nullptr, nullptr, &msg);
  if (rc != SQLITE_OK) {
    error = "Cannot prepare catalog " + path + ": " + (msg ? msg : sqlite3_errmsg(db));
    sqlite3_free(msg);
    return nullptr;
  }
  return c;
}

std::unique_ptr<Catalog> Catalog::Open(const std::string& path, std::string& error) {
  int rc = SQLITE_OK;
  return open(path, error, rc);
}

std::string Catalog::ConfiguredPath() {
  std::string path;
  if (!ConfigSource::Current().getString("Catalog", "Path", path) || path.empty())
    path = "/var/lib/tqhsm/catalog.db";
  return path;
}

Catalog* Catalog::Shared(std::string& error) {
  SharedCatalog& s = shared();
  if (!s.catalog && !s.failed) {
    std::string path = ConfiguredPath();
    int rc = SQLITE_OK;
    std::string why;
    std::unique_ptr<Catalog> c = open(path, why, rc);
    if (c) {
      c->m_bShared = true;
      s.catalog = std::move(c);
    } else {
      s.failed = true;
      s.error = why;
      reportOff(path, isBusy(rc), why, ConfiguredBusyTimeout());
    }
  }
  if (s.failed) {
    error = s.error;
    return nullptr;
  }
  if (s.catalog->m_eState != eReady) {
    error = s.catalog->m_sStateError;
    return nullptr;
  }
  return s.catalog.get();
}

void Catalog::SetShared(std::unique_ptr<Catalog> catalog) {
  SharedCatalog& s = shared();
  s.catalog = std::move(catalog);
  s.failed = false;
  s.error.clear();
  if (s.catalog) s.catalog->m_bShared = true;
}

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
