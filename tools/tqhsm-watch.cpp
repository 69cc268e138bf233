// tqhsm-watch: shows, changes and checks the HSM watch list and the list of
// migrated directory trees of a state directory.
//
//   tqhsm-watch list [--json]
//   tqhsm-watch add [--migrated [--client NAME]] DIR...
//   tqhsm-watch remove [--migrated [--client NAME]] DIR...
//   tqhsm-watch check
//
// Changes go through the low-level library's own operations (startWatchingDirTree,
// stopWatchingDirTree, TQHSMMigratedDirTrees), so they take the same lock and
// replace the lists the same way a scan does.

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "ToolConfig.h"
#include "Config.h"
#include "HSMLowLevel.h"
#include "HSMWatch.h"
#include "MountTable.h"
#include "Platform.h"

namespace {

using Records = std::vector<std::vector<std::string>>;

// The first lines of the two lists, as the low-level library writes them. The
// tool's tests read lists that the library wrote, so a change there shows.
const char* const kWatchListHeader = "tqhsm-watched-dirs 1";
const char* const kMigratedTreesHeader = "tqhsm-migrated-trees 1";

// Exit statuses of check.
enum { eClean = 0, eFindings = 1, eUsage = 2, eUnreadable = 3 };

int fail(const std::string& text) {
  std::cerr << "tqhsm-watch: " << text << "\n";
  return 1;
}

// A path for the terminal: control characters and backslashes as octal
// escapes, as in the list files, so that one entry stays one line.
std::string shown(const std::string& text) {
  std::string out;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f || c == '\\') {
      char esc[5];
      std::snprintf(esc, sizeof esc, "\\%03o", static_cast<unsigned>(u));
      out += esc;
    } else {
      out += c;
    }
  }
  return out;
}

// The configuration with the state directory given on the command line in
// place of the configured one.
class StateDirectoryOverride : public tqhsm::ConfigSource {
 public:
  StateDirectoryOverride(const tqhsm::ConfigSource& base, std::string dir)
      : m_base(base), m_sDir(std::move(dir)) {}
  bool getString(const std::string& section, const std::string& key,
                 std::string& value) const override {
    if (section == "HSM" && key == "StateDirectory") {
      value = m_sDir;
      return true;
    }
    return m_base.getString(section, key, value);
  }
  std::string problem() const override { return m_base.problem(); }

 private:
  const tqhsm::ConfigSource& m_base;
  std::string m_sDir;
};

tqhsm::StateList watchList(const std::string& dir) {
  return tqhsm::StateList(dir, tqhsm::kWatchListFile, kWatchListHeader, 1);
}

tqhsm::StateList migratedTrees(const std::string& dir) {
  return tqhsm::StateList(dir, tqhsm::kMigratedTreesFile, kMigratedTreesHeader, 2);
}

// True when dir is tree or lies below it.
bool holds(const std::string& tree, const std::string& dir) {
  int rel = ComparePath::Check(dir, tree);
  return rel == ComparePath::eSame || rel == ComparePath::eBelow;
}

// The first entry other than dir itself that covers dir, or null.
const std::string* coveredBy(const std::vector<std::string>& entries, const std::string& dir) {
  for (const std::string& e : entries)
    if (e != dir && holds(e, dir)) return &e;
  return nullptr;
}

std::vector<std::string> watchedDirs(const Records& records) {
  std::vector<std::string> dirs;
  for (const std::vector<std::string>& r : records) dirs.push_back(r[0]);
  return dirs;
}

std::vector<std::string> treesOf(const Records& records, const std::string& client) {
  std::vector<std::string> dirs;
  for (const std::vector<std::string>& r : records)
    if (r[0] == client) dirs.push_back(r[1]);
  return dirs;
}

// ---------------------------------------------------------------------------
// list

int list(const std::string& stateDir, bool json) {
  Records watched, trees;
  std::string watchError, treesError;
  tqhsm::StateList w = watchList(stateDir), t = migratedTrees(stateDir);
  struct stat st;
  if (::stat(stateDir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
    watchError = treesError = "State directory " + stateDir + " is not a directory";
  if (watchError.empty()) w.load(watched, watchError);
  if (treesError.empty()) t.load(trees, treesError);

  if (json) {
    using json = nlohmann::ordered_json;
    json out;
    out["state_directory"] = stateDir;
    json wl = {{"file", w.path()}, {"entries", json::array()}};
    for (const std::vector<std::string>& r : watched) wl["entries"].push_back(r[0]);
    if (!watchError.empty()) wl["error"] = watchError;
    json tl = {{"file", t.path()}, {"entries", json::array()}};
    for (const std::vector<std::string>& r : trees)
      tl["entries"].push_back({{"client", r[0]}, {"dir", r[1]}});
    if (!treesError.empty()) tl["error"] = treesError;
    out["watched_dirs"] = wl;
    out["migrated_trees"] = tl;
    // Paths are bytes; one that is not UTF-8 gets U+FFFD for its bad bytes.
    std::cout << out.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
  } else {
    std::cout << "watched directories (" << shown(w.path()) << "):\n";
    if (!watchError.empty())
      std::cout << "  cannot be read: " << shown(watchError) << "\n";
    else if (watched.empty())
      std::cout << "  (none)\n";
    for (const std::vector<std::string>& r : watched) std::cout << "  " << shown(r[0]) << "\n";
    std::cout << "migrated trees (" << shown(t.path()) << "):\n";
    if (!treesError.empty())
      std::cout << "  cannot be read: " << shown(treesError) << "\n";
    else if (trees.empty())
      std::cout << "  (none)\n";
    for (const std::vector<std::string>& r : trees)
      std::cout << "  " << shown(r[1]) << " (client " << shown(r[0]) << ")\n";
  }
  if (!watchError.empty()) fail(watchError);
  if (!treesError.empty()) fail(treesError);
  return watchError.empty() && treesError.empty() ? 0 : 1;
}

// ---------------------------------------------------------------------------
// add and remove

// The directory as the lists keep it; false (with a message) when the
// library would refuse it.
bool normalized(const std::string& given, std::string& dir) {
  std::string error;
  if (tqhsm::NormalizeWatchPath(given.c_str(), dir, error)) return true;
  fail(error);
  return false;
}

// A scan sees real paths only: an entry reached through a symbolic link would
// never match what it walks.
bool isRealPath(const std::string& dir) {
  char real[PATH_MAX];
  if (!::realpath(dir.c_str(), real) || dir == real) return true;  // a missing one is told later
  fail("Cannot use " + shown(dir) + ": it leads through a symbolic link to " + shown(real) +
       ", which is what a scan sees; give that path");
  return false;
}

bool isDirectory(const std::string& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) {
    fail("Cannot use " + shown(dir) + ": " + std::strerror(errno));
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    fail("Cannot use " + shown(dir) + ": not a directory");
    return false;
  }
  return true;
}

int addWatch(const std::string& stateDir, const std::vector<std::string>& dirs) {
  TQHSMLowLevelCtx ctx(2);
  int rc = 0;
  for (const std::string& given : dirs) {
    std::string dir;
    if (!normalized(given, dir) || !isRealPath(dir)) {
      rc = 1;
      continue;
    }
    TQHSMLowLevel* lowLevel = ctx.getByFileName(dir.c_str());
    if (!lowLevel) {
      rc = fail("No mount point holds " + shown(dir));
      continue;
    }
    // As a scan does: a directory that a watched tree covers is not added.
    if (lowLevel->isDirWatched(dir.c_str()) > 0) {
      Records records;
      std::string error;
      watchList(stateDir).load(records, error);
      std::vector<std::string> entries = watchedDirs(records);
      const std::string* by = coveredBy(entries, dir);
      if (by)
        std::cout << shown(dir) << " is watched already: " << shown(*by) << " covers it\n";
      else
        std::cout << shown(dir) << " is on the watch list already\n";
      continue;
    }
    if (lowLevel->startWatchingDirTree(dir.c_str()) != 0) {
      rc = fail(lowLevel->getLastError());
      continue;
    }
    std::cout << shown(dir) << " is watched now\n";
  }
  return rc;
}

int removeWatch(const std::string& stateDir, const std::vector<std::string>& dirs) {
  TQHSMLowLevelCtx ctx(2);
  int rc = 0;
  for (const std::string& given : dirs) {
    std::string dir, error;
    if (!normalized(given, dir)) {
      rc = 1;
      continue;
    }
    Records records;
    if (!watchList(stateDir).load(records, error)) {
      rc = fail(error);
      continue;
    }
    std::vector<std::string> entries = watchedDirs(records);
    const std::string* by = coveredBy(entries, dir);
    bool listed = false;
    for (const std::string& e : entries) listed = listed || e == dir;
    if (!listed) {
      rc = fail(shown(dir) + " is not on the watch list" +
                (by ? " (" + shown(*by) + " covers it; remove that entry instead)" : ""));
      continue;
    }
    TQHSMLowLevel* lowLevel = ctx.getByFileName(dir.c_str());
    if (!lowLevel) {
      rc = fail("No mount point holds " + shown(dir));
      continue;
    }
    if (lowLevel->stopWatchingDirTree(dir.c_str()) != 0) {
      rc = fail(lowLevel->getLastError());
      continue;
    }
    if (by)
      std::cout << shown(dir) << " is off the watch list; " << shown(*by)
                << " still covers it\n";
    else
      std::cout << shown(dir) << " is off the watch list\n";
  }
  return rc;
}

// Whether dir is a migrated tree of client, from a fresh read of the list;
// false, with the reason in error, when the list cannot be read.
bool isMigratedTree(const std::string& stateDir, const std::string& client,
                    const std::string& dir, bool& listed, std::string& error) {
  Records records;
  if (!migratedTrees(stateDir).load(records, error)) return false;
  listed = false;
  for (const std::vector<std::string>& r : records) listed = listed || (r[0] == client && r[1] == dir);
  return true;
}

int addTrees(const std::string& stateDir, const std::string& client,
             const std::vector<std::string>& dirs) {
  int rc = 0;
  for (const std::string& given : dirs) {
    std::string dir, error;
    if (!normalized(given, dir) || !isRealPath(dir) || !isDirectory(dir)) {
      rc = 1;
      continue;
    }
    bool listed = false;
    if (!isMigratedTree(stateDir, client, dir, listed, error)) {
      rc = fail(error);
      continue;
    }
    if (listed) {
      std::cout << shown(dir) << " is a migrated tree of client " << shown(client) << " already\n";
      continue;
    }
    TQHSMMigratedDirTrees trees(true, client);
    if (trees.addTree(dir.c_str()) != 0) {
      rc = fail(trees.getLastError());
      continue;
    }
    std::cout << shown(dir) << " is a migrated tree of client " << shown(client) << " now\n";
  }
  return rc;
}

int removeTrees(const std::string& stateDir, const std::string& client,
                const std::vector<std::string>& dirs) {
  int rc = 0;
  for (const std::string& given : dirs) {
    std::string dir, error;
    if (!normalized(given, dir)) {
      rc = 1;
      continue;
    }
    bool listed = false;
    if (!isMigratedTree(stateDir, client, dir, listed, error)) {
      rc = fail(error);
      continue;
    }
    if (!listed) {
      rc = fail(shown(dir) + " is not a migrated tree of client " + shown(client));
      continue;
    }
    TQHSMMigratedDirTrees trees(false, client);
    if (trees.delTree(dir.c_str()) != 0) {
      rc = fail(trees.getLastError());
      continue;
    }
    std::cout << shown(dir) << " is no longer a migrated tree of client " << shown(client) << "\n";
  }
  return rc;
}

// ---------------------------------------------------------------------------
// check

class Checker {
 public:
  explicit Checker(std::string stateDir) : m_sStateDir(std::move(stateDir)) {}

  int run() {
    struct stat st;
    if (::stat(m_sStateDir.c_str(), &st) != 0) {
      if (errno == ENOENT) {
        std::cout << "state directory " << shown(m_sStateDir)
                  << " does not exist: nothing is watched\n";
        return eClean;
      }
      unreadable("state directory " + shown(m_sStateDir) + ": " + std::strerror(errno));
      return summary();
    }
    if (!S_ISDIR(st.st_mode)) {
      unreadable("state directory " + shown(m_sStateDir) + " is not a directory");
      return summary();
    }
    checkMode(m_sStateDir, st);

    tqhsm::StateList w = watchList(m_sStateDir);
    Records watched;
    if (load(w, watched)) {
      std::vector<std::string> dirs = watchedDirs(watched);
      checkEntries(w.path() + ": ", dirs);
    }
    tqhsm::StateList t = migratedTrees(m_sStateDir);
    Records trees;
    if (load(t, trees)) {
      std::set<std::string> clients;
      for (const std::vector<std::string>& r : trees) clients.insert(r[0]);
      for (const std::string& client : clients)
        checkEntries(t.path() + ": client " + shown(client) + ": ", treesOf(trees, client));
    }
    return summary();
  }

 private:
  bool load(const tqhsm::StateList& list, Records& records) {
    std::string error;
    if (!list.load(records, error)) {
      unreadable(shown(error));
      return false;
    }
    struct stat st;
    if (::stat(list.path().c_str(), &st) == 0) checkMode(list.path(), st);
    return true;
  }

  // Whoever may write the state directory or a list decides what is watched.
  void checkMode(const std::string& path, const struct stat& st) {
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
      finding(shown(path) + ": owned by uid " + std::to_string(st.st_uid) +
              ": that user changes what is watched");
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      finding(shown(path) + ": writable by " + ((st.st_mode & S_IWOTH) ? "others" : "its group") +
              " (mode " + mode + "): whoever can write it changes what is watched");
    }
  }

  void checkEntries(const std::string& where, const std::vector<std::string>& entries) {
    std::map<std::string, int> count;
    for (const std::string& e : entries) ++count[e];
    std::set<std::string> done;
    for (const std::string& e : entries) {
      if (!done.insert(e).second) continue;
      const std::string at = where + shown(e) + ": ";
      if (count[e] > 1) finding(at + "listed " + std::to_string(count[e]) + " times");
      std::string why = abnormal(e);
      if (!why.empty()) {
        finding(at + why);
        continue;
      }
      const std::string* by = coveredBy(entries, e);
      if (by) finding(at + "redundant: " + shown(*by) + " covers it");
      checkDirectory(at, e);
    }
  }

  // Why the entry is not a path as the library keeps it, or "".
  static std::string abnormal(const std::string& e) {
    std::string n, error;
    if (!tqhsm::NormalizeWatchPath(e.c_str(), n, error)) return "not an absolute path";
    if (n != e) return "ends in a slash (the library keeps " + shown(n) + ")";
    std::string padded = e + "/";
    if (padded.find("//") != std::string::npos || padded.find("/./") != std::string::npos ||
        padded.find("/../") != std::string::npos)
      return "holds an empty, '.' or '..' component: it never matches a path the scan sees";
    return std::string();
  }

  void checkDirectory(const std::string& at, const std::string& e) {
    char real[PATH_MAX];
    if (!::realpath(e.c_str(), real)) {
      if (errno == ENOENT)
        finding(at + "does not exist");
      else
        finding(at + "cannot be checked: " + std::strerror(errno));
      return;
    }
    struct stat st;
    if (e != real) {
      finding(at + "leads through a symbolic link to " + shown(real) +
              ": it never matches a path the scan sees");
    } else if (::stat(real, &st) == 0 && !S_ISDIR(st.st_mode)) {
      finding(at + "is not a directory");
    }
  }

  void finding(const std::string& text) {
    std::cout << text << "\n";
    ++m_nFindings;
  }
  void unreadable(const std::string& text) {
    std::cout << text << "\n";
    ++m_nUnreadable;
  }

  int summary() {
    if (m_nUnreadable)
      std::cout << m_nUnreadable << " list(s) cannot be read or are not lists of this version; "
                << m_nFindings << " other problem(s)\n";
    else if (m_nFindings)
      std::cout << m_nFindings << " problem(s)\n";
    else
      std::cout << "no problems\n";
    return m_nUnreadable ? eUnreadable : m_nFindings ? eFindings : eClean;
  }

  std::string m_sStateDir;
  int m_nFindings = 0;
  int m_nUnreadable = 0;
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Shows, changes and checks the HSM watch list and the list of migrated directory trees "
      "of a state directory (default: key StateDirectory of section [HSM] of the "
      "configuration, else /var/lib/tqhsm)."};
  app.name("tqhsm-watch");
  app.require_subcommand(1);
  app.footer(
      "Exit status: 0 done; 1 a change or a list failed (check: problems found); 2 bad usage; "
      "3 (check) a list cannot be read or is not a list of this version.");

  std::string stateDir, configPath;
  app.add_option("--state-dir", stateDir, "State directory that holds the lists");
  app.add_option("--config", configPath,
                 "Configuration file to read the state directory from (default: $TQHSM_CONFIG)");

  bool json = false;
  CLI::App* listCmd = app.add_subcommand("list", "Print the watched directories and the migrated trees");
  listCmd->add_flag("--json", json, "Print one JSON object instead");

  std::vector<std::string> addDirs, removeDirs;
  bool addMigrated = false, removeMigrated = false;
  std::string addClient, removeClient;
  CLI::App* addCmd = app.add_subcommand(
      "add", "Put directories on the watch list (with --migrated: record them as migrated trees)");
  addCmd->add_option("DIR", addDirs, "Absolute directory paths")->required();
  addCmd->add_flag("--migrated", addMigrated, "Record migrated trees instead of watching");
  addCmd->add_option("--client", addClient,
                     "Client of the migrated trees (default: this machine's client name)")
      ->needs(addCmd->get_option("--migrated"));
  CLI::App* removeCmd = app.add_subcommand(
      "remove", "Take directories off the watch list (with --migrated: off the migrated trees)");
  removeCmd->add_option("DIR", removeDirs, "Directory paths as listed")->required();
  removeCmd->add_flag("--migrated", removeMigrated, "Remove migrated trees instead");
  removeCmd->add_option("--client", removeClient,
                        "Client of the migrated trees (default: this machine's client name)")
      ->needs(removeCmd->get_option("--migrated"));
  CLI::App* checkCmd = app.add_subcommand(
      "check",
      "Report redundant (nested) and duplicate entries, entries that are not directories or not "
      "in normal form, lists that others may write, and lists that cannot be read");

  int exitCode = 0;
  if (!tqhsm::tools::ParseCommandLine(app, argc, argv, exitCode)) return exitCode;

  tqhsm::tools::ToolConfig config(configPath);
  if (!config.problem().empty()) return fail(config.problem());
  std::unique_ptr<StateDirectoryOverride> override;
  std::unique_ptr<tqhsm::ScopedBackend<tqhsm::ConfigSource>> overrideScope;
  if (!stateDir.empty()) {
    override.reset(new StateDirectoryOverride(tqhsm::ConfigSource::Current(), stateDir));
    overrideScope.reset(new tqhsm::ScopedBackend<tqhsm::ConfigSource>(override.get()));
  }
  const std::string dir = tqhsm::HSMStateDirectory();

  if (*listCmd) return list(dir, json);
  if (*checkCmd) return Checker(dir).run();
  if (*addCmd) {
    if (!addMigrated) return addWatch(dir, addDirs);
    return addTrees(dir, addClient.empty() ? OBPI_Focus::getFocusClientName(true) : addClient,
                    addDirs);
  }
  return removeMigrated
             ? removeTrees(dir, removeClient.empty() ? OBPI_Focus::getFocusClientName(true)
                                                     : removeClient,
                           removeDirs)
             : removeWatch(dir, removeDirs);
}
