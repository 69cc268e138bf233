// tqhsm-catalog: creates and fills the catalog, the SQLite database that stands
// in for the backup system's services (archiver retention, Parvis numbers,
// archive files, the index of stubbed files).

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Catalog.h"
#include "CommandLine.h"
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

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Creates and fills the tqhsm catalog: archiver retention per subclient, Parvis numbers, "
      "archive files and the index of stubbed files. Every command creates the catalog with "
      "its tables when it does not exist yet."};
  app.require_subcommand(1);

  std::string catalogPath, configPath;
  app.add_option("--catalog", catalogPath,
                 "Catalog file (default: key Path of section [Catalog] of the configuration, "
                 "else /var/lib/tqhsm/catalog.db)");
  app.add_option("--config", configPath,
                 "Configuration file to read the catalog path from (default: $TQHSM_CONFIG)");

  CLI::App* init = app.add_subcommand("init", "Create the catalog (and its directory) if missing");

  std::string statement;
  CLI::App* sql = app.add_subcommand("sql", "Run SQL statements and print their rows");
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

  int exitCode = 0;
  if (!tqhsm::tools::ParseCommandLine(app, argc, argv, exitCode)) return exitCode;

  if (stub->parsed() && guid.empty()) return fail("GUID must not be empty");

  // Where the catalog is.
  std::unique_ptr<tqhsm::IniConfig> config;
  std::unique_ptr<tqhsm::ScopedBackend<tqhsm::ConfigSource>> configScope;
  if (catalogPath.empty()) {
    if (!configPath.empty()) {
      config = tqhsm::IniConfig::FromFile(configPath);
      configScope.reset(new tqhsm::ScopedBackend<tqhsm::ConfigSource>(config.get()));
    }
    std::string problem = tqhsm::ConfigSource::Current().problem();
    if (!problem.empty()) return fail(problem);
    catalogPath = Catalog::ConfiguredPath();
  }

  std::string error;
  if (init->parsed() && !makeParents(catalogPath, error)) return fail(error);
  std::unique_ptr<Catalog> catalog = Catalog::Open(catalogPath, error);
  if (!catalog) return fail(error);

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
