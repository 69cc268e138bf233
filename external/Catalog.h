#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "TQHSMExport.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tqhsm {

// The catalog: an embedded SQLite database that stands in for the backup
// system's services (index, archive manager, Parvis numbers, subclient settings
// kept on the backup server). Its schema is defined once, in Catalog.cpp, and is
// created when the database is opened for the first time. Operators fill it with
// the tqhsm-catalog tool or with SQL (see README: "The catalog").
class TQHSM_API Catalog {
 public:
  // Whether the catalog can answer. A busy or broken catalog stays so for the
  // rest of the process: a scan asks it once per stub, and a wait or an error
  // per question would cost a busy time-out per stub.
  enum State { eReady, eBusy, eBroken };

  ~Catalog();
  Catalog(const Catalog&) = delete;
  Catalog& operator=(const Catalog&) = delete;

  // Opens (creating when missing) the database at path and makes sure the schema
  // exists. Null with a message in error when that fails.
  static std::unique_ptr<Catalog> Open(const std::string& path, std::string& error);

  // The catalog of this process: opened once, on first use, from the configured
  // path (section "Catalog", key "Path") and kept. Null with the reason in error
  // when it cannot answer: when it could not be opened, or a question found it
  // locked by another process for longer than its busy time-out, or found it
  // broken (not a database, unreadable). That is logged once, as an Error that
  // says pruning and re-stubbing checks are off for this run; from then on
  // every call answers null at once, without another wait.
  static Catalog* Shared(std::string& error);
  // Replaces the process's catalog (tests, tools); null closes it. Either way
  // the next Shared() starts afresh.
  static void SetShared(std::unique_ptr<Catalog> catalog);
  static std::string ConfiguredPath();
  // Milliseconds a question waits for a lock another process holds (section
  // "Catalog", key "BusyTimeout"; 5000 when absent).
  static int ConfiguredBusyTimeout();
  // How many times a question of this process has waited for a lock.
  static uint64_t BusyWaits();

  static const char* Schema();

  sqlite3* db() const { return m_pDb; }
  const std::string& path() const { return m_sPath; }
  State state() const { return m_eState; }
  // Runs statements that return no rows; false with a message on failure.
  bool exec(const std::string& sql, std::string& error);

  // One row of a result: column names and values (null for SQL NULL), both
  // valid only during the call that receives them.
  struct Row {
    std::vector<const char*> names;
    std::vector<const char*> values;
  };
  using RowFn = std::function<void(const Row&)>;
  using Param = std::variant<int64_t, std::string>;
  // Runs one statement with its '?' parameters bound in order, handing every
  // row to onRow (which may be empty). false with a message on failure.
  bool run(const std::string& sql, const std::vector<Param>& params, const RowFn& onRow,
           std::string& error);
  // Runs any number of statements, handing the rows of each to onRow.
  bool query(const std::string& sql, const RowFn& onRow, std::string& error);

  // Opens the database at path only when it is there, and changes nothing in
  // it: no file, no schema is created (for commands that look, which must not
  // leave an empty catalog behind a mistyped path). readOnly: open it for
  // reading only. Null with a message in error when path does not exist, is a
  // directory, or is no SQLite database.
  static std::unique_ptr<Catalog> OpenExisting(const std::string& path, bool readOnly,
                                               std::string& error);
  // For the services that step statements themselves: sqlite3_prepare_v2 and
  // sqlite3_step with the same bookkeeping of a busy or broken catalog.
  // prepare answers null with a message in error.
  sqlite3_stmt* prepare(const char* sql, std::string& error);
  int step(sqlite3_stmt* stmt);

 private:
  Catalog(sqlite3* db, std::string path);
  static std::unique_ptr<Catalog> open(const std::string& path, std::string& error, int& rc);
  static int onBusy(void* self, int count);
  // Records the result of a call; marks the catalog busy or broken.
  int note(int rc);

  sqlite3* m_pDb;
  std::string m_sPath;
  State m_eState = eReady;
  bool m_bShared = false;  // the process's catalog: its state is logged once
  std::string m_sStateError;  // why it cannot answer, once not ready
  int m_nBusyTimeoutMs = 5000;
  int64_t m_llBusySinceMs = 0;  // start of the current wait
};

}  // namespace tqhsm
