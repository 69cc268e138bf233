#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "TQHSMExport.h"

struct sqlite3;

namespace tqhsm {

// The catalog: an embedded SQLite database that stands in for the backup
// system's services (index, archive manager, Parvis numbers, subclient settings
// kept on the backup server). Its schema is defined once, in Catalog.cpp, and is
// created when the database is opened for the first time. Operators fill it with
// the tqhsm-catalog tool or with SQL (see README: "The catalog").
class TQHSM_API Catalog {
 public:
  ~Catalog();
  Catalog(const Catalog&) = delete;
  Catalog& operator=(const Catalog&) = delete;

  // Opens (creating when missing) the database at path and makes sure the schema
  // exists. Null with a message in error when that fails.
  static std::unique_ptr<Catalog> Open(const std::string& path, std::string& error);

  // The catalog of this process, opened on first use from the configured path
  // (section "Catalog", key "Path"). Null with a message in error when it cannot
  // be opened; later calls try again.
  static Catalog* Shared(std::string& error);
  // Replaces the process's catalog (tests, tools); null closes it.
  static void SetShared(std::unique_ptr<Catalog> catalog);
  static std::string ConfiguredPath();

  static const char* Schema();

  sqlite3* db() const { return m_pDb; }
  const std::string& path() const { return m_sPath; }
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

 private:
  Catalog(sqlite3* db, std::string path) : m_pDb(db), m_sPath(std::move(path)) {}
  sqlite3* m_pDb;
  std::string m_sPath;
};

}  // namespace tqhsm
