// tqhsm-catalog: creates, fills, lists and checks the catalog, the SQLite
// database that stands in for the backup system's services (archiver
// retention, Parvis numbers, archive files, the index of stubbed files).

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Catalog.h"
#include "CommandLine.h"
#include "ToolConfig.h"
#include "Config.h"

using tqhsm::Catalog;

namespace {

const char* const kTables[] = {"subclient_retention", "parvis", "archive_files", "stub_index"};

int fail(const std::string& text) {
  std::cerr << "tqhsm-catalog: " << text << "\n";
  return 1;
}

// mkdir -p for the directory that will hold the catalog.
bool makeParents(const std::string& path, std::string& error) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return true;
  std::string dir = path.substr(0, slash);
  for (std::string::size_type i = 1; i <= dir.size(); ++i) {
    if (i != dir.size() && dir[i] != '/') continue;
    std::string part = dir.substr(0, i);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      error = "cannot create directory " + part + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

// A whole number, at least min (the ids of the catalog are never negative).
CLI::Validator wholeNumber(int64_t min) {
  return CLI::Validator(
      [min](std::string& text) -> std::string {
        errno = 0;
        char* end = nullptr;
        long long v = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || errno == ERANGE || !end || *end != '\0')
          return "'" + text + "' is not a whole number";
        if (v < min) return "'" + text + "' is below " + std::to_string(min);
        return std::string();
      },
      "INT");
}

// Prints rows as the sqlite3 shell does: a header line whenever the columns
// change, then one line per row, fields separated by '|'.
class RowPrinter {
 public:
  void operator()(const Catalog::Row& row) {
    std::vector<std::string> names(row.names.begin(), row.names.end());
    if (names != m_vecLastNames) {
      printLine(row.names);
      m_vecLastNames = names;
    }
    printLine(row.values);
    ++m_nRows;
  }
  size_t rows() const { return m_nRows; }

 private:
  static void printLine(const std::vector<const char*>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
      if (i) line += '|';
      if (fields[i]) line += fields[i];
    }
    std::cout << line << "\n";
  }
  std::vector<std::string> m_vecLastNames;
  size_t m_nRows = 0;
};

// ---------------------------------------------------------------------------
// check

// One problem per line on standard output, a count at the end.
class CatalogChecker {
 public:
  explicit CatalogChecker(Catalog& catalog) : m_catalog(catalog) {}

  int run() {
    integrity();
    std::set<std::string> present;
    rows("SELECT name FROM sqlite_master WHERE type = 'table'",
         [&](const Catalog::Row& r) { present.insert(r.values[0] ? r.values[0] : ""); });
    std::set<std::string> missing;
    for (const char* table : kTables) {
      if (present.count(table)) continue;
      missing.insert(table);
      finding(std::string("table ") + table + " is missing (tqhsm-catalog init creates it)");
    }
    auto have = [&](std::initializer_list<const char*> tables) {
      for (const char* t : tables)
        if (missing.count(t)) return false;
      return true;
    };
    if (have({"subclient_retention"})) retention();
    if (have({"parvis"})) parvis();
    if (have({"archive_files"})) archiveFiles(have({"parvis"}));
    if (have({"stub_index"})) stubs(have({"parvis", "archive_files"}));
    if (m_nFindings)
      std::cout << m_nFindings << " problem(s)\n";
    else
      std::cout << "no problems\n";
    return m_nFindings ? 1 : 0;
  }

 private:
  static std::string field(const char* v) { return v ? v : "NULL"; }

  void finding(const std::string& text) {
    std::cout << text << "\n";
    ++m_nFindings;
  }

  // Runs a query of the check; a query that fails is a problem of its own
  // (a table of another layout, for instance).
  void rows(const std::string& sql, const Catalog::RowFn& onRow) {
    std::string error;
    if (!m_catalog.query(sql, onRow, error)) finding("cannot check: " + error);
  }

  void integrity() {
    rows("PRAGMA quick_check", [&](const Catalog::Row& r) {
      std::string v = field(r.values[0]);
      if (v != "ok") finding("damaged database: " + v);
    });
  }

  // Values of INTEGER columns that are not whole numbers (SQLite keeps what
  // it is given): the services would read them as 0.
  void wholeNumbers(const char* table, const char* key, std::initializer_list<const char*> columns) {
    for (const char* column : columns) {
      rows(std::string("SELECT ") + key + ", quote(" + column + ") FROM " + table + " WHERE typeof(" +
               column + ") != 'integer' ORDER BY 1",
           [&](const Catalog::Row& r) {
             finding(std::string(table) + " " + field(r.values[0]) + ": " + column + " is " +
                     field(r.values[1]) + ", not a whole number");
           });
    }
  }

  void retention() {
    wholeNumbers("subclient_retention", "subclient_id", {"subclient_id", "archiver_retention_days"});
    rows("SELECT subclient_id, archiver_retention_days FROM subclient_retention "
         "WHERE typeof(archiver_retention_days) = 'integer' AND archiver_retention_days < -1 "
         "ORDER BY 1",
         [&](const Catalog::Row& r) {
           finding("subclient " + field(r.values[0]) + ": retention of " + field(r.values[1]) +
                   " days (-1 is infinite; nothing below it means anything)");
         });
  }

  void parvis() {
    wholeNumbers("parvis", "number", {"number", "id"});
    rows("SELECT number, id FROM parvis WHERE typeof(id) = 'integer' AND id <= 0 ORDER BY 1",
         [&](const Catalog::Row& r) {
           finding("Parvis number " + field(r.values[0]) + ": id " + field(r.values[1]) +
                   " is no Parvis id (ids are above 0; the number counts as unknown)");
         });
    rows("SELECT number FROM parvis WHERE typeof(number) = 'integer' AND number < 0 ORDER BY 1",
         [&](const Catalog::Row& r) {
           finding("Parvis number " + field(r.values[0]) + " is negative: no stub carries it");
         });
  }

  void archiveFiles(bool haveParvis) {
    const char* key = "afile_id || '/' || copy_precedence || '/' || parvis_id";
    wholeNumbers("archive_files", key,
                 {"afile_id", "copy_precedence", "parvis_id", "copy_id", "pruned"});
    rows("SELECT afile_id, copy_precedence, parvis_id, copy_id, pruned FROM archive_files "
         "WHERE (typeof(pruned) = 'integer' AND pruned NOT IN (0, 1)) "
         "OR (typeof(copy_id) = 'integer' AND copy_id < 0) ORDER BY 1, 2, 3",
         [&](const Catalog::Row& r) {
           finding("AF " + field(r.values[0]) + " (copy precedence " + field(r.values[1]) +
                   ", Parvis id " + field(r.values[2]) + "): copy_id " + field(r.values[3]) +
                   ", pruned " + field(r.values[4]) +
                   " (copy_id is 0 or more, pruned 0 or 1)");
         });
    if (!haveParvis) return;
    rows("SELECT afile_id, copy_precedence, parvis_id FROM archive_files "
         "WHERE parvis_id NOT IN (SELECT id FROM parvis) ORDER BY 1, 2, 3",
         [&](const Catalog::Row& r) {
           finding("AF " + field(r.values[0]) + " (copy precedence " + field(r.values[1]) +
                   "): Parvis id " + field(r.values[2]) +
                   " is unknown: no Parvis number maps to it, so no stub reaches this AF");
         });
  }

  void stubs(bool haveAfs) {
    wholeNumbers("stub_index", "quote(stub_guid)",
                 {"parvis_number", "copy_precedence", "afile_id", "found"});
    rows("SELECT quote(stub_guid) FROM stub_index WHERE typeof(stub_guid) != 'text' OR "
         "length(stub_guid) NOT BETWEEN 1 AND 64 OR stub_guid GLOB '*[^A-Za-z0-9_.{}-]*' "
         "ORDER BY 1",
         [&](const Catalog::Row& r) {
           finding("stub " + field(r.values[0]) +
                   ": not a stub GUID (1 to 64 of A-Za-z0-9-_.{}), so no lookup finds it");
         });
    rows("SELECT quote(stub_guid), found FROM stub_index "
         "WHERE typeof(found) = 'integer' AND found NOT IN (0, 1) ORDER BY 1",
         [&](const Catalog::Row& r) {
           finding("stub " + field(r.values[0]) + ": found is " + field(r.values[1]) +
                   " (1 known to the index, 0 not)");
         });
    // The index answers with 32-bit numbers.
    for (const char* column : {"parvis_number", "copy_precedence", "afile_id"}) {
      rows(std::string("SELECT quote(stub_guid), ") + column + " FROM stub_index WHERE typeof(" +
               column + ") = 'integer' AND " + column + " NOT BETWEEN 0 AND 4294967295 ORDER BY 1",
           [&](const Catalog::Row& r) {
             finding("stub " + field(r.values[0]) + ": " + column + " " + field(r.values[1]) +
                     " is outside what the index answers (0 to 4294967295)");
           });
    }
    if (!haveAfs) return;
    rows("SELECT quote(s.stub_guid), s.parvis_number FROM stub_index s "
         "WHERE s.found = 1 AND s.parvis_number NOT IN (SELECT number FROM parvis) ORDER BY 1",
         [&](const Catalog::Row& r) {
           finding("stub " + field(r.values[0]) + ": Parvis number " + field(r.values[1]) +
                   " is unknown, so its AF cannot be found");
         });
    rows("SELECT quote(s.stub_guid), s.afile_id, s.copy_precedence, s.parvis_number, p.id "
         "FROM stub_index s JOIN parvis p ON p.number = s.parvis_number "
         "WHERE s.found = 1 AND NOT EXISTS (SELECT 1 FROM archive_files a WHERE "
         "a.afile_id = s.afile_id AND a.copy_precedence = s.copy_precedence AND "
         "a.parvis_id = p.id) ORDER BY 1",
         [&](const Catalog::Row& r) {
           finding("stub " + field(r.values[0]) + ": points at unknown AF " + field(r.values[1]) +
                   " (copy precedence " + field(r.values[2]) + ", Parvis number " +
                   field(r.values[3]) + " = id " + field(r.values[4]) + ")");
         });
  }

  Catalog& m_catalog;
  int m_nFindings = 0;
};

int checkCatalog(Catalog& catalog) { return CatalogChecker(catalog).run(); }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Creates, fills, lists and checks the tqhsm catalog: archiver retention per subclient, "
      "Parvis numbers, archive files and the index of stubbed files. init and the commands "
      "that add rows create the catalog with its tables when it does not exist yet; list, "
      "check and sql need an existing catalog."};
  app.footer(
      "Exit status: 0 done (check: no problems); 1 the command failed, the catalog is missing "
      "or cannot be read (check: problems found); 2 bad usage.");
  app.require_subcommand(1);

  std::string catalogPath, configPath;
  app.add_option("--catalog", catalogPath,
                 "Catalog file (default: key Path of section [Catalog] of the configuration, "
                 "else /var/lib/tqhsm/catalog.db)");
  app.add_option("--config", configPath,
                 "Configuration file to read the catalog path from (default: $TQHSM_CONFIG)");

  CLI::App* init = app.add_subcommand("init", "Create the catalog (and its directory) if missing");

  std::string statement;
  CLI::App* sql =
      app.add_subcommand("sql", "Run SQL statements on an existing catalog and print their rows");
  sql->add_option("STATEMENT", statement, "One or more SQL statements")->required();

  int64_t subclientId = 0, days = 0;
  CLI::App* retention = app.add_subcommand(
      "retention", "Set the archiver retention of a subclient (-1 days = infinite)");
  retention->add_option("SUBCLIENT_ID", subclientId, "Subclient id")
      ->required()
      ->check(wholeNumber(0));
  retention->add_option("DAYS", days, "Retention in days, -1 for infinite")
      ->required()
      ->check(wholeNumber(-1));

  int64_t parvisNumber = 0, parvisId = 0;
  CLI::App* parvis = app.add_subcommand("parvis", "Map a Parvis number to its Parvis id");
  parvis->add_option("NUMBER", parvisNumber, "Parvis number as stubs carry it")
      ->required()
      ->check(wholeNumber(0));
  parvis->add_option("ID", parvisId, "Parvis id the archive manager knows")
      ->required()
      ->check(wholeNumber(0));

  int64_t afileId = 0, copyPrec = 0, afParvisId = 0, copyId = 1;
  bool pruned = false;
  CLI::App* af = app.add_subcommand("af", "Add or replace an archive file");
  af->add_option("AFILE_ID", afileId, "Archive file id")->required()->check(wholeNumber(0));
  af->add_option("COPY_PREC", copyPrec, "Copy precedence")->required()->check(wholeNumber(0));
  af->add_option("PARVIS_ID", afParvisId, "Parvis id")->required()->check(wholeNumber(0));
  af->add_option("--copy-id", copyId, "Copy id; 0 = the archive file has no copy left")
      ->capture_default_str()
      ->check(wholeNumber(0));
  af->add_flag("--pruned", pruned, "The archive file was pruned");

  std::string guid;
  int64_t stubParvis = 0, stubCopyPrec = 0, stubAfile = 0;
  bool notFound = false;
  CLI::App* stub = app.add_subcommand("stub", "Add or replace a stub in the index");
  stub->add_option("GUID", guid, "Stub GUID")->required();
  stub->add_option("PARVIS_NUMBER", stubParvis, "Parvis number")
      ->required()
      ->check(wholeNumber(0));
  stub->add_option("COPY_PREC", stubCopyPrec, "Copy precedence")
      ->required()
      ->check(wholeNumber(0));
  stub->add_option("AFILE_ID", stubAfile, "Archive file id")
      ->required()
      ->check(wholeNumber(0));
  stub->add_flag("--not-found", notFound, "The index answers that it does not know the stub");

  CLI::App* list = app.add_subcommand("list", "Print every table");
  CLI::App* check = app.add_subcommand(
      "check",
      "Report stubs that point at unknown archive files, archive files with unknown Parvis ids "
      "and values the services cannot use");

  int exitCode = 0;
  if (!tqhsm::tools::ParseCommandLine(app, argc, argv, exitCode)) return exitCode;

  if (stub->parsed() && guid.empty()) return fail("GUID must not be empty");

  // Where the catalog is.
  std::unique_ptr<tqhsm::tools::ToolConfig> config;
  if (catalogPath.empty()) {
    config.reset(new tqhsm::tools::ToolConfig(configPath));
    if (!config->problem().empty()) return fail(config->problem());
    catalogPath = Catalog::ConfiguredPath();
  }

  std::string error;
  if (init->parsed() && !makeParents(catalogPath, error)) return fail(error);
  // Commands that look never leave an empty catalog behind a mistyped path.
  const bool looks = list->parsed() || check->parsed() || sql->parsed();
  std::unique_ptr<Catalog> catalog =
      looks ? Catalog::OpenExisting(catalogPath, !sql->parsed(), error)
            : Catalog::Open(catalogPath, error);
  if (!catalog) {
    struct stat st;
    if (looks && ::stat(catalogPath.c_str(), &st) != 0 && errno == ENOENT)
      error += " (tqhsm-catalog init creates it)";
    return fail(error);
  }

  bool ok = true;
  if (init->parsed()) {
    std::cout << "Catalog ready: " << catalogPath << "\n";
  } else if (sql->parsed()) {
    RowPrinter printer;
    ok = catalog->query(statement, std::ref(printer), error);
  } else if (retention->parsed()) {
    ok = catalog->run(
        "INSERT OR REPLACE INTO subclient_retention (subclient_id, archiver_retention_days) "
        "VALUES (?, ?)",
        {subclientId, days}, nullptr, error);
  } else if (parvis->parsed()) {
    ok = catalog->run("INSERT OR REPLACE INTO parvis (number, id) VALUES (?, ?)",
                      {parvisNumber, parvisId}, nullptr, error);
  } else if (af->parsed()) {
    ok = catalog->run(
        "INSERT OR REPLACE INTO archive_files (afile_id, copy_precedence, parvis_id, copy_id, "
        "pruned) VALUES (?, ?, ?, ?, ?)",
        {afileId, copyPrec, afParvisId, copyId, static_cast<int64_t>(pruned ? 1 : 0)}, nullptr,
        error);
  } else if (stub->parsed()) {
    ok = catalog->run(
        "INSERT OR REPLACE INTO stub_index (stub_guid, parvis_number, copy_precedence, "
        "afile_id, found) VALUES (?, ?, ?, ?, ?)",
        {guid, stubParvis, stubCopyPrec, stubAfile, static_cast<int64_t>(notFound ? 0 : 1)},
        nullptr, error);
  } else if (check->parsed()) {
    return checkCatalog(*catalog);
  } else if (list->parsed()) {
    for (const char* table : kTables) {
      std::cout << "== " << table << " ==\n";
      RowPrinter printer;
      ok = catalog->query(std::string("SELECT * FROM ") + table + " ORDER BY 1, 2", std::ref(printer),
                          error);
      if (!ok) break;
      if (printer.rows() == 0) std::cout << "(empty)\n";
    }
  }
  if (!ok) return fail(catalogPath + ": " + error);
  return 0;
}
